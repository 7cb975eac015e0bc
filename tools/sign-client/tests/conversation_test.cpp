// The parent's side of a session against a scripted sign-cli: which requests go out, what is
// printed, and how each way of breaking off is reported.

#include "conversation.hpp"
#include "world_doubles.hpp"

#include "korvan/sign_proto/child.hpp"

#include <gtest/gtest.h>

#include <fmt/format.h>

namespace korvan::client {
namespace {

using namespace sign_proto;

std::string marker() {
    const auto line = marker_line();
    return {line.begin(), line.end()};
}

std::string frame(const Proto3Response& response) {
    const auto encoded = encode_frame(response);
    const auto& bytes = std::get<platform::SecretBytes>(encoded);
    return {bytes.begin(), bytes.end()};
}

// One chunk, or none for no bytes at all (an empty chunk would be a read of zero bytes as Data).
std::deque<std::string> chunks(const std::string& bytes) {
    return bytes.empty() ? std::deque<std::string>{} : std::deque<std::string>{bytes};
}

// What sign-cli would read from the bytes the client wrote, one line per request.
std::vector<std::string> requests_in(const std::string& written) {
    test::ChunkedSource in(chunks(written));
    std::array<std::uint8_t, frame_buffer_size> buffer{};
    std::vector<std::string> out;
    for (;;) {
        auto read = read_frame(in, buffer, false);
        if (const auto* failure = std::get_if<ReadFailure>(&read)) {
            if (*failure != ReadFailure::EndOfInput) {
                out.push_back("unreadable");
            }
            return out;
        }
        auto& request = std::get<Proto3Request>(read);
        if (const auto* login = std::get_if<Login>(&request)) {
            out.push_back(fmt::format("Login final={} pin={}", login->allow_final_try ? 1 : 0,
                                      std::string(login->pin.begin(), login->pin.end())));
        } else if (const auto* sign = std::get_if<Sign>(&request)) {
            out.push_back(fmt::format("Sign id={} digest={:02x}x{}", sign->request_id,
                                      sign->digest.front(), sign->digest.size()));
        } else if (std::holds_alternative<QueryTokenFlags>(request)) {
            out.push_back("QueryTokenFlags");
        } else if (std::holds_alternative<Close>(request)) {
            out.push_back("Close");
        } else {
            out.push_back("Reserved");
        }
    }
}

class RefusingSink final : public platform::ByteSink {
  public:
    bool write_all(std::span<const std::uint8_t>) override { return false; }
};

platform::SecretBytes pin(std::string_view text) {
    return platform::SecretBytes(text.begin(), text.end());
}

const std::string greeting = marker() + frame(Hello{});
const std::string ready = greeting + frame(SessionReady{KeyKindCode::ec_p256, false});

Proto3Failure error(Proto3ErrorCode code, std::uint64_t rv = 0,
                    std::optional<std::uint64_t> flags = std::nullopt) {
    return {code, rv, flags.has_value(), flags.value_or(0)};
}

struct Case {
    std::string name;
    std::string from_child;
    SessionPlan plan;
    std::vector<std::string> requests;
    std::string out;
    std::optional<std::string> broken;  // the Broken line, or none for Closed
    std::optional<std::string> problem; // Closed's problem
};

SessionPlan plan(std::size_t digests, bool query_flags = false, bool allow_final_try = false) {
    SessionPlan plan;
    plan.allow_final_try = allow_final_try;
    plan.query_flags = query_flags;
    for (std::size_t i = 0; i < digests; ++i) {
        plan.digests.emplace_back(i % 2 == 0 ? 32 : 48, static_cast<std::uint8_t>(0xD0 + i));
    }
    return plan;
}

TEST(Conversation, RequestsOutputAndEnding) {
    const std::vector<std::uint8_t> sig1{1, 2, 3};
    const std::vector<std::uint8_t> sig2{4, 5};
    const std::vector<Case> cases = {
        {"two signatures and the flags",
         ready + frame(Signature{1, sig1}) + frame(Signature{2, sig2}) + frame(TokenFlags{0x60d}) +
             frame(Goodbye{}),
         plan(2, true, true),
         {"Login final=1 pin=1234", "Sign id=1 digest=d0x32", "Sign id=2 digest=d1x48",
          "QueryTokenFlags", "Close"},
         "1 AQID\n2 BAU=\nflags 0x60d\n",
         std::nullopt,
         std::nullopt},
        {"login only",
         ready + frame(Goodbye{}),
         plan(0),
         {"Login final=0 pin=1234", "Close"},
         "",
         std::nullopt,
         std::nullopt},
        {"flags unavailable: the session goes on and closes",
         ready + frame(error(Proto3ErrorCode::TokenInfoUnavailable, 0x54)) + frame(Goodbye{}),
         plan(0, true),
         {"Login final=0 pin=1234", "QueryTokenFlags", "Close"},
         "",
         std::nullopt,
         "error code=17 rv=0x54 CKR_FUNCTION_NOT_SUPPORTED (the token's flags could not be read)"},
        {"PIN refused, token flags sent along",
         greeting + frame(error(Proto3ErrorCode::PinIncorrect, 0xa0, 0x10000)),
         plan(1),
         {"Login final=0 pin=1234"},
         "",
         "error code=6 rv=0xa0 CKR_PIN_INCORRECT token-flags=0x10000 (the PIN was refused)",
         std::nullopt},
        {"the second signature fails",
         ready + frame(Signature{1, sig1}) + frame(error(Proto3ErrorCode::DigestLengthMismatch)),
         plan(3),
         {"Login final=0 pin=1234", "Sign id=1 digest=d0x32", "Sign id=2 digest=d1x48"},
         "1 AQID\n",
         "error code=13 rv=0x0 (the digest length does not fit the key)",
         std::nullopt},
        {"another error than 17 on the flags query",
         ready + frame(error(Proto3ErrorCode::TokenRemoved, 0xe0)),
         plan(0, true),
         {"Login final=0 pin=1234", "QueryTokenFlags"},
         "",
         "error code=16 rv=0xe0 CKR_TOKEN_NOT_PRESENT (the token or the session went away)",
         std::nullopt},
        {"signature of another request",
         ready + frame(Signature{2, sig1}),
         plan(1),
         {"Login final=0 pin=1234", "Sign id=1 digest=d0x32"},
         "",
         "sign-cli answered request 1 with the signature of 2",
         std::nullopt},
        {"nothing on sign-cli's output: the PIN is never sent",
         "",
         plan(1),
         {},
         "",
         "sign-cli's output ended while the protocol-3 marker line was due",
         std::nullopt},
        {"protocol 2's marker",
         "<<KORVAN_SIGN_PROTO_2>>\n" + std::string(9, 'x'),
         plan(1),
         {},
         "",
         "sign-cli sent a malformed frame while the protocol-3 marker line was due",
         std::nullopt},
        {"an Error instead of Hello: the PIN is never sent",
         marker() + frame(error(Proto3ErrorCode::ModuleRejected)),
         plan(1),
         {},
         "",
         "error code=2 rv=0x0 (the module path was rejected by the trust policy)",
         std::nullopt},
        {"a response out of place",
         greeting + frame(Goodbye{}),
         plan(1),
         {"Login final=0 pin=1234"},
         "",
         "sign-cli sent Goodbye while SessionReady was due",
         std::nullopt},
        {"output ends before the signature",
         ready,
         plan(1),
         {"Login final=0 pin=1234", "Sign id=1 digest=d0x32"},
         "",
         "sign-cli's output ended while Signature was due",
         std::nullopt},
        {"output ends inside a frame",
         ready + frame(Signature{1, sig1}).substr(0, 6),
         plan(1),
         {"Login final=0 pin=1234", "Sign id=1 digest=d0x32"},
         "",
         "sign-cli sent a malformed frame while Signature was due",
         std::nullopt},
        {"no Goodbye",
         ready,
         plan(0),
         {"Login final=0 pin=1234", "Close"},
         "",
         "sign-cli's output ended while Goodbye was due",
         std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::ChunkedSource from_child(chunks(c.from_child));
        test::MemorySink to_child;
        test::MemorySink out;
        const SessionEnd end = run_session(from_child, to_child, pin("1234"), c.plan, out);
        EXPECT_EQ(requests_in(to_child.text), c.requests);
        EXPECT_EQ(out.text, c.out);
        if (c.broken) {
            ASSERT_TRUE(std::holds_alternative<Broken>(end));
            EXPECT_EQ(std::get<Broken>(end).problem, *c.broken);
        } else {
            ASSERT_TRUE(std::holds_alternative<Closed>(end));
            EXPECT_EQ(std::get<Closed>(end).problem, c.problem);
        }
    }
}

TEST(Conversation, RequestsThatCannotBeSentBreakTheSession) {
    test::ChunkedSource from_child({ready});
    RefusingSink to_child;
    test::MemorySink out;
    const SessionEnd end = run_session(from_child, to_child, pin("1234"), plan(1), out);
    ASSERT_TRUE(std::holds_alternative<Broken>(end));
    EXPECT_EQ(std::get<Broken>(end).problem, "could not send Login to sign-cli");
}

TEST(Conversation, ASignatureThatCannotBePrintedIsAFailure) {
    test::ChunkedSource from_child({ready + frame(Signature{1, {1}}) + frame(Goodbye{})});
    test::MemorySink to_child;
    RefusingSink out;
    const SessionEnd end = run_session(from_child, to_child, pin("1234"), plan(1), out);
    ASSERT_TRUE(std::holds_alternative<Broken>(end));
    EXPECT_EQ(std::get<Broken>(end).problem, "could not write a signature to standard output");
}

} // namespace
} // namespace korvan::client
