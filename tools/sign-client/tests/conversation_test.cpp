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

// sign-cli's side as scripted bytes, always readable; it exits with 0 when waited for.
class ScriptedChild final : public platform::InteractiveChild {
  public:
    ScriptedChild(platform::ByteSource& from_child, platform::ByteSink& to_child, bool& killed)
        : from_child_(from_child), to_child_(to_child), killed_(killed) {}
    platform::ByteSink& input() override { return to_child_; }
    platform::ByteSource& output() override { return from_child_; }
    platform::Readiness wait_readable(platform::Deadline) override {
        return platform::Readiness::Ready;
    }
    void close_input() override {}
    std::optional<platform::ChildEnd> wait_until(platform::Deadline) override {
        return killed_ ? platform::ChildEnd{platform::ChildLost{"killed by signal 9"}}
                       : platform::ChildEnd{platform::ChildExited{0}};
    }
    void kill() override { killed_ = true; }

  private:
    platform::ByteSource& from_child_;
    platform::ByteSink& to_child_;
    bool& killed_;
};

SessionEnd run_scripted(platform::ByteSource& from_child, platform::ByteSink& to_child,
                        const SessionPlan& plan, platform::ByteSink& out, bool& killed) {
    return run_session(std::make_unique<ScriptedChild>(from_child, to_child, killed), pin("1234"),
                       plan, out);
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
        bool killed = false;
        const SessionEnd end = run_scripted(from_child, to_child, c.plan, out, killed);
        EXPECT_EQ(requests_in(to_child.text), c.requests);
        EXPECT_FALSE(killed);
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
    bool killed = false;
    const SessionEnd end = run_scripted(from_child, to_child, plan(1), out, killed);
    ASSERT_TRUE(std::holds_alternative<Broken>(end));
    EXPECT_EQ(std::get<Broken>(end).problem, "could not send Login to sign-cli");
}

TEST(Conversation, ASignatureThatCannotBePrintedIsAFailure) {
    test::ChunkedSource from_child({ready + frame(Signature{1, {1}}) + frame(Goodbye{})});
    test::MemorySink to_child;
    RefusingSink out;
    bool killed = false;
    const SessionEnd end = run_scripted(from_child, to_child, plan(1), out, killed);
    ASSERT_TRUE(std::holds_alternative<Broken>(end));
    EXPECT_EQ(std::get<Broken>(end).problem, "could not write a signature to standard output");
    EXPECT_TRUE(killed); // sign-cli is not left waiting for a Close that never comes
}

// A child that goes silent at each step in turn: the step says so, the child is killed and
// reaped, and no later request is sent.
TEST(Conversation, AStepPastItsDeadlineKillsTheChild) {
    const std::vector<std::uint8_t> sig{1};
    struct Silence {
        std::string from_child;
        std::vector<std::string> requests;
        std::string problem;
    } const silences[] = {
        {"", {}, "timed out while the protocol-3 marker line was due; sign-cli was killed"},
        {marker(), {}, "timed out while Hello was due; sign-cli was killed"},
        {greeting,
         {"Login final=0 pin=1234"},
         "timed out while SessionReady was due; sign-cli was killed"},
        {ready,
         {"Login final=0 pin=1234", "Sign id=1 digest=d0x32"},
         "timed out while Signature was due; sign-cli was killed"},
        {ready + frame(Signature{1, sig}),
         {"Login final=0 pin=1234", "Sign id=1 digest=d0x32", "QueryTokenFlags"},
         "timed out while TokenFlags was due; sign-cli was killed"},
    };
    for (const Silence& c : silences) {
        SCOPED_TRACE(c.problem);
        // The scripted bytes are read first; the silence starts where they end.
        class SilentAtEnd final : public platform::InteractiveChild {
          public:
            SilentAtEnd(std::string bytes, test::MemorySink& to_child, bool& killed, bool& reaped)
                : from_child_(chunks(bytes)), left_(bytes.size()), to_child_(to_child),
                  killed_(killed), reaped_(reaped) {}
            platform::ByteSink& input() override { return to_child_; }
            platform::ByteSource& output() override { return counted_; }
            platform::Readiness wait_readable(platform::Deadline) override {
                return left_ > 0 || killed_ ? platform::Readiness::Ready
                                            : platform::Readiness::TimedOut;
            }
            void close_input() override {}
            std::optional<platform::ChildEnd> wait_until(platform::Deadline) override {
                if (!killed_) {
                    return std::nullopt;
                }
                reaped_ = true;
                return platform::ChildEnd{platform::ChildLost{"killed by signal 9"}};
            }
            void kill() override { killed_ = true; }

          private:
            class Counted final : public platform::ByteSource {
              public:
                explicit Counted(SilentAtEnd& owner) : owner_(owner) {}
                platform::ReadResult read_some(std::span<std::uint8_t> into) override {
                    const auto read = owner_.from_child_.read_some(into);
                    owner_.left_ -= read.count;
                    return read;
                }

              private:
                SilentAtEnd& owner_;
            };
            test::ChunkedSource from_child_;
            std::size_t left_;
            Counted counted_{*this};
            test::MemorySink& to_child_;
            bool& killed_;
            bool& reaped_;
        };
        test::MemorySink to_child;
        test::MemorySink out;
        bool killed = false;
        bool reaped = false;
        SessionPlan timed = plan(1, true);
        timed.step_timeout = std::chrono::seconds(1);
        const SessionEnd end =
            run_session(std::make_unique<SilentAtEnd>(c.from_child, to_child, killed, reaped),
                        pin("1234"), timed, out);
        EXPECT_EQ(requests_in(to_child.text), c.requests);
        ASSERT_TRUE(std::holds_alternative<Broken>(end));
        EXPECT_EQ(std::get<Broken>(end).problem, c.problem);
        EXPECT_TRUE(killed);
        EXPECT_TRUE(reaped);
    }
}

} // namespace
} // namespace korvan::client
