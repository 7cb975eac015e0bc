// Protocol 3 under every fault the module can throw at it: each call of a successful session (an
// RSA key, an EC key, an always-authenticate key: login, one signature, close) answering each
// return value the program treats specially, one it does not, and a null entry. The Error frame,
// the standard error and the calls that follow come from a model of the rules below.
#include "fault_matrix.hpp"
#include "proto3_conversation.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

namespace korvan::test::faults {
namespace {

using namespace sign_proto;
using nlohmann::json;
using Bytes = std::vector<std::uint8_t>;

// Default token flags, as the mock reports them when the program reads them after a failure.
constexpr std::uint64_t token_flags = 0x40d;
constexpr std::uint64_t all_bits = ~std::uint64_t{0};
const std::string filtering = "sign-cli: filtering private key by CKA_ID (1 bytes)\n";

enum class Role {
    entry,
    initialize,
    locate,
    // Only when the token is not in the slot asked for: the slot listing.
    slot_count,
    slot_list,
    listed_other,    // C_GetTokenInfo of a listed slot holding another token
    listed_expected, // ... and of the one holding the expected token
    open,
    confirm,
    pin_state,
    login,
    find_init,
    find,
    find_final,
    attribute,
    // SessionReady is written here.
    sign_confirm,
    sign_init,
    context_login,
    sign,
    logout,
    close,
    finalize,
};

struct Step {
    Role role;
    std::string function;
};

struct Baseline {
    std::string name;
    json scenario;
    std::vector<std::string> positional;
    bool always_authenticate;
    Proto3Response ready;
    Bytes signature;
    std::vector<Step> steps;
    std::set<Role> rows_for = {}; // the steps that get rows; empty: all
};

std::vector<Step> session_steps(std::size_t attribute_reads, bool context_login) {
    std::vector<Step> steps = {
        {Role::entry, "C_GetFunctionList"}, {Role::initialize, "C_Initialize"},
        {Role::locate, "C_GetTokenInfo"},   {Role::open, "C_OpenSession"},
        {Role::confirm, "C_GetTokenInfo"},  {Role::pin_state, "C_GetTokenInfo"},
        {Role::login, "C_Login"},           {Role::find_init, "C_FindObjectsInit"},
        {Role::find, "C_FindObjects"},      {Role::find_final, "C_FindObjectsFinal"},
    };
    steps.insert(steps.end(), attribute_reads, Step{Role::attribute, "C_GetAttributeValue"});
    steps.push_back({Role::sign_confirm, "C_GetTokenInfo"});
    steps.push_back({Role::sign_init, "C_SignInit"});
    if (context_login) {
        steps.push_back({Role::context_login, "C_Login"});
    }
    steps.insert(steps.end(), {{Role::sign, "C_Sign"},
                               {Role::logout, "C_Logout"},
                               {Role::close, "C_CloseSession"},
                               {Role::finalize, "C_Finalize"}});
    return steps;
}

std::vector<Baseline> baselines() {
    const Bytes rsa_signature = mock_signature(256);
    std::vector<Step> moved = session_steps(4, false);
    moved.insert(moved.begin() + 3, {{Role::slot_count, "C_GetSlotList"},
                                     {Role::slot_list, "C_GetSlotList"},
                                     {Role::listed_other, "C_GetTokenInfo"},
                                     {Role::listed_expected, "C_GetTokenInfo"}});
    const json slot_1 = {{"slots",
                          {{{"id", 0}, {"token", {{"serial", "S999"}, {"label", "Kart"}}}},
                           {{"id", 1}, {"token", {{"serial", "S123"}, {"label", "Kart"}}}}}}};
    return {
        // CKA_KEY_TYPE and CKA_ALWAYS_AUTHENTICATE, each queried and read.
        {"rsa",
         json::object(),
         {"01", "rsa", "0"},
         false,
         SessionReady{KeyKindCode::rsa, false},
         rsa_signature,
         session_steps(4, false)},
        // CKA_EC_PARAMS as well: no kind requested, the curve decides.
        {"ec",
         {{"keys", {{{"id", "01"}, {"kind", "ec-p256"}}}}},
         {"01", "", "0"},
         false,
         SessionReady{KeyKindCode::ec_p256, false},
         mock_p256_der(),
         session_steps(6, false)},
        {"always_authenticate",
         {{"keys", {{{"id", "01"}, {"always_authenticate", true}}}}},
         {"01", "rsa", "0"},
         true,
         SessionReady{KeyKindCode::rsa, true},
         rsa_signature,
         session_steps(4, true)},
        // The expected token sits in slot 1, not in the slot 0 asked for.
        {"moved",
         slot_1,
         {"01", "rsa", "0"},
         false,
         SessionReady{KeyKindCode::rsa, false},
         rsa_signature,
         moved,
         {Role::slot_count, Role::slot_list, Role::listed_other, Role::listed_expected}},
    };
}

struct Reaction {
    enum class Kind { stop, ignore, relocate } kind = Kind::stop;
    unsigned code = 0;
    std::uint64_t rv = 0;
    std::optional<std::uint64_t> flags = std::nullopt;
};

Reaction error(unsigned code, std::uint64_t value, std::optional<std::uint64_t> flags = {}) {
    return {Reaction::Kind::stop, code, value, flags};
}
const Reaction ignored{Reaction::Kind::ignore};

// The values that mean the token or the session went away.
bool removed(std::uint32_t value) {
    return value == rv::device_removed || value == rv::session_closed ||
           value == rv::session_handle_invalid || value == rv::token_not_present;
}
// The values that say another token (or none) is in the slot.
bool changed(std::uint32_t value) {
    return value == rv::slot_id_invalid || value == rv::token_not_recognized;
}

Reaction signing_failure(std::uint32_t value, bool always_authenticate) {
    if (removed(value)) {
        return error(16, value);
    }
    switch (value) {
    case rv::mechanism_invalid:
        return error(12, value);
    case rv::pin_expired:
        return error(8, value);
    case rv::pin_locked:
        return error(7, value);
    case rv::user_not_logged_in:
        return error(always_authenticate ? 4 : 14, value);
    default:
        return error(4, value);
    }
}

// The rules of protocol 3 for a call answering `value`, or missing (no value).
Reaction react(Role role, std::optional<std::uint32_t> value, bool always_authenticate) {
    const std::uint32_t v = value.value_or(rv::function_not_supported);
    switch (role) {
    case Role::entry:
        return error(4, v);
    case Role::initialize:
        return error(value && removed(v) ? 16 : 4, v);
    case Role::locate:
        if (!value) {
            return error(4, all_bits);
        }
        if (changed(v) || v == rv::device_removed || v == rv::token_not_present) {
            return {Reaction::Kind::relocate}; // searched for in every slot, and found
        }
        return error(removed(v) ? 16 : 4, v);
    case Role::slot_count:
    case Role::slot_list:
    case Role::listed_expected:
        return error(5, 0); // no listing, or one without the expected token
    case Role::listed_other:
        return ignored; // that slot is left out of the listing
    case Role::open:
        return error(removed(v) ? 16 : changed(v) ? 5 : 4, v);
    case Role::confirm:
    case Role::sign_confirm:
        if (changed(v)) {
            return error(5, 0);
        }
        return error(removed(v) ? 16 : 4, v);
    case Role::pin_state:
        return error(17, v); // the Login frame did not allow a final try
    case Role::login:
        switch (v) {
        case rv::pin_incorrect:
            return error(6, v, token_flags);
        case rv::pin_invalid:
        case rv::pin_len_range:
        case rv::user_pin_not_initialized:
            return error(9, v, token_flags);
        case rv::pin_expired:
            return error(8, v, token_flags);
        case rv::pin_locked:
            return error(7, v, token_flags);
        default:
            return error(removed(v) ? 16 : 4, v, token_flags);
        }
    case Role::find_init:
    case Role::find:
        return error(removed(v) ? 16 : 4, v);
    case Role::find_final:
        return value ? ignored : error(4, v);
    case Role::attribute:
        return ignored; // not in the generated rows; see the attribute table
    case Role::sign_init:
    case Role::sign:
        return value ? signing_failure(v, always_authenticate) : error(4, v);
    case Role::context_login:
        if (v == rv::pin_incorrect) {
            return error(6, v, token_flags);
        }
        if (v == rv::pin_locked) {
            return error(7, v, token_flags);
        }
        return error(removed(v) ? 16 : 15, v, token_flags);
    case Role::logout:
    case Role::close:
    case Role::finalize:
        return ignored;
    }
    return ignored;
}

std::vector<std::uint32_t> values_for(Role role) {
    using namespace rv;
    const std::vector<std::uint32_t> token_answers = {
        slot_id_invalid,        device_removed, token_not_present, token_not_recognized,
        session_handle_invalid, session_closed, general_error};
    switch (role) {
    case Role::entry:
        return {general_error};
    case Role::slot_count:
        return {device_removed, general_error};
    case Role::slot_list:
        return {general_error};
    case Role::listed_other:
    case Role::listed_expected:
        return {token_not_present, general_error};
    case Role::initialize:
    case Role::locate:
    case Role::open:
    case Role::confirm:
    case Role::sign_confirm:
        return token_answers;
    case Role::pin_state:
        return {device_removed, general_error};
    case Role::login:
        return {pin_incorrect,     pin_invalid,
                pin_len_range,     user_pin_not_initialized,
                pin_expired,       pin_locked,
                device_removed,    session_closed,
                token_not_present, session_handle_invalid,
                general_error};
    case Role::find_init:
        return {session_handle_invalid, general_error};
    case Role::find:
        return {token_not_present, general_error};
    case Role::find_final:
    case Role::logout:
    case Role::close:
    case Role::finalize:
        return {general_error};
    case Role::attribute:
        return {};
    case Role::sign_init:
    case Role::sign:
        return {device_removed,    session_closed,     session_handle_invalid,
                token_not_present, mechanism_invalid,  pin_expired,
                pin_locked,        user_not_logged_in, general_error};
    case Role::context_login:
        return {pin_incorrect,          pin_locked,   pin_expired, token_not_present,
                user_already_logged_in, general_error};
    }
    return {};
}

bool nullable(Role role) {
    return role != Role::entry && role != Role::confirm && role != Role::pin_state &&
           role != Role::attribute && role != Role::sign_confirm && role != Role::context_login;
}

using Row = MatrixRow<Baseline>;

std::vector<Row> rows() {
    static const std::vector<Baseline> all = baselines();
    return matrix_rows(all, values_for, nullable);
}

struct Expected {
    int exit_code = 0;
    std::vector<Proto3Response> frames;
    Calls calls;
    std::string err;
};

std::size_t index_of(const Baseline& b, Role role) {
    return static_cast<std::size_t>(std::find_if(b.steps.begin(), b.steps.end(),
                                                 [&](const Step& s) { return s.role == role; }) -
                                    b.steps.begin());
}

Expected expected_for(const Baseline& b, std::size_t step, const Fault& fault) {
    const Role role = b.steps[step].role;
    const Reaction reaction = react(role, fault.rv, b.always_authenticate);
    const bool made = fault.rv.has_value();
    // Any of the three object-search entries missing stops before the search starts.
    const std::size_t at = !made && (role == Role::find || role == Role::find_final)
                               ? index_of(b, Role::find_init)
                               : step;
    Expected e;
    e.frames.push_back(Hello{});
    if (reaction.kind != Reaction::Kind::stop) {
        for (std::size_t i = 0; i < b.steps.size(); ++i) {
            if (i != at || made) {
                e.calls.push_back(b.steps[i].function);
            }
            if (i == at && reaction.kind == Reaction::Kind::relocate) {
                e.calls.insert(e.calls.end(), {"C_GetSlotList", "C_GetSlotList", "C_GetTokenInfo"});
            }
        }
        e.frames.insert(e.frames.end(),
                        {b.ready, sign_proto::Signature{1, b.signature}, Goodbye{}});
        e.err = filtering;
        return e;
    }
    e.exit_code = 1;
    for (std::size_t i = 0; i < at; ++i) {
        e.calls.push_back(b.steps[i].function);
    }
    if (made) {
        e.calls.push_back(b.steps[at].function);
    }
    const Role stopped = b.steps[at].role;
    if (stopped == Role::find && made) {
        e.calls.push_back("C_FindObjectsFinal");
    }
    if (stopped == Role::login || stopped == Role::context_login) {
        e.calls.push_back("C_GetTokenInfo"); // the flags, to tell a lock from a wrong PIN
    }
    if (stopped != Role::entry && stopped != Role::initialize) {
        e.calls = e.calls + removal_check(reaction.code, reaction.rv); // the token is still there
    }
    if (stopped == Role::confirm || stopped == Role::pin_state || stopped == Role::login) {
        e.calls.push_back("C_CloseSession");
    } else if (stopped > Role::login) {
        e.calls.insert(e.calls.end(), {"C_Logout", "C_CloseSession"});
    }
    if (stopped > Role::attribute) {
        e.frames.push_back(b.ready);
    }
    e.frames.push_back(error_frame(reaction.code, reaction.rv, reaction.flags));
    e.err = (stopped >= Role::find_init ? filtering : "") + error_line(reaction.code, reaction.rv);
    return e;
}

const std::vector<InputPiece> one_signature = {login("1234"), sign(1), close_request()};

// The row's name instead of its bytes in failure messages.
void PrintTo(const Row& row, std::ostream* os) {
    *os << row.name;
}

class Protocol3FaultMatrix : public ::testing::TestWithParam<Row> {};

TEST_P(Protocol3FaultMatrix, ErrorFrameAndCleanupFollowTheRules) {
    ASSERT_TRUE(trusted_mock_module().ok()) << trusted_mock_module().error();
    const Row& row = GetParam();
    const Baseline& b = *row.baseline;
    const Expected e = expected_for(b, row.step, row.fault);
    Proto3Invocation invocation;
    invocation.positional = b.positional;
    const Proto3Run r = run_proto3(with_fault(b.scenario, row.fault), one_signature, invocation);

    EXPECT_EQ(r.result.exit_code, e.exit_code) << r.result.err;
    EXPECT_EQ(r.conversation.frames(), describe(e.frames));
    EXPECT_EQ(r.result.err, e.err);
    EXPECT_EQ(call_names(r.trace), e.calls);
    expect_clean_ending(r.trace, e.exit_code == 0, row.name, row.fault);
}

INSTANTIATE_TEST_SUITE_P(EveryCall, Protocol3FaultMatrix, ::testing::ValuesIn(rows()),
                         [](const ::testing::TestParamInfo<Row>& p) { return p.param.name; });

// Answers that come from the token's state rather than a scripted rv, so the session can go on.
TEST(Protocol3FaultMatrixStates, SuccessLikeAnswersAndAllowedFinalTry) {
    struct Case {
        const char* what;
        json scenario;
        bool allow_final_try;
        std::uint64_t initialize_rv;
        std::uint64_t login_rv;
    };
    const Case cases[] = {
        {"already initialised", {{"already_initialized", true}}, false, 0x191, 0},
        {"already logged in", {{"already_logged_in", true}}, false, 0, 0x100},
        // Without the PIN state the parent may still take the risk of a final try.
        {"PIN state unreadable, final try allowed",
         {{"fail", {{{"fn", "C_GetTokenInfo"}, {"call", 3}, {"rv", "0x30"}}}}},
         true,
         0,
         0},
    };
    for (const Case& c : cases) {
        const Proto3Run r =
            run_proto3(c.scenario, {login("1234", c.allow_final_try), sign(1), close_request()});
        EXPECT_EQ(r.result.exit_code, 0) << c.what << "\n" << r.result.err;
        EXPECT_EQ(r.conversation.frames(),
                  describe({Hello{}, SessionReady{KeyKindCode::rsa, false},
                            sign_proto::Signature{1, mock_signature(256)}, Goodbye{}}))
            << c.what;
        ASSERT_GE(r.trace.size(), 7u) << c.what;
        EXPECT_EQ(r.trace[1].rv, c.initialize_rv) << c.what;
        EXPECT_EQ(r.trace[6].function, "C_Login") << c.what;
        EXPECT_EQ(r.trace[6].rv, c.login_rv) << c.what;
        expect_clean_ending(r.trace, true, c.what);
    }
}

} // namespace
} // namespace korvan::test::faults
