// Protocol 2 under every fault the module can throw at it: each call of a successful run (RSA
// and EC signing, PIN verification) answering each return value the program treats specially,
// one it does not, and a null entry. The expected outcome, the standard-error lines and the calls
// that follow come from a model of the rules below, not from recorded runs.
#include "fault_matrix.hpp"
#include "trusted_module.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

namespace korvan::test::faults {
namespace {

using nlohmann::json;

const std::string marker = "<<KORVAN_SIGN_PROTO_2>>\n";
const std::string sha256(64, 'a');
const std::string check = "\xE2\x9C\x93 ";

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
    recheck,
    login,
    find_init,
    find,
    find_final,
    attribute,
    sign_init,
    sign_probe,
    sign,
    logout,
    close,
};

// One call of the successful run: the lines written once it is reached (`pre`) and once it
// succeeded (`post`).
struct Step {
    Role role;
    std::string function;
    std::vector<std::string> pre = {};
    std::vector<std::string> post = {};
};

struct Baseline {
    std::string name;
    json scenario;
    std::vector<std::string> positional;
    std::string success_line;
    std::vector<Step> steps;
    std::set<Role> rows_for = {}; // the steps that get rows; empty: all
};

std::vector<Step> until_login() {
    return {{Role::entry, "C_GetFunctionList"},
            {Role::initialize, "C_Initialize", {}, {check + "C_Initialize OK"}},
            {Role::locate, "C_GetTokenInfo"},
            {Role::open, "C_OpenSession", {}, {check + "Session opened: 1"}},
            {Role::recheck, "C_GetTokenInfo", {}, {check + "Token matches the listed card"}},
            {Role::login, "C_Login", {}, {check + "C_Login OK"}}};
}

std::vector<Step> signing(const std::vector<std::string>& attributes_read, const std::string& kind,
                          std::size_t raw_size) {
    std::vector<Step> steps = until_login();
    steps.push_back({Role::find_init,
                     "C_FindObjectsInit",
                     {"sign-cli: filtering private key by CKA_ID (1 bytes)"}});
    steps.push_back({Role::find, "C_FindObjects"});
    steps.push_back(
        {Role::find_final, "C_FindObjectsFinal", {}, {check + "Private key handle: 1000"}});
    for (std::size_t i = 0; i < attributes_read.size(); ++i) {
        Step read{Role::attribute, "C_GetAttributeValue"};
        if (i + 1 == attributes_read.size()) {
            read.post = {check + "Key kind: " + kind};
        }
        steps.push_back(read);
    }
    steps.push_back({Role::sign_init, "C_SignInit"});
    steps.push_back({Role::sign_probe, "C_Sign"});
    steps.push_back(
        {Role::sign, "C_Sign", {}, {check + "C_Sign OK (" + std::to_string(raw_size) + " bytes)"}});
    steps.push_back({Role::logout, "C_Logout"});
    steps.push_back({Role::close, "C_CloseSession"});
    return steps;
}

std::vector<Baseline> baselines() {
    std::vector<Step> verify = until_login();
    verify.push_back({Role::logout, "C_Logout"});
    verify.push_back({Role::close, "C_CloseSession"});
    std::vector<Step> moved = verify;
    moved.insert(moved.begin() + 3, {{Role::slot_count, "C_GetSlotList"},
                                     {Role::slot_list, "C_GetSlotList"},
                                     {Role::listed_other, "C_GetTokenInfo"},
                                     {Role::listed_expected, "C_GetTokenInfo"}});
    const json slot_1 = {{"slots",
                          {{{"id", 0}, {"token", {{"serial", "S999"}, {"label", "Kart"}}}},
                           {{"id", 1}, {"token", {{"serial", "S123"}, {"label", "Kart"}}}}}}};
    return {
        {"rsa",
         json::object(),
         {sha256, "01", "rsa", "0"},
         "sign-cli: OK (256 bytes signature)",
         // CKA_KEY_TYPE: length query, then the read.
         signing({"query", "read"}, "rsa", 256)},
        {"ec",
         {{"keys", {{{"id", "01"}, {"kind", "ec-p256"}}}}},
         {sha256, "01", "", "0"},
         "sign-cli: OK (70 bytes signature)",
         // CKA_KEY_TYPE, then CKA_EC_PARAMS, each queried and read.
         signing({"query", "read", "query", "read"}, "ec-p256", 64)},
        {"verify", json::object(), {"VERIFY_ONLY", "", "", "0"}, "sign-cli: VERIFY OK", verify},
        // The expected token sits in slot 1, not in the slot 0 asked for.
        {"moved",
         slot_1,
         {"VERIFY_ONLY", "", "", "0"},
         "sign-cli: VERIFY OK",
         moved,
         {Role::slot_count, Role::slot_list, Role::listed_other, Role::listed_expected}},
    };
}

// How the program must react to a fault at one step.
struct Reaction {
    enum class Kind { stop, ignore, relocate } kind = Kind::stop;
    std::string line; // stop: the outcome line
    int exit_code = 0;
};

Reaction stop(std::string line, int exit_code) {
    return {Reaction::Kind::stop, std::move(line), exit_code};
}
Reaction failed(const std::string& label, std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(value));
    return stop("sign-cli: " + label + " rv=0x" + text, 4);
}
const Reaction ignored{Reaction::Kind::ignore, "", 0};
const Reaction token_changed = stop("sign-cli: TOKEN_CHANGED (PIN not sent)", 10);
const Reaction mechanism_refused = stop(
    "sign-cli: UNSUPPORTED_KEY_TYPE: token bu anahtar\xC4\xB1n imza mekanizmas\xC4\xB1n\xC4\xB1 "
    "desteklemiyor",
    7);

