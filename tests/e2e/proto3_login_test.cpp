// Protocol 3 from the Login to SessionReady: every way opening the session can fail, with the
// Error frame's exact fields, the line on standard error and the calls the module saw (which
// show both that no PIN went out where it must not and what was released afterwards).
#include "proto3_conversation.hpp"

#include "korvan/sign_proto/frames.hpp"

#include <gtest/gtest.h>

#include <algorithm>

namespace korvan::test {
namespace {

using namespace sign_proto;
using nlohmann::json;

const Calls start = {"C_GetFunctionList", "C_Initialize", "C_GetTokenInfo"};
const Calls listing = {"C_GetSlotList", "C_GetSlotList", "C_GetTokenInfo"};
const Calls opened = start + Calls{"C_OpenSession", "C_GetTokenInfo"};
const Calls pin_state = opened + Calls{"C_GetTokenInfo"};
const Calls logged_in = pin_state + Calls{"C_Login"};
// A refused login reads the token flags for the answer, then only closes the session.
const Calls login_refused = logged_in + Calls{"C_GetTokenInfo", "C_CloseSession"};
const Calls search = {"C_FindObjectsInit", "C_FindObjects", "C_FindObjectsFinal"};
const Calls ready = logged_in + search;
const Calls close_only = {"C_CloseSession"};
const Calls release = {"C_Logout", "C_CloseSession"};
const Calls orderly_close = release + Calls{"C_Finalize"};

// Default token flags: RNG, login required, user PIN initialised, token initialised.
constexpr std::uint64_t flags = 0x40d;
constexpr std::uint64_t count_low = 0x10000, final_try = 0x20000, locked = 0x40000;
const std::string filtering = "sign-cli: filtering private key by CKA_ID (1 bytes)\n";

json fail(const char* fn, const char* rv, int call = 0) {
    json f = {{"fn", fn}, {"rv", rv}};
    if (call > 0) {
        f["call"] = call;
    }
    return f;
}
json failing(const char* fn, const char* rv, int call = 0) {
    return {{"fail", {fail(fn, rv, call)}}};
}
json token(const char* serial) {
    return {{"serial", serial}, {"label", "Kart"}};
}

struct LoginCase {
    const char* what;
    json scenario;
    Proto3Response error;
    Calls calls;
    std::vector<std::string> positional = {"01", "rsa", "0"};
    std::vector<InputPiece> input = {login("1234"), close_request()};
};

std::vector<LoginCase> login_cases() {
    const json other_token = {{"slots", {{{"token", token("S999")}}}}};
    const json swapped = {{"slots", {{{"tokens", {token("S123"), token("S999")}}}}}};
    const json two_keys = {{"keys", {{{"id", "01"}}, {{"id", "01"}}}}};
    const json dsa = {
        {"keys", {{{"id", "01"}, {"attributes", {{"CKA_KEY_TYPE", {{"ulong", 1}}}}}}}}};
    const json odd_curve = {{"keys",
                             {{{"id", "01"},
                               {"kind", "ec-p256"},
                               {"attributes", {{"CKA_EC_PARAMS", "06052b8104000a"}}}}}}};
    const auto wrong_pin = std::vector<InputPiece>{login("0000", true), close_request()};
    const auto final_allowed = std::vector<InputPiece>{login("1234", true), close_request()};
    return {
        {"entry point fails",
         failing("C_GetFunctionList", "0x5"),
         error_frame(4, 0x5),
         {"C_GetFunctionList"}},
        {"entry point gives no list",
         {{"function_list_null", true}},
         error_frame(4, 0),
         {"C_GetFunctionList"}},
        {"no C_Initialize",
         {{"null_functions", {"C_Initialize"}}},
         error_frame(4, 0x54),
         {"C_GetFunctionList"}},
        {"C_Initialize fails",
         failing("C_Initialize", "0x6"),
         error_frame(4, 0x6),
         {"C_GetFunctionList", "C_Initialize"}},
        {"C_Initialize: device removed",
         failing("C_Initialize", "0x32"),
         error_frame(16, 0x32),
         {"C_GetFunctionList", "C_Initialize"}},
        {"no C_GetTokenInfo",
         {{"null_functions", {"C_GetTokenInfo"}}},
         error_frame(4, 0xFFFFFFFFFFFFFFFFull),
         {"C_GetFunctionList", "C_Initialize"}},
        {"token check fails", failing("C_GetTokenInfo", "0x30", 1), error_frame(4, 0x30), start},
        {"token check: session handle invalid", failing("C_GetTokenInfo", "0xB3", 1),
         error_frame(16, 0xB3), start},
        {"expected token nowhere", other_token, error_frame(5), start + listing},
        {"C_OpenSession: slot id invalid", failing("C_OpenSession", "0x3"), error_frame(5, 0x3),
         start + Calls{"C_OpenSession"}},
        {"C_OpenSession: token not recognised", failing("C_OpenSession", "0xE1"),
         error_frame(5, 0xE1), start + Calls{"C_OpenSession"}},
        {"C_OpenSession: token not present", failing("C_OpenSession", "0xE0"),
         error_frame(16, 0xE0), start + Calls{"C_OpenSession"}},
        {"C_OpenSession fails", failing("C_OpenSession", "0x30"), error_frame(4, 0x30),
         start + Calls{"C_OpenSession"}},
        {"no C_OpenSession", {{"null_functions", {"C_OpenSession"}}}, error_frame(4, 0x54), start},
        {"token swapped before the session check", swapped, error_frame(5), opened + close_only},
        {"session check fails", failing("C_GetTokenInfo", "0x30", 2), error_frame(4, 0x30),
         opened + close_only},
        {"session check: device removed", failing("C_GetTokenInfo", "0x32", 2),
         error_frame(16, 0x32), opened + close_only},
        {"session check: slot id invalid", failing("C_GetTokenInfo", "0x3", 2), error_frame(5),
         opened + close_only},
        {"PIN locked before the login",
         {{"pin_tries_left", 0}},
         error_frame(7, 0, flags | locked),
         pin_state + close_only,
         {"01", "rsa", "0"},
         final_allowed},
        {"final try not allowed",
         {{"pin_tries_left", 1}},
         error_frame(10, 0, flags | final_try),
         pin_state + close_only},
        {"PIN state unreadable, final try not allowed", failing("C_GetTokenInfo", "0x30", 3),
         error_frame(17, 0x30), pin_state + close_only},
        {"wrong PIN",
         json::object(),
         error_frame(6, 0xA0, flags),
         login_refused,
         {"01", "rsa", "0"},
         wrong_pin},
        {"wrong PIN on the final try locks the PIN",
         {{"pin_tries_left", 1}},
         error_frame(7, 0xA0, flags | count_low | locked),
         login_refused,
         {"01", "rsa", "0"},
         wrong_pin},
        {"PIN invalid", failing("C_Login", "0xA1"), error_frame(9, 0xA1, flags), login_refused},
        {"PIN length out of range", failing("C_Login", "0xA2"), error_frame(9, 0xA2, flags),
         login_refused},
        {"user PIN not initialised", failing("C_Login", "0x102"), error_frame(9, 0x102, flags),
         login_refused},
        {"PIN expired", failing("C_Login", "0xA3"), error_frame(8, 0xA3, flags), login_refused},
        {"C_Login: PIN locked", failing("C_Login", "0xA4"), error_frame(7, 0xA4, flags),
         login_refused},
        {"C_Login: token removed", failing("C_Login", "0xE0"), error_frame(16, 0xE0, flags),
         login_refused},
        {"C_Login fails", failing("C_Login", "0x5"), error_frame(4, 0x5, flags), login_refused},
        {"C_Login fails, flags unreadable after it",
         {{"fail", {fail("C_Login", "0x5"), fail("C_GetTokenInfo", "0x30", 4)}}},
         error_frame(4, 0x5),
         login_refused},
        {"no C_Login",
         {{"null_functions", {"C_Login"}}},
         error_frame(4, 0x54, flags),
         pin_state + Calls{"C_GetTokenInfo"} + close_only},
        {"no key with the CKA_ID",
         json::object(),
         error_frame(11),
         ready + release,
         {"ff", "rsa", "0"}},
        {"two keys with the CKA_ID", two_keys, error_frame(11), ready + release},
        {"two keys, no CKA_ID", two_keys, error_frame(11), ready + release, {"", "", "0"}},
        {"no key at all",
         {{"keys", json::array()}},
         error_frame(11),
         ready + release,
         {"", "", "0"}},
        {"module claims more handles than asked",
         {{"find_objects_count", 5}},
         error_frame(11),
         ready + release},
        {"RSA key asked as EC",
         json::object(),
         error_frame(11),
         ready + release,
         {"01", "ec-p256", "0"}},
        {"P-384 key asked as P-256",
         {{"keys", {{{"id", "01"}, {"kind", "ec-p384"}}}}},
         error_frame(11),
         ready + release,
         {"01", "ec-p256", "0"}},
        {"DSA key", dsa, error_frame(12), ready + release},
        {"unknown curve", odd_curve, error_frame(12), ready + release, {"01", "", "0"}},
        {"C_FindObjectsInit fails", failing("C_FindObjectsInit", "0x5"), error_frame(4, 0x5),
         logged_in + Calls{"C_FindObjectsInit"} + release},
        {"C_FindObjects: session closed", failing("C_FindObjects", "0xB0"), error_frame(16, 0xB0),
         ready + release},
        {"no C_FindObjectsFinal",
         {{"null_functions", {"C_FindObjectsFinal"}}},
         error_frame(4, 0x54),
         logged_in + release},
    };
}

TEST(Proto3Login, EveryFailureSendsItsErrorAndReleasesWhatWasReached) {
    ASSERT_TRUE(trusted_mock_module().ok()) << trusted_mock_module().error();
    for (const LoginCase& c : login_cases()) {
        Proto3Invocation invocation;
        invocation.positional = c.positional;
        const Proto3Run r = run_proto3(c.scenario, c.input, invocation);
        EXPECT_EQ(r.result.exit_code, 1) << c.what << "\n" << r.result.err;
        EXPECT_EQ(r.conversation.frames(), describe({Hello{}, c.error})) << c.what;
        const auto& failure = std::get<Proto3Failure>(c.error);
        // The key search, which announces a CKA_ID filter, starts once logged in.
        const bool reached_login =
            std::find(c.calls.begin(), c.calls.end(), "C_Logout") != c.calls.end();
        const bool filtered = reached_login && !c.positional[0].empty();
        EXPECT_EQ(r.result.err, (filtered ? filtering : "") +
                                    error_line(static_cast<unsigned>(failure.code), failure.rv))
            << c.what;
        // A module fault is checked against the slot's token-present flag before the release,
        // once the module is initialised.
        Calls expected = c.calls;
        auto release_at = expected.end();
        while (release_at != expected.begin() &&
               (*(release_at - 1) == "C_Logout" || *(release_at - 1) == "C_CloseSession")) {
            --release_at;
        }
        const bool initialized =
            std::any_of(r.trace.begin(), r.trace.end(), [](const TraceEntry& e) {
                return e.function == "C_Initialize" && e.rv == 0;
            });
        const Calls check = initialized ? removal_check(c.error) : Calls{};
        expected.insert(release_at, check.begin(), check.end());
        EXPECT_EQ(r.calls, expected) << c.what;
    }
}

// The PIN goes out with CKU_USER exactly once wherever the token lets the login go ahead.
TEST(Proto3Login, LoginGoesAheadWhereTheTokenAllowsIt) {
    struct Case {
        const char* what;
        json scenario;
        bool allow_final_try;
        unsigned long long initialize_rv;
        unsigned long long login_rv;
    };
    const Case cases[] = {
        {"final try allowed", {{"pin_tries_left", 1}}, true, 0, 0},
        {"PIN state unreadable, final try allowed", failing("C_GetTokenInfo", "0x30", 3), true, 0,
         0},
        {"already initialised and logged in",
         {{"already_initialized", true}, {"already_logged_in", true}},
         false,
         0x191,
         0x100},
    };
    for (const Case& c : cases) {
        const Proto3Run r =
            run_proto3(c.scenario, {login("1234", c.allow_final_try), close_request()});
        EXPECT_EQ(r.result.exit_code, 0) << c.what << "\n" << r.result.err;
        EXPECT_EQ(r.conversation.frames(),
                  describe({Hello{}, SessionReady{KeyKindCode::rsa, false}, Goodbye{}}))
            << c.what;
        EXPECT_EQ(r.result.err, filtering) << c.what;
        EXPECT_EQ(r.calls, ready + orderly_close) << c.what;
        std::vector<const TraceEntry*> logins;
        for (const TraceEntry& e : r.trace) {
            if (e.function == "C_Login") {
                logins.push_back(&e);
            }
            if (e.function == "C_Initialize") {
                EXPECT_EQ(e.rv, c.initialize_rv) << c.what;
            }
        }
        ASSERT_EQ(logins.size(), 1u) << c.what;
        EXPECT_EQ(logins[0]->arg("user"), "1") << c.what;
        EXPECT_EQ(logins[0]->arg("pin_len"), "4") << c.what;
        EXPECT_EQ(logins[0]->rv, c.login_rv) << c.what;
    }
}

// The PIN is an arbitrary byte string: it reaches the token whole, zero bytes and all, both for
// the login and, kept for an always-authenticate key, for each context-specific login.
TEST(Proto3Login, PinBytesReachTheTokenUnchanged) {
    const std::string pins[] = {std::string(1, '\0'),
                                std::string("1\0"
                                            "2\0\xff",
                                            5),
                                std::string(255, '\xff')};
    for (const std::string& pin : pins) {
        std::string pin_hex;
        for (const char ch : pin) {
            const auto b = static_cast<unsigned char>(ch);
            pin_hex += "0123456789abcdef"[b >> 4];
            pin_hex += "0123456789abcdef"[b & 15];
        }
        const json scenario = {{"pin_hex", pin_hex},
                               {"keys", {{{"id", "01"}, {"always_authenticate", true}}}}};
        const Proto3Run r = run_proto3(scenario, {login(pin), sign(1), close_request()});
        EXPECT_EQ(r.result.exit_code, 0) << pin_hex << "\n" << r.result.err;
        EXPECT_EQ(r.conversation.frames(), describe({Hello{}, SessionReady{KeyKindCode::rsa, true},
                                                     Signature{1, mock_signature(256)}, Goodbye{}}))
            << pin_hex;
        for (const TraceEntry& e : r.trace) {
            if (e.function == "C_Login") {
                EXPECT_EQ(e.arg("pin_len"), std::to_string(pin.size())) << e.line;
                EXPECT_EQ(e.rv, 0u) << e.line;
            }
        }
    }
}

// Only a readable, one-byte, non-zero CKA_ALWAYS_AUTHENTICATE asks for context-specific login.
TEST(Proto3Login, AlwaysAuthenticateNeedsExactlyOneNonZeroByte) {
    struct Case {
        json value;
        bool always_authenticate;
    };
    const Case cases[] = {
        {"01", true},    {"02", true},    {"ff", true},     {"00", false},
        {"0101", false}, {"0001", false}, {nullptr, false}, {{{"rv", "0x11"}}, false},
    };
    for (const Case& c : cases) {
        const json scenario = {
            {"keys", {{{"id", "01"}, {"attributes", {{"CKA_ALWAYS_AUTHENTICATE", c.value}}}}}}};
        const Proto3Run r = run_proto3(scenario, {login("1234"), close_request()});
        EXPECT_EQ(r.result.exit_code, 0) << c.value.dump() << "\n" << r.result.err;
        EXPECT_EQ(
            r.conversation.frames(),
            describe({Hello{}, SessionReady{KeyKindCode::rsa, c.always_authenticate}, Goodbye{}}))
            << c.value.dump();
    }
}

// A key type of any other width than CK_KEY_TYPE's is unknown: the requested kind decides, and
// rsa when none was requested.
TEST(Proto3Login, KeyTypeOfAnotherWidthLeavesTheKindToTheRequest) {
    const json scenario = {
        {"keys",
         {{{"id", "01"}, {"kind", "ec-p256"}, {"attributes", {{"CKA_KEY_TYPE", "0300"}}}}}}};
    struct Case {
        const char* requested;
        KeyKindCode kind;
    };
    const Case cases[] = {{"", KeyKindCode::rsa}, {"ec-p256", KeyKindCode::ec_p256}};
    for (const Case& c : cases) {
        Proto3Invocation invocation;
        invocation.positional = {"01", c.requested, "0"};
        const Proto3Run r = run_proto3(scenario, {login("1234"), close_request()}, invocation);
        EXPECT_EQ(r.result.exit_code, 0) << c.requested << "\n" << r.result.err;
        EXPECT_EQ(r.conversation.frames(),
                  describe({Hello{}, SessionReady{c.kind, false}, Goodbye{}}))
            << c.requested;
    }
}

} // namespace
} // namespace korvan::test
