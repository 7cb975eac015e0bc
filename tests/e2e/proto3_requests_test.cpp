// Protocol 3 after SessionReady: signatures in strict sequence, token-flag queries, the checks
// made before each signature, every signing failure, and the orderly close.
#include "proto3_conversation.hpp"

#include "korvan/sign_proto/frames.hpp"

#include <gtest/gtest.h>

namespace korvan::test {
namespace {

using namespace sign_proto;
using nlohmann::json;
using Bytes = std::vector<std::uint8_t>;

const Calls ready = {"C_GetFunctionList", "C_Initialize",      "C_GetTokenInfo",
                     "C_OpenSession",     "C_GetTokenInfo",    "C_GetTokenInfo",
                     "C_Login",           "C_FindObjectsInit", "C_FindObjects",
                     "C_FindObjectsFinal"};
const Calls signed_once = {"C_GetTokenInfo", "C_SignInit", "C_Sign"};
const Calls signed_after_context_login = {"C_GetTokenInfo", "C_SignInit", "C_Login", "C_Sign"};
const Calls query = {"C_GetTokenInfo"};
const Calls release = {"C_Logout", "C_CloseSession"};
const Calls orderly_close = release + Calls{"C_Finalize"};

constexpr std::uint64_t flags = 0x40d;
const std::string filtering = "sign-cli: filtering private key by CKA_ID (1 bytes)\n";
const Proto3Response rsa_ready = SessionReady{KeyKindCode::rsa, false};

std::string hex(const Bytes& bytes) {
    std::string text;
    for (const std::uint8_t b : bytes) {
        text += "0123456789abcdef"[b >> 4];
        text += "0123456789abcdef"[b & 15];
    }
    return text;
}

using test::operator+; // the Calls one, next to the Bytes one below
Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// DER by hand, so the expectation does not come from the code under test.
Bytes der_length(std::size_t n) {
    return n < 0x80 ? Bytes{static_cast<std::uint8_t>(n)}
                    : Bytes{0x81, static_cast<std::uint8_t>(n)};
}
Bytes der_integer(Bytes value) {
    while (value.size() > 1 && value[0] == 0 && value[1] < 0x80) {
        value.erase(value.begin());
    }
    if (value[0] >= 0x80) {
        value.insert(value.begin(), 0);
    }
    return Bytes{0x02} + der_length(value.size()) + value;
}
Bytes ecdsa_der(const Bytes& raw) {
    const auto half = static_cast<std::ptrdiff_t>(raw.size() / 2);
    const Bytes body = der_integer(Bytes(raw.begin(), raw.begin() + half)) +
                       der_integer(Bytes(raw.begin() + half, raw.end()));
    return Bytes{0x30} + der_length(body.size()) + body;
}

Proto3Response signature(std::uint32_t id, Bytes bytes) {
    return Signature{id, std::move(bytes)};
}

std::vector<const TraceEntry*> entries(const Proto3Run& r, const std::string& function) {
    std::vector<const TraceEntry*> found;
    for (const TraceEntry& e : r.trace) {
        if (e.function == function) {
            found.push_back(&e);
        }
    }
    return found;
}

TEST(Proto3Requests, RsaSignaturesInSequenceWithTokenFlagsBetween) {
    ASSERT_TRUE(trusted_mock_module().ok()) << trusted_mock_module().error();
    const Proto3Run r = run_proto3(json::object(), {login("1234"), sign(1), query_token_flags(),
                                                    sign(2), sign(3), close_request()});
    EXPECT_EQ(r.result.exit_code, 0) << r.result.err;
    const Bytes sig = mock_signature(256);
    EXPECT_EQ(r.conversation.frames(),
              describe({Hello{}, rsa_ready, signature(1, sig), TokenFlags{flags}, signature(2, sig),
                        signature(3, sig), Goodbye{}}));
    EXPECT_EQ(r.result.err, filtering);
    // Goodbye is the last frame (above) and C_Finalize the last call.
    EXPECT_EQ(r.calls, ready + signed_once + query + signed_once + signed_once + orderly_close);
    const auto signs = entries(r, "C_Sign");
    ASSERT_EQ(signs.size(), 3u);
    for (const TraceEntry* e : signs) {
        EXPECT_EQ(e->arg("data"), "3031300d060960864801650304020105000420" + hex(test_digest(32)));
        EXPECT_EQ(e->arg("buf"), "1024") << "one call into the whole buffer, no length query";
    }
    for (const TraceEntry* e : entries(r, "C_SignInit")) {
        EXPECT_EQ(e->arg("mechanism"), "0x1");
        EXPECT_EQ(e->arg("key"), "1000");
    }
    EXPECT_EQ(entries(r, "C_Login").size(), 1u) << "one login for the whole conversation";
    EXPECT_EQ(entries(r, "C_Initialize").front()->arg("args"), "null");
    const TraceEntry* opened = entries(r, "C_OpenSession").front();
    EXPECT_EQ(opened->arg("flags"), "0x4") << "serial, read-only";
    EXPECT_EQ(opened->arg("application"), "null");
    EXPECT_EQ(opened->arg("notify"), "null");
    EXPECT_EQ(entries(r, "C_Finalize").front()->arg("reserved"), "null");
}

TEST(Proto3Requests, EcSignaturesAreDerOfTheTokensRawBytes) {
    struct Case {
        const char* kind;
        KeyKindCode code;
        std::size_t digest;
        std::size_t raw;
    };
    const Case cases[] = {
        {"ec-p256", KeyKindCode::ec_p256, 32, 64},
        {"ec-p384", KeyKindCode::ec_p384, 48, 96},
        {"ec-p521", KeyKindCode::ec_p521, 64, 132},
    };
    for (const Case& c : cases) {
        for (const char* requested : {c.kind, ""}) {
            Proto3Invocation invocation;
            invocation.positional = {"a1b2", requested, "0"};
            const Proto3Run r =
                run_proto3({{"keys", {{{"id", "a1b2"}, {"kind", c.kind}}}}},
                           {login("1234"), sign(1, c.digest), close_request()}, invocation);
            const std::string label = std::string(c.kind) + " requested as '" + requested + "'";
            EXPECT_EQ(r.result.exit_code, 0) << label << "\n" << r.result.err;
            EXPECT_EQ(r.conversation.frames(),
                      describe({Hello{}, SessionReady{c.code, false},
                                signature(1, ecdsa_der(mock_signature(c.raw))), Goodbye{}}))
                << label;
            EXPECT_EQ(r.calls, ready + signed_once + orderly_close) << label;
            const auto signs = entries(r, "C_Sign");
            ASSERT_EQ(signs.size(), 1u) << label;
            EXPECT_EQ(signs[0]->arg("data"), hex(test_digest(c.digest))) << "bare digest";
            EXPECT_EQ(entries(r, "C_SignInit")[0]->arg("mechanism"), "0x1041") << label;
        }
    }
}

// Both ends of what a Signature frame can carry pass unchanged.
TEST(Proto3Requests, SignaturesOfOneAnd1024BytesAreSentWhole) {
    for (const int size : {1, 1024}) {
        const Proto3Run r = run_proto3({{"keys", {{{"id", "01"}, {"signature_size", size}}}}},
                                       {login("1234"), sign(1), close_request()});
        EXPECT_EQ(r.result.exit_code, 0) << size << "\n" << r.result.err;
        EXPECT_EQ(
            r.conversation.frames(),
            describe({Hello{}, rsa_ready,
                      signature(1, mock_signature(static_cast<std::size_t>(size))), Goodbye{}}))
            << size;
    }
}

TEST(Proto3Requests, AlwaysAuthenticateKeyLogsInForEachSignature) {
    Proto3Invocation invocation;
    invocation.positional = {"01", "ec-p256", "0"};
    const Proto3Run r =
        run_proto3({{"keys", {{{"id", "01"}, {"kind", "ec-p256"}, {"always_authenticate", true}}}}},
                   {login("1234"), sign(1), sign(2), close_request()}, invocation);
    EXPECT_EQ(r.result.exit_code, 0) << r.result.err;
    const Bytes der = ecdsa_der(mock_signature(64));
    EXPECT_EQ(r.conversation.frames(), describe({Hello{}, SessionReady{KeyKindCode::ec_p256, true},
                                                 signature(1, der), signature(2, der), Goodbye{}}));
    EXPECT_EQ(r.calls,
              ready + signed_after_context_login + signed_after_context_login + orderly_close);
    const auto logins = entries(r, "C_Login");
    ASSERT_EQ(logins.size(), 3u);
    EXPECT_EQ(logins[0]->arg("user"), "1");
    for (const TraceEntry* e : {logins[1], logins[2]}) {
        EXPECT_EQ(e->arg("user"), "2") << "context specific";
        EXPECT_EQ(e->arg("pin_len"), "4") << "the PIN of the Login frame, kept";
        EXPECT_EQ(e->rv, 0u);
    }
    EXPECT_EQ(r.result.err.find("1234"), std::string::npos);
}

TEST(Proto3Requests, TokenInAnotherSlotServesEveryLaterCheckAndQuery) {
    const json scenario = {
        {"slots",
         {{{"id", 0}, {"token", {{"serial", "S999"}, {"label", "Kart"}}}},
          {{"id", 4}, {"token", {{"serial", "S123"}, {"label", "Kart"}, {"flags", "0x60d"}}}}}}};
    const Proto3Run r = run_proto3(scenario, {login("1234"), query_token_flags(), sign(1),
                                              query_token_flags(), close_request()});
    EXPECT_EQ(r.result.exit_code, 0) << r.result.err;
    EXPECT_EQ(r.conversation.frames(),
              describe({Hello{}, rsa_ready, TokenFlags{0x60d}, signature(1, mock_signature(256)),
                        TokenFlags{0x60d}, Goodbye{}}));
    bool opened = false;
    for (const TraceEntry& e : r.trace) {
        if (e.function == "C_OpenSession") {
            EXPECT_EQ(e.arg("slot"), "4");
            opened = true;
        }
        if (opened && e.function == "C_GetTokenInfo") {
            EXPECT_EQ(e.arg("slot"), "4") << e.line;
        }
    }
    EXPECT_TRUE(opened);
}

// A failed query is answered with code 17 and the conversation goes on: no error line, no
// release, and the next request id is still 1.
TEST(Proto3Requests, FailedTokenFlagsQueryDoesNotEndTheConversation) {
    for (const char* rv : {"0x30", "0xE0"}) {
        const json scenario = {{"fail", {{{"fn", "C_GetTokenInfo"}, {"call", 4}, {"rv", rv}}}}};
        const Proto3Run r = run_proto3(scenario, {login("1234"), query_token_flags(), sign(1),
                                                  query_token_flags(), close_request()});
        EXPECT_EQ(r.result.exit_code, 0) << rv << "\n" << r.result.err;
        EXPECT_EQ(r.conversation.frames(),
                  describe({Hello{}, rsa_ready, error_frame(17, std::stoull(rv, nullptr, 16)),
                            signature(1, mock_signature(256)), TokenFlags{flags}, Goodbye{}}))
            << rv;
        EXPECT_EQ(r.result.err, filtering) << rv;
        EXPECT_EQ(r.calls, ready + query + signed_once + query + orderly_close) << rv;
    }
}

TEST(Proto3Requests, EndOfInputAfterSessionReadyClosesInOrder) {
    const Proto3Run r = run_proto3(json::object(), {login("1234"), sign(1)});
    EXPECT_EQ(r.result.exit_code, 0) << r.result.err;
    EXPECT_EQ(r.conversation.frames(),
              describe({Hello{}, rsa_ready, signature(1, mock_signature(256)), Goodbye{}}));
    EXPECT_EQ(r.calls, ready + signed_once + orderly_close);
    EXPECT_EQ(r.result.err, filtering);
}

// Anything out of order ends the conversation with code 1; the session is logged out and
// closed, the library is not finalised.
TEST(Proto3Requests, OutOfSequenceOrUnexpectedFramesAreProtocolViolations) {
    using namespace std::string_literals;
    struct Case {
        const char* what;
        std::vector<InputPiece> requests; // after the Login
        std::vector<Proto3Response> answered;
        Calls calls;
    };
    const Proto3Response sig1 = signature(1, mock_signature(256));
    const std::vector<Case> cases = {
        {"id 1 twice", {sign(1), sign(1)}, {sig1}, signed_once},
        {"id 3 after 1", {sign(1), sign(3)}, {sig1}, signed_once},
        {"first id 2", {sign(2)}, {}, {}},
        {"first id 0", {sign(0)}, {}, {}},
        {"first id 0xFFFFFFFF", {sign(0xFFFFFFFF)}, {}, {}},
        {"id 1 again after a query",
         {sign(1), query_token_flags(), sign(1)},
         {sig1, TokenFlags{flags}},
         signed_once + query},
        {"second Login", {login("1234"), sign(1)}, {}, {}},
        {"Sign with a 33-byte digest",
         {RawBytes{"\0\0\0\x26\x02\0\0\0\x01"s + std::string(33, 'x')}},
         {},
         {}},
        {"Sign cut short", {RawBytes{"\0\0\0\x25\x02\0\0\0\x01"s + std::string(20, 'x')}}, {}, {}},
        {"reserved type 0x7F", {RawBytes{"\0\0\0\x01\x7f"s}, sign(1)}, {}, {}},
        {"QueryTokenFlags with a payload byte", {RawBytes{"\0\0\0\x02\x03\x00"s}}, {}, {}},
        {"length 0 after a signature", {sign(1), RawBytes{"\0\0\0"s}}, {sig1}, signed_once},
    };
    for (const Case& c : cases) {
        std::vector<InputPiece> input = {login("1234")};
        input.insert(input.end(), c.requests.begin(), c.requests.end());
        input.push_back(close_request());
        const Proto3Run r = run_proto3(json::object(), input);
        std::vector<Proto3Response> expected = {Hello{}, rsa_ready};
        expected.insert(expected.end(), c.answered.begin(), c.answered.end());
        expected.push_back(error_frame(1));
        EXPECT_EQ(r.result.exit_code, 1) << c.what;
        EXPECT_EQ(r.conversation.frames(), describe(expected)) << c.what;
        EXPECT_EQ(r.result.err, filtering + error_line(1, 0)) << c.what;
        EXPECT_EQ(r.calls, ready + c.calls + release) << c.what;
    }
}

// One row per way a signature can fail, after SessionReady: the Error frame, and the calls of
// that request up to the failure (the session is then logged out and closed, never finalised).
struct SignFailure {
    const char* what;
    json scenario;
    Proto3Response error;
    Calls calls;
    std::size_t digest = 32;
    std::vector<std::string> positional = {"01", "rsa", "0"};
    Proto3Response ready = SessionReady{KeyKindCode::rsa, false};
};

std::vector<SignFailure> sign_failures() {
    const auto fail = [](const char* fn, const char* rv, int call = 0) {
        json f = {{"fn", fn}, {"rv", rv}};
        if (call > 0) {
            f["call"] = call;
        }
        return f;
    };
    const auto failing = [&](const char* fn, const char* rv, int call = 0) {
        return json{{"fail", {fail(fn, rv, call)}}};
    };
    const json aa_key = {{{"id", "01"}, {"always_authenticate", true}}};
    const Proto3Response aa_ready = SessionReady{KeyKindCode::rsa, true};
    const auto context_login_failing = [&](const char* rv) {
        return json{{"keys", aa_key}, {"fail", {fail("C_Login", rv, 2)}}};
    };
    const json kart = {{"serial", "S123"}, {"label", "Kart"}};
    json kart_locked = kart;
    kart_locked["flags"] = "0x4040d";
    const auto ec = [](const char* kind) {
        return json{{"keys", {{{"id", "01"}, {"kind", kind}}}}};
    };
    const auto p256_answer = [](const std::string& hex_bytes) {
        return json{{"keys", {{{"id", "01"}, {"kind", "ec-p256"}}}},
                    {"sign", {{"hex", hex_bytes}}}};
    };
    const Calls init = {"C_GetTokenInfo", "C_SignInit"};
    const Calls context = init + Calls{"C_Login"};
    // A failing context-specific login: the token flags are read once more for the answer.
    const auto context_login_row = [&](const char* what, json scenario, Proto3Response error) {
        return SignFailure{.what = what,
                           .scenario = std::move(scenario),
                           .error = std::move(error),
                           .calls = context + Calls{"C_GetTokenInfo"},
                           .ready = aa_ready};
    };
    const Proto3Response p256_ready = SessionReady{KeyKindCode::ec_p256, false};
    const std::vector<std::string> p256 = {"01", "ec-p256", "0"};
    return {
        {"rsa key, 48-byte digest", json::object(), error_frame(13), {"C_GetTokenInfo"}, 48},
        {"rsa key, 64-byte digest", json::object(), error_frame(13), {"C_GetTokenInfo"}, 64},
        {"P-384 key, 32-byte digest",
         ec("ec-p384"),
         error_frame(13),
         {"C_GetTokenInfo"},
         32,
         {"01", "", "0"},
         SessionReady{KeyKindCode::ec_p384, false}},
        {"P-256 key, 64-byte digest",
         ec("ec-p256"),
         error_frame(13),
         {"C_GetTokenInfo"},
         64,
         p256,
         p256_ready},
        {"C_SignInit: mechanism invalid", failing("C_SignInit", "0x70"), error_frame(12, 0x70),
         init},
        {"C_SignInit: PIN expired", failing("C_SignInit", "0xA3"), error_frame(8, 0xA3), init},
        {"C_SignInit: PIN locked", failing("C_SignInit", "0xA4"), error_frame(7, 0xA4), init},
        {"C_SignInit: session closed", failing("C_SignInit", "0xB0"), error_frame(16, 0xB0), init},
        {"C_SignInit: not logged in", failing("C_SignInit", "0x101"), error_frame(14, 0x101), init},
        {"C_SignInit: not logged in, always-authenticate key",
         {{"keys", aa_key}, {"fail", {fail("C_SignInit", "0x101")}}},
         error_frame(4, 0x101),
         init,
         32,
         {"01", "rsa", "0"},
         aa_ready},
        {"C_SignInit fails", failing("C_SignInit", "0x5"), error_frame(4, 0x5), init},
        {"no C_SignInit",
         {{"null_functions", {"C_SignInit"}}},
         error_frame(4, 0x54),
         {"C_GetTokenInfo"}},
        {"C_Sign: not logged in", failing("C_Sign", "0x101"), error_frame(14, 0x101),
         init + Calls{"C_Sign"}},
        {"C_Sign: not logged in, always-authenticate key",
         {{"keys", aa_key}, {"fail", {fail("C_Sign", "0x101")}}},
         error_frame(4, 0x101),
         context + Calls{"C_Sign"},
         32,
         {"01", "rsa", "0"},
         aa_ready},
        {"C_Sign: token not present", failing("C_Sign", "0xE0"), error_frame(16, 0xE0),
         init + Calls{"C_Sign"}},
        {"C_Sign: mechanism invalid", failing("C_Sign", "0x70"), error_frame(12, 0x70),
         init + Calls{"C_Sign"}},
        {"C_Sign: PIN expired", failing("C_Sign", "0xA3"), error_frame(8, 0xA3),
         init + Calls{"C_Sign"}},
        {"C_Sign fails", failing("C_Sign", "0x6"), error_frame(4, 0x6), init + Calls{"C_Sign"}},
        {"no C_Sign", {{"null_functions", {"C_Sign"}}}, error_frame(4, 0x54), init},
        {"signature of 0 bytes",
         {{"sign", {{"length", 0}}}},
         error_frame(4),
         init + Calls{"C_Sign"}},
        {"signature longer than the buffer",
         {{"sign", {{"length", 1025}}}},
         error_frame(4),
         init + Calls{"C_Sign"}},
        {"P-256 answers 63 raw bytes", p256_answer(std::string(126, '1')), error_frame(4),
         init + Calls{"C_Sign"}, 32, p256, p256_ready},
        {"P-256 answers DER already", p256_answer("3044" + std::string(136, '1')), error_frame(4),
         init + Calls{"C_Sign"}, 32, p256, p256_ready},
        {"P-256 answers r = 0", p256_answer(std::string(64, '0') + std::string(64, '1')),
         error_frame(4), init + Calls{"C_Sign"}, 32, p256, p256_ready},
        context_login_row("context login fails", context_login_failing("0x5"),
                          error_frame(15, 0x5, flags)),
        context_login_row("context login: wrong PIN", context_login_failing("0xA0"),
                          error_frame(6, 0xA0, flags)),
        context_login_row("context login: PIN locked", context_login_failing("0xA4"),
                          error_frame(7, 0xA4, flags)),
        context_login_row("context login: token removed", context_login_failing("0xE0"),
                          error_frame(16, 0xE0, flags)),
        context_login_row("context login fails and the token reports the PIN locked",
                          {{"keys", aa_key},
                           {"slots", {{{"tokens", {kart, kart, kart, kart, kart_locked}}}}},
                           {"fail", {fail("C_Login", "0x5", 2)}}},
                          error_frame(7, 0x5, 0x4040d)),
        context_login_row(
            "context login fails, flags unreadable after it",
            {{"keys", aa_key},
             {"fail", {fail("C_Login", "0x5", 2), fail("C_GetTokenInfo", "0x30", 5)}}},
            error_frame(15, 0x5)),
        {"token check fails",
         failing("C_GetTokenInfo", "0x30", 4),
         error_frame(4, 0x30),
         {"C_GetTokenInfo"}},
        {"token check: slot id invalid",
         failing("C_GetTokenInfo", "0x3", 4),
         error_frame(5),
         {"C_GetTokenInfo"}},
    };
}

TEST(Proto3Requests, EverySigningFailureEndsTheConversationWithItsError) {
    for (const SignFailure& c : sign_failures()) {
        Proto3Invocation invocation;
        invocation.positional = c.positional;
        const Proto3Run r = run_proto3(
            c.scenario, {login("1234"), sign(1, c.digest), sign(2, c.digest), close_request()},
            invocation);
        EXPECT_EQ(r.result.exit_code, 1) << c.what << "\n" << r.result.err;
        EXPECT_EQ(r.conversation.frames(), describe({Hello{}, c.ready, c.error})) << c.what;
        const auto& failure = std::get<Proto3Failure>(c.error);
        EXPECT_EQ(r.result.err,
                  filtering + error_line(static_cast<unsigned>(failure.code), failure.rv))
            << c.what;
        EXPECT_EQ(r.calls, ready + c.calls + removal_check(c.error) + release) << c.what;
    }
}

// The token is confirmed before every signature, not only the first.
TEST(Proto3Requests, TokenSwappedOrRemovedBetweenTwoSignatures) {
    const json kart = {{"serial", "S123"}, {"label", "Kart"}};
    struct Case {
        const char* what;
        json fifth_read; // what the check before the second signature sees
        Proto3Response error;
    };
    const Case cases[] = {
        {"swapped", {{"serial", "S999"}, {"label", "Kart"}}, error_frame(5)},
        {"removed", nullptr, error_frame(16, 0xE0)},
    };
    for (const Case& c : cases) {
        const json scenario = {{"slots", {{{"tokens", {kart, kart, kart, kart, c.fifth_read}}}}}};
        const Proto3Run r =
            run_proto3(scenario, {login("1234"), sign(1), sign(2), sign(3), close_request()});
        EXPECT_EQ(r.result.exit_code, 1) << c.what;
        EXPECT_EQ(r.conversation.frames(),
                  describe({Hello{}, rsa_ready, signature(1, mock_signature(256)), c.error}))
            << c.what;
        EXPECT_EQ(r.calls, ready + signed_once + Calls{"C_GetTokenInfo"} + release) << c.what;
    }
}

// A card pulled while a call runs: modules answer that call with whatever rv they like (OpenSC
// gives CKR_GENERAL_ERROR for a racing C_Sign). When the slot then says it holds no token, the
// failure is a removal, with the call's rv; a PIN verdict stays what the token said.
TEST(Proto3Requests, FailedCallOnASlotThatLostItsTokenIsARemoval) {
    const json kart = {{"serial", "S123"}, {"label", "Kart"}};
    const auto fault = [](const char* fn, const char* rv, int call) {
        return json{{"fn", fn}, {"rv", rv}, {"call", call}};
    };
    const json aa_key = {{{"id", "01"}, {"always_authenticate", true}}};
    struct Case {
        const char* what;
        json slots;
        json faults;
        Proto3Response error;
        Calls calls; // of the request, up to and with the removal check
        json keys = nullptr;
    };
    // A module that caches the token's information: the check before the signature still sees
    // the card (four reads), the slot is empty once it is gone.
    const json pulled = {{{"tokens", {kart, kart, kart, kart, nullptr}}}};
    const json stays = {{{"token", kart}}};
    const Calls up_to_sign = {"C_GetTokenInfo", "C_SignInit", "C_Sign", "C_GetSlotInfo"};
    const Case cases[] = {
        {"C_Sign general error, card gone",
         pulled,
         {fault("C_Sign", "0x5", 1)},
         error_frame(16, 0x5),
         up_to_sign},
        {"C_Sign general error, card still there",
         stays,
         {fault("C_Sign", "0x5", 1)},
         error_frame(4, 0x5),
         up_to_sign},
        {"C_Sign device error, card gone",
         pulled,
         {fault("C_Sign", "0x30", 1)},
         error_frame(16, 0x30),
         up_to_sign},
        {"C_SignInit function failed, card gone",
         pulled,
         {fault("C_SignInit", "0x6", 1)},
         error_frame(16, 0x6),
         {"C_GetTokenInfo", "C_SignInit", "C_GetSlotInfo"}},
        // A reader that notices the pulled card only on the third look; one that keeps saying
        // a card is there is asked for a second, then the module's fault stands.
        {"C_Sign general error, the reader notices late",
         json{{{"token", kart}, {"removable", true}, {"slot_info_present", {true, true, false}}}},
         {fault("C_Sign", "0x5", 1)},
         error_frame(16, 0x5),
         {"C_GetTokenInfo", "C_SignInit", "C_Sign", "C_GetSlotInfo", "C_GetSlotInfo",
          "C_GetSlotInfo"}},
        {"C_Sign general error, a reader that keeps its card",
         json{{{"token", kart}, {"removable", true}}},
         {fault("C_Sign", "0x5", 1)},
         error_frame(4, 0x5),
         Calls{"C_GetTokenInfo", "C_SignInit", "C_Sign"} + Calls(11, "C_GetSlotInfo")},
        {"context login general error, card gone",
         pulled,
         {fault("C_Login", "0x5", 2)},
         error_frame(16, 0x5),
         {"C_GetTokenInfo", "C_SignInit", "C_Login", "C_GetTokenInfo", "C_GetSlotInfo"},
         aa_key},
        {"context login wrong PIN, card gone",
         pulled,
         {fault("C_Login", "0xA0", 2)},
         error_frame(6, 0xA0),
         {"C_GetTokenInfo", "C_SignInit", "C_Login", "C_GetTokenInfo"},
         aa_key},
    };
    for (const Case& c : cases) {
        json scenario = {{"slots", c.slots}, {"fail", c.faults}};
        if (!c.keys.is_null()) {
            scenario["keys"] = c.keys;
        }
        const Proto3Run r = run_proto3(scenario, {login("1234"), sign(1), close_request()});
        const Proto3Response session_ready = SessionReady{KeyKindCode::rsa, !c.keys.is_null()};
        EXPECT_EQ(r.result.exit_code, 1) << c.what << "\n" << r.result.err;
        EXPECT_EQ(r.conversation.frames(), describe({Hello{}, session_ready, c.error})) << c.what;
        EXPECT_EQ(r.calls, ready + c.calls + release) << c.what;
    }
}

} // namespace
} // namespace korvan::test