bool token_gone(std::uint32_t value) {
    return value == rv::slot_id_invalid || value == rv::device_removed ||
           value == rv::token_not_present || value == rv::token_not_recognized;
}

// The rules of protocol 2 for a call answering `value`, or missing (no value).
Reaction react(Role role, std::optional<std::uint32_t> value) {
    const auto null_fn = [](const std::string& label) {
        return failed(label + " (null fn)", rv::function_not_supported);
    };
    switch (role) {
    case Role::entry:
        return failed("C_GetFunctionList", *value);
    case Role::initialize:
        return value ? failed("C_Initialize", *value) : failed("C_Initialize (null fn)", 0);
    case Role::locate:
        // A token that looks gone from the slot is searched for in every slot.
        if (!value) {
            return failed("C_GetTokenInfo", 0xFFFFFFFF);
        }
        return token_gone(*value) ? Reaction{Reaction::Kind::relocate, "", 0}
                                  : failed("C_GetTokenInfo", *value);
    case Role::slot_count:
    case Role::slot_list:
    case Role::listed_expected:
        return token_changed; // no listing, or one without the expected token
    case Role::listed_other:
        return ignored; // that slot is left out of the listing
    case Role::open:
        if (!value) {
            return null_fn("C_OpenSession");
        }
        return token_gone(*value) ? token_changed : failed("C_OpenSession", *value);
    case Role::recheck:
        return token_gone(*value) ? token_changed : failed("C_GetTokenInfo", *value);
    case Role::login:
        if (!value) {
            return null_fn("C_Login");
        }
        if (*value == rv::pin_incorrect) {
            return stop("sign-cli: PIN_INCORRECT", 3);
        }
        if (*value == rv::pin_locked) {
            return stop("sign-cli: PIN_LOCKED \xE2\x80\x94 PUK needed to unlock", 3);
        }
        return failed("C_Login", *value);
    case Role::find_init:
        return value ? failed("C_FindObjectsInit", *value) : null_fn("C_FindObjects");
    case Role::find:
        return value ? failed("C_FindObjects", *value) : null_fn("C_FindObjects");
    case Role::find_final:
        return value ? ignored : null_fn("C_FindObjects");
    case Role::attribute:
        return ignored; // not in the generated rows; see the attribute table
    case Role::sign_init:
        if (!value) {
            return null_fn("C_SignInit");
        }
        return *value == rv::mechanism_invalid ? mechanism_refused : failed("C_SignInit", *value);
    case Role::sign_probe:
        if (!value) {
            return null_fn("C_Sign");
        }
        return *value == rv::mechanism_invalid ? mechanism_refused
                                               : failed("C_Sign (length probe)", *value);
    case Role::sign:
        return *value == rv::mechanism_invalid ? mechanism_refused : failed("C_Sign", *value);
    case Role::logout:
    case Role::close:
        return ignored;
    }
    return ignored;
}

