// Answers a module may give with CKR_OK that a careful caller must not trust: unavailable or huge
// attribute lengths, a second read claiming more than the first, more handles than asked for, slot
// counts that change between the two C_GetSlotList calls, token texts without padding or with
// bytes that are no UTF-8, and signature lengths that lie. Each row runs both protocols.
#include "fault_matrix.hpp"
#include "proto3_conversation.hpp"
#include "trusted_module.hpp"

#include <gtest/gtest.h>

#include <algorithm>

namespace korvan::test::faults {
namespace {

using namespace sign_proto;
using nlohmann::json;
using Bytes = std::vector<std::uint8_t>;

const std::string marker = "<<KORVAN_SIGN_PROTO_2>>\n";
const std::string sha256(64, 'a');
const std::string p256_oid = "06082a8648ce3d030107";
const std::string default_expect = "53313233:4b617274"; // S123 : Kart

std::string hex(const std::string& bytes) {
    std::string text;
    for (const unsigned char b : bytes) {
        text += "0123456789abcdef"[b >> 4];
        text += "0123456789abcdef"[b & 15];
    }
    return text;
}

std::string last_line(const std::string& text) {
    std::string body = text;
    if (!body.empty() && body.back() == '\n') {
        body.pop_back();
    }
    const auto cut = body.rfind('\n');
    return cut == std::string::npos ? body : body.substr(cut + 1);
}

struct Protocol2Outcome {
    int exit_code;
    std::string line;
};

struct AnswerCase {
    const char* what;
    json scenario;
    std::string kind; // requested key kind; empty: none
    std::optional<Protocol2Outcome> proto2;
    std::vector<Proto3Response> proto3; // after Hello; empty: protocol 3 not run
    std::string expect_token = default_expect;
    bool verify = false; // protocol 2 checks the PIN only
    // An attribute type that must never be read with a buffer (its length was not usable).
    std::string unread_attribute = "";
};

json ec_key(const json& ec_params) {
    return {
        {"keys",
         {{{"id", "01"}, {"kind", "ec-p256"}, {"attributes", {{"CKA_EC_PARAMS", ec_params}}}}}}};
}

// The expected token in slot 1, another one in slot 0 (the slot asked for).
json moved_token(const json& slot_list_counts) {
    return {{"slots",
             {{{"id", 0}, {"token", {{"serial", "S999"}, {"label", "Kart"}}}},
              {{"id", 1}, {"token", {{"serial", "S123"}, {"label", "Kart"}}}}}},
            {"slot_list_counts", slot_list_counts}};
}

json token_texts(const json& token) {
    return {{"slots", {{{"id", 0}, {"token", token}}}}};
}

std::vector<AnswerCase> cases() {
    const Proto3Response rsa_ready = SessionReady{KeyKindCode::rsa, false};
    const Proto3Response ec_ready = SessionReady{KeyKindCode::ec_p256, false};
    const Proto3Response rsa_signed = sign_proto::Signature{1, mock_signature(256)};
    const Proto3Response ec_signed = sign_proto::Signature{1, mock_p256_der()};
    const Protocol2Outcome rsa_ok{0, "sign-cli: OK (256 bytes signature)"};
    const Protocol2Outcome verified{0, "sign-cli: VERIFY OK"};
    const Protocol2Outcome curve_unreadable{
        7, "sign-cli: UNSUPPORTED_KEY_TYPE: EC anahtar\xC4\xB1n e\xC4\x9Frisi okunamad\xC4\xB1"};
    const Protocol2Outcome token_changed{10, "sign-cli: TOKEN_CHANGED (PIN not sent)"};
    const std::string label_bytes = "Kart\xFF\x01" + std::string(26, 'A'); // 32, no padding
    const std::string label_seen = "Kart\xEF\xBF\xBD" + std::string(26, 'A');
    return {
        {"curve length unavailable, yet CKR_OK",
         ec_key({{"rv", 0}}),
         "",
         curve_unreadable,
         {error_frame(12)},
         default_expect,
         false,
         "0x180"},
        {"curve length huge, with CKR_OK",
         ec_key({{"hex", p256_oid}, {"lengths", {"0x7FFFFFFF"}}}),
         "",
         curve_unreadable,
         {error_frame(12)},
         default_expect,
         false,
         "0x180"},
        {"curve length one past the largest attribute",
         ec_key({{"hex", p256_oid}, {"lengths", {4097}}}),
         "",
         curve_unreadable,
         {error_frame(12)},
         default_expect,
         false,
         "0x180"},
        // Only the bytes the first answer announced are the value: still P-256.
        {"second read of the curve claims more bytes than the first",
         ec_key({{"hex", p256_oid}, {"lengths", {10, 200}}}),
         "",
         Protocol2Outcome{0, "sign-cli: OK (70 bytes signature)"},
         {ec_ready, ec_signed, Goodbye{}}},
        {"key type unavailable, yet CKR_OK: the requested kind stands",
         {{"keys", {{{"id", "01"}, {"attributes", {{"CKA_KEY_TYPE", {{"rv", 0}}}}}}}}},
         "rsa",
         rsa_ok,
         {rsa_ready, rsa_signed, Goodbye{}}},
        // Unknown type and no kind asked: taken as RSA, which the EC key's token refuses.
        {"key type unavailable on an EC key, no kind requested",
         {{"keys",
           {{{"id", "01"}, {"kind", "ec-p256"}, {"attributes", {{"CKA_KEY_TYPE", {{"rv", 0}}}}}}}}},
         "",
         Protocol2Outcome{4, "sign-cli: C_SignInit rv=0x00000063"},
         {rsa_ready, error_frame(4, 0x63)}},
        {"second read of CKA_ALWAYS_AUTHENTICATE claims two bytes",
         {{"keys",
           {{{"id", "01"},
             {"always_authenticate", true},
             {"attributes",
              {{"CKA_ALWAYS_AUTHENTICATE", {{"hex", "01"}, {"lengths", {1, 2}}}}}}}}}},
         "rsa",
         std::nullopt, // protocol 2 never logs in for one signature
         {SessionReady{KeyKindCode::rsa, true}, rsa_signed, Goodbye{}}},
        {"C_FindObjects claims more handles than asked for",
         {{"find_objects_count", 5}},
         "rsa",
         Protocol2Outcome{6, "sign-cli: KEY_RESOLUTION_FAILED \xE2\x80\x94 CKA_ID birden "
                             "\xC3\xA7ok anahtarla e\xC5\x9Fle\xC5\x9Fti, do\xC4\x9Fru anahtar "
                             "belirlenemedi"},
         {error_frame(11)}},
        // One slot fits the array; the second answer's count of three is not believed.
        {"slot count grows between the two C_GetSlotList calls",
         moved_token({1, 3}),
         "rsa",
         token_changed,
         {error_frame(5)},
         default_expect,
         true},
        // CKR_BUFFER_TOO_SMALL from the second call is accepted with the ids it wrote.
        {"second C_GetSlotList says the array is too small",
         moved_token({2, 3}),
         "rsa",
         verified,
         {rsa_ready, rsa_signed, Goodbye{}},
         default_expect,
         true},
        {"first C_GetSlotList claims 70 slots, the second 2",
         moved_token({70}),
         "rsa",
         verified,
         {rsa_ready, rsa_signed, Goodbye{}},
         default_expect,
         true},
        {"label of 32 bytes without padding, with 0xFF and a control byte",
         token_texts({{"label_hex", hex(label_bytes)}, {"serial", ""}}),
         "rsa",
         verified,
         {rsa_ready, rsa_signed, Goodbye{}},
         ":" + hex(label_seen),
         true},
        {"serial of 16 bytes without padding",
         token_texts({{"label", "Kart"}, {"serial", "S123456789ABCDEF"}}),
         "rsa",
         verified,
         {rsa_ready, rsa_signed, Goodbye{}},
         hex("S123456789ABCDEF") + ":",
         true},
        // Bytes that are no UTF-8 never equal the text they resemble.
        {"serial with a byte that is no UTF-8",
         token_texts({{"label", "Kart"}, {"serial_hex", "5331c3283233"}}),
         "rsa",
         token_changed,
         {error_frame(5)},
         hex("S1") + ":",
         true},
        {"serial with a byte that is no UTF-8, expected as read",
         token_texts({{"label", "Kart"}, {"serial_hex", "5331c328"}}),
         "rsa",
         verified,
         {rsa_ready, rsa_signed, Goodbye{}},
         hex("S1\xEF\xBF\xBD(") + ":",
         true},
        // Protocol 2 keeps what fits its buffer; protocol 3 refuses any length past its own.
        {"C_Sign reports 0xFFFFFFFF bytes",
         {{"sign", {{"length", "0xFFFFFFFF"}}}},
         "rsa",
         rsa_ok,
         {rsa_ready, error_frame(4)}},
        {"C_Sign reports 0 bytes",
         {{"sign", {{"length", 0}}}},
         "rsa",
         Protocol2Outcome{4, "sign-cli: C_Sign rv=0x00000000"},
         {rsa_ready, error_frame(4)}},
        {"EC C_Sign reports one byte more than it wrote",
         {{"keys", {{{"id", "01"}, {"kind", "ec-p256"}}}}, {"sign", {{"length", 65}}}},
         "",
         Protocol2Outcome{0, "sign-cli: OK (70 bytes signature)"},
         {ec_ready, error_frame(4)}},
    };
}

void expect_trace_rules(const AnswerCase& c, const std::vector<TraceEntry>& trace,
                        bool token_was_refused, bool finalize_expected, const std::string& where) {
    expect_clean_ending(trace, finalize_expected, where);
    for (const TraceEntry& e : trace) {
        EXPECT_FALSE(token_was_refused && e.function == "C_Login") << where << ": PIN sent";
        const std::string query = e.arg("query");
        EXPECT_FALSE(!c.unread_attribute.empty() && e.function == "C_GetAttributeValue" &&
                     query.rfind(c.unread_attribute + ":", 0) == 0 &&
                     query != c.unread_attribute + ":null")
            << where << ": " << e.line;
    }
}

TEST(FaultMatrixAnswers, Protocol2) {
    ASSERT_TRUE(trusted_mock_module().ok()) << trusted_mock_module().error();
    for (const AnswerCase& c : cases()) {
        if (!c.proto2) {
            continue;
        }
        MockToken mock(c.scenario);
        ChildRun run;
        run.args = {"--proto=2",
                    trusted_mock_module().module_path(),
                    c.verify ? "VERIFY_ONLY" : sha256,
                    "01",
                    c.kind,
                    "0"};
        trusted_mock_module().add_to(run);
        mock.add_to(run);
        run.env["KORVAN_EXPECT_TOKEN"] = c.expect_token;
        run.input = "1234";
        const ChildResult r = run_child(program_path("sign-cli"), run);
        EXPECT_EQ(r.exit_code, c.proto2->exit_code) << c.what << "\n" << r.err;
        EXPECT_EQ(last_line(r.err), c.proto2->line) << c.what;
        const bool signature_line = c.proto2->exit_code == 0 && !c.verify;
        EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), signature_line ? 2 : 1) << c.what;
        EXPECT_EQ(r.out.rfind(marker, 0), 0u) << c.what;
        expect_trace_rules(c, mock.trace(), c.proto2->exit_code == 10, false, c.what);
    }
}

TEST(FaultMatrixAnswers, Protocol3) {
    for (const AnswerCase& c : cases()) {
        if (c.proto3.empty()) {
            continue;
        }
        Proto3Invocation invocation;
        invocation.positional = {"01", c.kind, "0"};
        invocation.expect_token = c.expect_token;
        const Proto3Run r =
            run_proto3(c.scenario, {login("1234"), sign(1), close_request()}, invocation);
        std::vector<Proto3Response> frames = {Hello{}};
        frames.insert(frames.end(), c.proto3.begin(), c.proto3.end());
        const bool closed = std::holds_alternative<Goodbye>(frames.back());
        EXPECT_EQ(r.result.exit_code, closed ? 0 : 1) << c.what << "\n" << r.result.err;
        EXPECT_EQ(r.conversation.frames(), describe(frames)) << c.what;
        const auto* refused = std::get_if<Proto3Failure>(&frames.back());
        expect_trace_rules(c, r.trace,
                           refused != nullptr && refused->code == Proto3ErrorCode::TokenMismatch,
                           closed, c.what);
    }
}

} // namespace
} // namespace korvan::test::faults
