// Every protocol-2 outcome through the built program and the mock module: the lines the parent
// reads, the exit code, and the calls the module saw (cleanup order, no PIN after a token change).
#include "child_process.hpp"
#include "engine/der.hpp"
#include "mock_module.hpp"
#include "proto2/base64.hpp"
#include "trusted_module.hpp"

#include <gtest/gtest.h>

#include <fstream>

namespace korvan::test {
namespace {

using nlohmann::json;
using Calls = std::vector<std::string>;

const std::string marker = "<<KORVAN_SIGN_PROTO_2>>\n";
const std::string sha256(64, 'a');
const std::string sha384(96, 'b');
const std::string expect_default = "53313233:4b617274"; // S123 : Kart

Calls operator+(Calls a, const Calls& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Calls until_login = {"C_GetFunctionList", "C_Initialize",   "C_GetTokenInfo",
                           "C_OpenSession",     "C_GetTokenInfo", "C_Login"};
const Calls search = {"C_FindObjectsInit", "C_FindObjects", "C_FindObjectsFinal"};
const Calls read_key_type = {"C_GetAttributeValue", "C_GetAttributeValue"};
const Calls read_ec_key = read_key_type + read_key_type;
const Calls sign_calls = {"C_SignInit", "C_Sign", "C_Sign"};
const Calls logout_close = {"C_Logout", "C_CloseSession"};

struct SignRun {
    ChildResult result;
    Calls calls;
    std::vector<TraceEntry> trace;
};

SignRun sign(const json& scenario, std::vector<std::string> positional, std::string pin = "1234\n",
             std::string expect = expect_default) {
    MockToken mock(scenario);
    ChildRun run;
    run.args = {"--proto=2", trusted_mock_module().module_path()};
    trusted_mock_module().add_to(run);
    run.args.insert(run.args.end(), positional.begin(), positional.end());
    run.env["KORVAN_EXPECT_TOKEN"] = expect;
    run.input = std::move(pin);
    mock.add_to(run);
    SignRun r{run_child(program_path("sign-cli"), run), mock.calls(), mock.trace()};
    return r;
}

// The outcome line: the last line of standard error, without its line feed.
std::string last_line(const std::string& text) {
    const std::string body =
        text.empty() || text.back() != '\n' ? text : text.substr(0, text.size() - 1);
    return body.substr(body.rfind('\n') == std::string::npos ? 0 : body.rfind('\n') + 1);
}

std::string base64_line(const std::vector<std::uint8_t>& bytes) {
    return cli::encode_base64(bytes) + "\n";
}

const TraceEntry* find_call(const std::vector<TraceEntry>& trace, const std::string& fn,
                            int nth = 1) {
    for (const auto& entry : trace) {
        if (entry.function == fn && --nth == 0) {
            return &entry;
        }
    }
    return nullptr;
}

TEST(Protocol2Engine, RsaSignatureWithEveryProgressLineInOrder) {
    ASSERT_TRUE(trusted_mock_module().ok()) << trusted_mock_module().error();
    const SignRun r = sign(json::object(), {sha256, "01", "rsa", "0"});
    ASSERT_EQ(r.result.exit_code, 0) << r.result.err;
    EXPECT_EQ(r.result.out, marker + base64_line(mock_signature(256)));
    EXPECT_EQ(r.result.err, "sign-cli: module=" + trusted_mock_module().module_path() +
                                " pin_len=4 hash=" + sha256 +
                                " ckaid_len=1 mode=sign\n"
                                "\xE2\x9C\x93 C_Initialize OK\n"
                                "\xE2\x9C\x93 Session opened: 1\n"
                                "\xE2\x9C\x93 Token matches the listed card\n"
                                "\xE2\x9C\x93 C_Login OK\n"
                                "sign-cli: filtering private key by CKA_ID (1 bytes)\n"
                                "\xE2\x9C\x93 Private key handle: 1000\n"
                                "\xE2\x9C\x93 Key kind: rsa\n"
                                "\xE2\x9C\x93 C_Sign OK (256 bytes)\n"
                                "sign-cli: OK (256 bytes signature)\n");
    EXPECT_EQ(r.calls, until_login + search + read_key_type + sign_calls + logout_close);
    // The token signs the SHA-256 DigestInfo, not the bare digest.
    const TraceEntry* data = find_call(r.trace, "C_Sign", 2);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data->arg("data_len"), "51");
    EXPECT_EQ(data->arg("data"), "3031300d060960864801650304020105000420" + sha256);
    EXPECT_EQ(find_call(r.trace, "C_Login")->arg("pin_len"), "4");
    EXPECT_EQ(find_call(r.trace, "C_OpenSession")->arg("flags"), "0x4");
}

// The PIN is a byte string: a zero byte, blanks and a lone carriage return inside it reach the
// token, and only the trailing line ends are dropped.
TEST(Protocol2Engine, PinBytesReachTheTokenWhole) {
    struct Case {
        std::string input;
        std::string pin_hex;
    };
    const Case cases[] = {
        {std::string("12\0"
                     "34\n",
                     6),
         "3132003334"},
        {" 1\r2 \r\n\n", "20310d3220"},
        {"\xC4\x9F\r", "c49f"},
    };
    for (const Case& c : cases) {
        const SignRun r = sign({{"pin_hex", c.pin_hex}}, {sha256, "01", "rsa", "0"}, c.input);
        EXPECT_EQ(r.result.exit_code, 0) << c.pin_hex << "\n" << r.result.err;
        const TraceEntry* login = find_call(r.trace, "C_Login");
        ASSERT_NE(login, nullptr) << c.pin_hex;
        EXPECT_EQ(login->arg("pin_len"), std::to_string(c.pin_hex.size() / 2));
        EXPECT_EQ(login->rv, 0u) << c.pin_hex;
    }
}

TEST(Protocol2Engine, EcSignaturesAreReturnedAsDer) {
    struct Case {
        const char* kind;
        const std::string& digest;
        std::size_t raw;
    };
    const std::string sha512(128, 'c');
    for (const Case c :
         {Case{"ec-p256", sha256, 64}, Case{"ec-p384", sha384, 96}, Case{"ec-p521", sha512, 132}}) {
        const json scenario = {{"keys", {{{"id", "a1b2"}, {"kind", c.kind}}}}};
        for (const char* requested : {c.kind, ""}) {
            const SignRun r = sign(scenario, {c.digest, "a1b2", requested, "0"});
            ASSERT_EQ(r.result.exit_code, 0) << r.result.err;
            const auto der = engine::ecdsa_raw_to_der(mock_signature(c.raw));
            ASSERT_TRUE(der);
            EXPECT_EQ(r.result.out, marker + base64_line(*der)) << c.kind;
            EXPECT_EQ(last_line(r.result.err),
                      "sign-cli: OK (" + std::to_string(der->size()) + " bytes signature)");
            EXPECT_EQ(r.calls, until_login + search + read_ec_key + sign_calls + logout_close);
            EXPECT_EQ(find_call(r.trace, "C_Sign", 2)->arg("data"), c.digest) << "bare digest";
        }
    }
}

TEST(Protocol2Engine, VerifyModeLogsInAndOutWithoutTouchingKeys) {
    const SignRun r = sign(json::object(), {"VERIFY_ONLY", "", "", "0"});
    EXPECT_EQ(r.result.exit_code, 0);
    EXPECT_EQ(r.result.out, marker);
    EXPECT_EQ(last_line(r.result.err), "sign-cli: VERIFY OK");
    EXPECT_EQ(r.calls, until_login + logout_close);
}

// One row per outcome and per failing call: the outcome line, the exit code, and the calls that
// were made — which also shows what cleanup followed.
struct FailureCase {
    const char* what;
    json scenario;
    std::vector<std::string> positional;
    std::string pin;
    std::string expect;
    std::string line;
    int exit_code;
    Calls calls;
};

const Calls before_session = {"C_GetFunctionList", "C_Initialize", "C_GetTokenInfo"};
const Calls listing = {"C_GetSlotList", "C_GetSlotList", "C_GetTokenInfo"};
const Calls session_open = {"C_GetFunctionList", "C_Initialize", "C_GetTokenInfo", "C_OpenSession",
                            "C_GetTokenInfo"};

std::vector<FailureCase> failure_cases() {
    const std::vector<std::string> rsa = {sha256, "01", "rsa", "0"};
    const std::vector<std::string> any_key = {sha256, "", "", "0"};
    const std::string ok = "1234\n";
    const std::string e = expect_default;
    const auto fail = [](const char* fn, const char* rv, int call = 0) {
        json f = {{"fn", fn}, {"rv", rv}};
        if (call > 0) {
            f["call"] = call;
        }
        return json{{"fail", {f}}};
    };
    const auto key = [](json k) { return json{{"keys", {k}}}; };
    const json other_token = {{"slots", {{{"token", {{"serial", "S999"}, {"label", "Kart"}}}}}}};
    return {
        {"token in the slot is another one", other_token, rsa, ok, e,
         "sign-cli: TOKEN_CHANGED (PIN not sent)", 10, before_session + listing},
        {"token swapped between the two checks",
         {{"slots",
           {{{"tokens",
              {{{"serial", "S123"}, {"label", "Kart"}},
               {{"serial", "S999"}, {"label", "Kart"}}}}}}}},
         rsa,
         ok,
         e,
         "sign-cli: TOKEN_CHANGED (PIN not sent)",
         10,
         session_open + Calls{"C_CloseSession"}},
        {"token removed before the session", fail("C_OpenSession", "0xE0"), rsa, ok, e,
         "sign-cli: TOKEN_CHANGED (PIN not sent)", 10, before_session + Calls{"C_OpenSession"}},
        {"token gone at the recheck", fail("C_GetTokenInfo", "0x32", 2), rsa, ok, e,
         "sign-cli: TOKEN_CHANGED (PIN not sent)", 10, session_open + Calls{"C_CloseSession"}},
        {"no expected serial: the listing cannot choose", json::object(), rsa, ok, ":4b617274",
         "sign-cli: TOKEN_CHANGED (PIN not sent)", 10, before_session + listing},
        {"entry point fails",
         fail("C_GetFunctionList", "0x5"),
         rsa,
         ok,
         e,
         "sign-cli: C_GetFunctionList rv=0x00000005",
         4,
         {"C_GetFunctionList"}},
        {"entry point gives no list",
         {{"function_list_null", true}},
         rsa,
         ok,
         e,
         "sign-cli: C_GetFunctionList rv=0x00000000",
         4,
         {"C_GetFunctionList"}},
        {"no C_Initialize",
         {{"null_functions", {"C_Initialize"}}},
         rsa,
         ok,
         e,
         "sign-cli: C_Initialize (null fn) rv=0x00000000",
         4,
         {"C_GetFunctionList"}},
        {"C_Initialize fails",
         fail("C_Initialize", "0x6"),
         rsa,
         ok,
         e,
         "sign-cli: C_Initialize rv=0x00000006",
         4,
         {"C_GetFunctionList", "C_Initialize"}},
        {"no C_GetTokenInfo",
         {{"null_functions", {"C_GetTokenInfo"}}},
         rsa,
         ok,
         e,
         "sign-cli: C_GetTokenInfo rv=0xffffffff",
         4,
         {"C_GetFunctionList", "C_Initialize"}},
        {"C_GetTokenInfo fails", fail("C_GetTokenInfo", "0x30"), rsa, ok, e,
         "sign-cli: C_GetTokenInfo rv=0x00000030", 4, before_session},
        {"recheck fails", fail("C_GetTokenInfo", "0x30", 2), rsa, ok, e,
         "sign-cli: C_GetTokenInfo rv=0x00000030", 4, session_open + Calls{"C_CloseSession"}},
        {"C_OpenSession fails", fail("C_OpenSession", "0x30"), rsa, ok, e,
         "sign-cli: C_OpenSession rv=0x00000030", 4, before_session + Calls{"C_OpenSession"}},
        {"no C_OpenSession",
         {{"null_functions", {"C_OpenSession"}}},
         rsa,
         ok,
         e,
         "sign-cli: C_OpenSession (null fn) rv=0x00000054",
         4,
         before_session},
        {"wrong PIN", json::object(), rsa, "0000\n", e, "sign-cli: PIN_INCORRECT", 3,
         until_login + Calls{"C_CloseSession"}},
        {"PIN locked",
         {{"pin_tries_left", 0}},
         rsa,
         ok,
         e,
         "sign-cli: PIN_LOCKED \xE2\x80\x94 PUK needed to unlock",
         3,
         until_login + Calls{"C_CloseSession"}},
        {"C_Login fails", fail("C_Login", "0x30"), rsa, ok, e, "sign-cli: C_Login rv=0x00000030", 4,
         until_login + Calls{"C_CloseSession"}},
        {"no object search",
         {{"null_functions", {"C_FindObjectsFinal"}}},
         rsa,
         ok,
         e,
         "sign-cli: C_FindObjects (null fn) rv=0x00000054",
         4,
         until_login + logout_close},
        {"C_FindObjectsInit fails", fail("C_FindObjectsInit", "0x5"), rsa, ok, e,
         "sign-cli: C_FindObjectsInit rv=0x00000005", 4,
         until_login + Calls{"C_FindObjectsInit"} + logout_close},
        {"C_FindObjects fails", fail("C_FindObjects", "0x5"), rsa, ok, e,
         "sign-cli: C_FindObjects rv=0x00000005", 4, until_login + search + logout_close},
        {"CKA_ID of no key",
         json::object(),
         {sha256, "ff", "rsa", "0"},
         ok,
         e,
         "sign-cli: KEY_RESOLUTION_FAILED \xE2\x80\x94 sertifikan\xC4\xB1n CKA_ID'sine ait imza "
         "anahtar\xC4\xB1 bulunamad\xC4\xB1",
         6,
         until_login + search + logout_close},
        {"no key at all",
         {{"keys", json::array()}},
         any_key,
         ok,
         e,
         "sign-cli: KEY_RESOLUTION_FAILED \xE2\x80\x94 token \xC3\xBCzerinde imza anahtar\xC4\xB1 "
         "bulunamad\xC4\xB1",
         6,
         until_login + search + logout_close},
        {"two keys, no CKA_ID",
         {{"keys", {{{"id", "01"}}, {{"id", "02"}}}}},
         any_key,
         ok,
         e,
         "sign-cli: KEY_RESOLUTION_FAILED \xE2\x80\x94 birden \xC3\xA7ok imza anahtar\xC4\xB1 var, "
         "sertifikaya ait anahtar belirlenemedi (CKA_ID gerekli)",
         6,
         until_login + search + logout_close},
        {"two keys with one CKA_ID",
         {{"keys", {{{"id", "01"}}, {{"id", "01"}}}}},
         rsa,
         ok,
         e,
         "sign-cli: KEY_RESOLUTION_FAILED \xE2\x80\x94 CKA_ID birden \xC3\xA7ok anahtarla "
         "e\xC5\x9Fle\xC5\x9Fti, do\xC4\x9Fru anahtar belirlenemedi",
         6,
         until_login + search + logout_close},
        {"module claims more handles than asked",
         {{"find_objects_count", 5}},
         rsa,
         ok,
         e,
         "sign-cli: KEY_RESOLUTION_FAILED \xE2\x80\x94 CKA_ID birden \xC3\xA7ok anahtarla "
         "e\xC5\x9Fle\xC5\x9Fti, do\xC4\x9Fru anahtar belirlenemedi",
         6,
         until_login + search + logout_close},
        {"RSA key asked as EC",
         json::object(),
         {sha256, "01", "ec-p256", "0"},
         ok,
         e,
         "sign-cli: KEY_RESOLUTION_FAILED \xE2\x80\x94 anahtar t\xC3\xBCr\xC3\xBC sertifikayla "
         "\xC3\xA7"
         "eli\xC5\x9Fiyor (token: rsa, sertifika: ec-p256)",
         6,
         until_login + search + read_key_type + logout_close},
        {"DSA key", key({{"id", "01"}, {"attributes", {{"CKA_KEY_TYPE", {{"ulong", 1}}}}}}), rsa,
         ok, e,
         "sign-cli: UNSUPPORTED_KEY_TYPE: anahtar t\xC3\xBCr\xC3\xBC desteklenmiyor (CKK 0x1)", 7,
         until_login + search + read_key_type + logout_close},
        {"unknown curve",
         key({{"id", "01"},
              {"kind", "ec-p256"},
              {"attributes", {{"CKA_EC_PARAMS", "06052b8104000a"}}}}),
         {sha256, "01", "", "0"},
         ok,
         e,
         "sign-cli: UNSUPPORTED_KEY_TYPE: EC anahtar\xC4\xB1n e\xC4\x9Frisi desteklenmiyor",
         7,
         until_login + search + read_ec_key + logout_close},
        {"mechanism refused", fail("C_SignInit", "0x70"), rsa, ok, e,
         "sign-cli: UNSUPPORTED_KEY_TYPE: token bu anahtar\xC4\xB1n imza "
         "mekanizmas\xC4\xB1n\xC4\xB1 "
         "desteklemiyor",
         7, until_login + search + read_key_type + Calls{"C_SignInit"} + logout_close},
        {"digest does not fit the requested kind",
         json::object(),
         {sha384, "01", "rsa", "0"},
         ok,
         e,
         "sign-cli: DIGEST_KEY_MISMATCH: rsa anahtar\xC4\xB1 32 baytl\xC4\xB1k \xC3\xB6zet "
         "bekler, 48 bayt geldi",
         8,
         {}},
        {"digest does not fit the token's key",
         key({{"id", "01"}, {"kind", "ec-p384"}}),
         {sha256, "01", "", "0"},
         ok,
         e,
         "sign-cli: DIGEST_KEY_MISMATCH: ec-p384 anahtar\xC4\xB1 48 baytl\xC4\xB1k \xC3\xB6zet "
         "bekler, 32 bayt geldi",
         8,
         until_login + search + read_ec_key + logout_close},
        {"C_SignInit fails", fail("C_SignInit", "0x5"), rsa, ok, e,
         "sign-cli: C_SignInit rv=0x00000005", 4,
         until_login + search + read_key_type + Calls{"C_SignInit"} + logout_close},
        {"length probe fails", fail("C_Sign", "0x5", 1), rsa, ok, e,
         "sign-cli: C_Sign (length probe) rv=0x00000005", 4,
         until_login + search + read_key_type + Calls{"C_SignInit", "C_Sign"} + logout_close},
        {"signing fails", fail("C_Sign", "0x6", 2), rsa, ok, e, "sign-cli: C_Sign rv=0x00000006", 4,
         until_login + search + read_key_type + sign_calls + logout_close},
        {"signing refuses the mechanism", fail("C_Sign", "0x70", 2), rsa, ok, e,
         "sign-cli: UNSUPPORTED_KEY_TYPE: token bu anahtar\xC4\xB1n imza "
         "mekanizmas\xC4\xB1n\xC4\xB1 "
         "desteklemiyor",
         7, until_login + search + read_key_type + sign_calls + logout_close},
        {"EC signature already DER",
         {{"keys", {{{"id", "01"}, {"kind", "ec-p256"}}}},
          {"sign", {{"hex", "3044" + std::string(136, '1')}, {"probe_length", 70}}}},
         {sha256, "01", "ec-p256", "0"},
         ok,
         e,
         "sign-cli: C_Sign (unexpected ECDSA signature length) rv=0x00000000",
         4,
         until_login + search + read_ec_key + sign_calls + logout_close},
        {"EC signature with r = 0",
         {{"keys", {{{"id", "01"}, {"kind", "ec-p256"}}}},
          {"sign", {{"hex", std::string(64, '0') + std::string(64, '1')}}}},
         {sha256, "01", "ec-p256", "0"},
         ok,
         e,
         "sign-cli: C_Sign (malformed ECDSA signature) rv=0x00000000",
         4,
         until_login + search + read_ec_key + sign_calls + logout_close},
        {"length probe beyond any real signature",
         {{"sign", {{"probe_length", "0xFFFFFFFF"}}}},
         rsa,
         ok,
         e,
         "sign-cli: C_Sign (length probe) rv=0x00000000",
         4,
         until_login + search + read_key_type + Calls{"C_SignInit", "C_Sign"} + logout_close},
    };
}

TEST(Protocol2Engine, EveryFailureReportsItsOutcomeAndCleansUp) {
    for (const FailureCase& c : failure_cases()) {
        const SignRun r = sign(c.scenario, c.positional, c.pin, c.expect);
        EXPECT_EQ(r.result.exit_code, c.exit_code) << c.what << "\n" << r.result.err;
        EXPECT_EQ(r.result.out, marker) << c.what;
        EXPECT_EQ(last_line(r.result.err), c.line) << c.what;
        EXPECT_EQ(r.calls, c.calls) << c.what;
        EXPECT_EQ(r.result.err.find("1234"), std::string::npos) << c.what << ": PIN leaked";
    }
}

TEST(Protocol2Engine, TokenFoundInAnotherSlotIsUsedSilently) {
    const json scenario = {{"slots",
                            {{{"id", 0}, {"token", {{"serial", "S999"}, {"label", "Kart"}}}},
                             {{"id", 3}},
                             {{"id", 4}, {"token", {{"serial", "S123"}, {"label", "Kart"}}}}}}};
    const SignRun r = sign(scenario, {sha256, "01", "rsa", "0"});
    ASSERT_EQ(r.result.exit_code, 0) << r.result.err;
    EXPECT_EQ(find_call(r.trace, "C_OpenSession")->arg("slot"), "4");
    EXPECT_EQ(r.result.err.find("slot"), std::string::npos) << "no message about the move";

    const json twice = {{"slots",
                         {{{"id", 0}},
                          {{"id", 1}, {"token", {{"serial", "S123"}, {"label", "Kart"}}}},
                          {{"id", 2}, {"token", {{"serial", "S123"}, {"label", "Kart"}}}}}}};
    const SignRun ambiguous = sign(twice, {sha256, "01", "rsa", "0"});
    EXPECT_EQ(ambiguous.result.exit_code, 10);
    EXPECT_EQ(std::count(ambiguous.calls.begin(), ambiguous.calls.end(), "C_Login"), 0);
}

TEST(Protocol2Engine, OnlyTheFirst64ListedSlotsAreSearched) {
    auto scenario_with_token_at = [](int index) {
        json slots = json::array();
        // Only slots with a token are listed: fill the listing with other tokens.
        const json other = {{"serial", "X"}};
        slots.push_back({{"id", 0}, {"token", other}});
        slots.push_back({{"id", 1}, {"repeat", index - 1}, {"token", other}});
        slots.push_back({{"id", index}, {"token", {{"serial", "S123"}, {"label", "Kart"}}}});
        slots.push_back({{"id", index + 1}, {"repeat", 10}});
        return json{{"slots", slots}};
    };
    EXPECT_EQ(sign(scenario_with_token_at(63), {"VERIFY_ONLY", "", "", "0"}).result.exit_code, 0);
    EXPECT_EQ(sign(scenario_with_token_at(64), {"VERIFY_ONLY", "", "", "0"}).result.exit_code, 10);
}

TEST(Protocol2Engine, PaddedAndUnusualTokenTextsStillMatch) {
    const json padded = {
        {"slots", {{{"token", {{"label", "Kart"}, {"serial", "S123"}, {"pad", 0}}}}}}};
    EXPECT_EQ(sign(padded, {"VERIFY_ONLY", "", "", "0"}).result.exit_code, 0);
    // A label with no serial number, full width, with a Turkish letter and an invalid byte.
    const json label_only = {
        {"slots",
         {{{"token", {{"label_hex", "c4b0" + std::string(56, '4') + "ff41"}, {"serial", ""}}}}}}};
    const std::string label = "\xC4\xB0" + std::string(28, 'D') +
                              "\xEF\xBF\xBD"
                              "A";
    std::string label_hex;
    for (const unsigned char ch : label) {
        label_hex += "0123456789abcdef"[ch >> 4];
        label_hex += "0123456789abcdef"[ch & 15];
    }
    EXPECT_EQ(
        sign(label_only, {"VERIFY_ONLY", "", "", "0"}, "1234", ":" + label_hex).result.exit_code,
        0);
}

TEST(Protocol2Engine, AcceptsAnAlreadyInitialisedModuleAndShortSecondAnswer) {
    const SignRun initialised = sign({{"already_initialized", true}}, {"VERIFY_ONLY", "", "", "0"});
    EXPECT_EQ(initialised.result.exit_code, 0);
    EXPECT_EQ(initialised.trace[1].rv, 0x191u);

    const SignRun shorter = sign({{"sign", {{"length", 200}}}}, {sha256, "01", "rsa", "0"});
    ASSERT_EQ(shorter.result.exit_code, 0) << shorter.result.err;
    const auto expected = mock_signature(256);
    EXPECT_EQ(shorter.result.out, marker + base64_line(std::vector<std::uint8_t>(
                                               expected.begin(), expected.begin() + 200)));
    EXPECT_EQ(last_line(shorter.result.err), "sign-cli: OK (200 bytes signature)");

    const SignRun longer = sign({{"sign", {{"length", 300}}}}, {sha256, "01", "rsa", "0"});
    EXPECT_EQ(longer.result.out, marker + base64_line(expected)) << "never past the buffer";
}

TEST(Protocol2Engine, ModulesThatCannotBeLoaded) {
    // Both files pass the policy (pinned), so what fails is the load itself.
    const std::string text_file = executable_dir() + "/not-a-library.dll";
    std::ofstream(text_file, std::ios::binary) << "plain text, not a loadable library\n";
    const TrustedModule not_a_library(text_file);
    const TrustedModule no_export(mock_module_path("no-export-pkcs11"));
    struct Case {
        const TrustedModule& module;
        std::string line;
    };
#if defined(_WIN32)
    const Case cases[] = {
        {not_a_library, "sign-cli: dlopen failed: LoadLibraryExW failed"},
        {no_export, "sign-cli: dlopen failed: C_GetFunctionList: GetProcAddress failed"},
    };
#else
    const Case cases[] = {
        {not_a_library, "sign-cli: dlopen failed: " + not_a_library.module_path() + ": "},
        {no_export, "sign-cli: dlopen failed: C_GetFunctionList: dlsym failed: "},
    };
#endif
    for (const auto& c : cases) {
        ASSERT_TRUE(c.module.ok()) << c.module.error();
        ChildRun run;
        run.args = {"--proto=2", c.module.module_path(), sha256, "01", "rsa", "0"};
        run.env["KORVAN_EXPECT_TOKEN"] = expect_default;
        run.input = "1234";
        c.module.add_to(run);
        const ChildResult r = run_child(program_path("sign-cli"), run);
        EXPECT_EQ(r.exit_code, 5) << c.module.module_path() << "\n" << r.err;
        EXPECT_EQ(r.out, marker);
        EXPECT_EQ(last_line(r.err).substr(0, c.line.size()), c.line);
    }
}

} // namespace
} // namespace korvan::test