// Return values injected per call: the ones the program tells apart there, and general error.
std::vector<std::uint32_t> values_for(Role role) {
    using namespace rv;
    switch (role) {
    case Role::entry:
        return {general_error};
    case Role::initialize:
        return {device_removed, general_error};
    case Role::slot_count:
        return {device_removed, general_error};
    case Role::slot_list:
        return {general_error};
    case Role::listed_other:
    case Role::listed_expected:
        return {token_not_present, general_error};
    case Role::locate:
    case Role::open:
    case Role::recheck:
        return {slot_id_invalid,      device_removed,         token_not_present,
                token_not_recognized, session_handle_invalid, general_error};
    case Role::login:
        return {pin_incorrect,          pin_locked,     pin_expired,
                user_already_logged_in, device_removed, general_error};
    case Role::find_init:
        return {device_removed, general_error};
    case Role::find:
    case Role::find_final:
        return {general_error};
    case Role::attribute:
        return {};
    case Role::sign_init:
        return {mechanism_invalid, user_not_logged_in, general_error};
    case Role::sign_probe:
    case Role::sign:
        return {mechanism_invalid, buffer_too_small, general_error};
    case Role::logout:
        return {user_not_logged_in, general_error};
    case Role::close:
        return {session_handle_invalid, general_error};
    }
    return {};
}

bool nullable(Role role) {
    return role != Role::entry && role != Role::recheck && role != Role::attribute &&
           role != Role::sign;
}

using Row = MatrixRow<Baseline>;

std::vector<Row> rows() {
    static const std::vector<Baseline> all = baselines();
    return matrix_rows(all, values_for, nullable);
}

struct Expected {
    std::string outcome_line;
    int exit_code = 0;
    Calls calls;
    std::vector<std::string> progress;
};

// Calls and lines of the run with `fault` at `step`, as the rules above say it must go.
Expected expected_for(const Baseline& b, std::size_t step, const Fault& fault) {
    const Role role = b.steps[step].role;
    Reaction reaction = react(role, fault.rv);
    // Any of the three object-search entries missing stops before the search starts.
    std::size_t at = step;
    if (!fault.rv && (role == Role::find || role == Role::find_final)) {
        at = static_cast<std::size_t>(
            std::find_if(b.steps.begin(), b.steps.end(),
                         [](const Step& s) { return s.role == Role::find_init; }) -
            b.steps.begin());
    }
    Expected e;
    const bool made = fault.rv.has_value();
    if (reaction.kind != Reaction::Kind::stop) {
        e.outcome_line = b.success_line;
        for (std::size_t i = 0; i < b.steps.size(); ++i) {
            const Step& s = b.steps[i];
            if (i != at || made) {
                e.calls.push_back(s.function);
            }
            if (i == at && reaction.kind == Reaction::Kind::relocate) {
                e.calls.insert(e.calls.end(), {"C_GetSlotList", "C_GetSlotList", "C_GetTokenInfo"});
            }
            e.progress.insert(e.progress.end(), s.pre.begin(), s.pre.end());
            e.progress.insert(e.progress.end(), s.post.begin(), s.post.end());
        }
        return e;
    }
    e.outcome_line = reaction.line;
    e.exit_code = reaction.exit_code;
    for (std::size_t i = 0; i < at; ++i) {
        e.calls.push_back(b.steps[i].function);
        e.progress.insert(e.progress.end(), b.steps[i].pre.begin(), b.steps[i].pre.end());
        e.progress.insert(e.progress.end(), b.steps[i].post.begin(), b.steps[i].post.end());
    }
    e.progress.insert(e.progress.end(), b.steps[at].pre.begin(), b.steps[at].pre.end());
    if (made) {
        e.calls.push_back(b.steps[at].function);
    }
    const Role stopped = b.steps[at].role;
    if (stopped == Role::find && made) {
        e.calls.push_back("C_FindObjectsFinal"); // always ends a started search
    }
    if (stopped == Role::recheck || stopped == Role::login) {
        e.calls.push_back("C_CloseSession"); // no login to undo
    } else if (stopped > Role::login) {
        e.calls.insert(e.calls.end(), {"C_Logout", "C_CloseSession"});
    }
    return e;
}

struct Proto2Run {
    ChildResult result;
    std::vector<TraceEntry> trace;
};

Proto2Run run_proto2(const json& scenario, const std::vector<std::string>& positional,
                     const std::string& expect_token = "53313233:4b617274") {
    MockToken mock(scenario);
    ChildRun run;
    run.args = {"--proto=2", trusted_mock_module().module_path()};
    run.args.insert(run.args.end(), positional.begin(), positional.end());
    trusted_mock_module().add_to(run);
    mock.add_to(run);
    run.env["KORVAN_EXPECT_TOKEN"] = expect_token;
    run.input = "1234\n";
    return {run_child(program_path("sign-cli"), run), mock.trace()};
}

std::string diagnostic_line(const Baseline& b) {
    const bool verify = b.positional[0] == "VERIFY_ONLY";
    return "sign-cli: module=" + trusted_mock_module().module_path() +
           " pin_len=4 hash=" + (verify ? "<VERIFY_ONLY>" : b.positional[0]) +
           " ckaid_len=" + std::to_string(b.positional[1].size() / 2) +
           " mode=" + (verify ? "verify" : "sign");
}

// The row's name instead of its bytes in failure messages.
void PrintTo(const Row& row, std::ostream* os) {
    *os << row.name;
}

class Protocol2FaultMatrix : public ::testing::TestWithParam<Row> {};

TEST_P(Protocol2FaultMatrix, OutcomeLinesAndCleanupFollowTheRules) {
    ASSERT_TRUE(trusted_mock_module().ok()) << trusted_mock_module().error();
    const Row& row = GetParam();
    const Baseline& b = *row.baseline;
    const Expected e = expected_for(b, row.step, row.fault);
    const Proto2Run r = run_proto2(with_fault(b.scenario, row.fault), b.positional);

    EXPECT_EQ(r.result.exit_code, e.exit_code) << r.result.err;
    std::string err = diagnostic_line(b) + "\n";
    for (const std::string& line : e.progress) {
        err += line + "\n";
    }
    EXPECT_EQ(r.result.err, err + e.outcome_line + "\n");
    EXPECT_EQ(call_names(r.trace), e.calls);
    expect_clean_ending(r.trace, false, row.name, row.fault);
    if (e.exit_code != 0 || b.positional[0] == "VERIFY_ONLY") {
        EXPECT_EQ(r.result.out, marker) << "no signature line";
    } else {
        ASSERT_EQ(std::count(r.result.out.begin(), r.result.out.end(), '\n'), 2) << r.result.out;
        EXPECT_EQ(r.result.out.rfind(marker, 0), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryCall, Protocol2FaultMatrix, ::testing::ValuesIn(rows()),
                         [](const ::testing::TestParamInfo<Row>& p) { return p.param.name; });

// The answers a state of the token gives, rather than a scripted rv: the module really is
// initialised or logged in already, so the run can go on from there.
TEST(Protocol2FaultMatrixStates, SuccessLikeAnswers) {
    struct Case {
        const char* what;
        json scenario;
        int exit_code;
        Calls calls;
    };
    const Calls verify_run = {"C_GetFunctionList", "C_Initialize",   "C_GetTokenInfo",
                              "C_OpenSession",     "C_GetTokenInfo", "C_Login",
                              "C_Logout",          "C_CloseSession"};
    const Calls refused_login = {"C_GetFunctionList", "C_Initialize",   "C_GetTokenInfo",
                                 "C_OpenSession",     "C_GetTokenInfo", "C_Login",
                                 "C_CloseSession"};
    const Case cases[] = {
        {"already initialised: 0x191 is success", {{"already_initialized", true}}, 0, verify_run},
        // Only protocol 3 takes a login that is already there; protocol 2 wants its own.
        {"already logged in: 0x100 is a failure here",
         {{"already_logged_in", true}},
         4,
         refused_login},
    };
    for (const Case& c : cases) {
        const Proto2Run r = run_proto2(c.scenario, {"VERIFY_ONLY", "", "", "0"});
        EXPECT_EQ(r.result.exit_code, c.exit_code) << c.what << "\n" << r.result.err;
        EXPECT_EQ(call_names(r.trace), c.calls) << c.what;
        expect_clean_ending(r.trace, false, c.what);
    }
}

} // namespace
} // namespace korvan::test::faults
