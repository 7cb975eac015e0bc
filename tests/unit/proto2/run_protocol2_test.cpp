#include "proto2/pin_input.hpp"
#include "proto2/run_protocol2.hpp"
#include "world_doubles.hpp"

#include <gtest/gtest.h>

namespace korvan::cli {
namespace {

using engine::outcome::Signed;

const std::string digest_hex(64, 'a');

struct Harness {
    explicit Harness(std::deque<std::string> pin_chunks, engine::SignOutcome outcome = Signed{},
                     bool reject = false)
        : input(std::move(pin_chunks)), gate(reject), engine(std::move(outcome)) {
        environment.values["KORVAN_EXPECT_TOKEN"] = {platform::EnvValue::Status::Set,
                                                     "53313233:4b617274"};
    }
    int run(std::vector<std::string> positional) {
        positional.insert(positional.begin(), "sign-cli");
        Proto2World world{input, out, err, environment, gate, engine};
        return run_protocol2(positional, world);
    }
    test::ChunkedSource input;
    test::MemorySink out, err;
    test::FakeEnvironment environment;
    test::RecordingGate gate;
    test::RecordingEngine engine;
};

TEST(RunProtocol2, BuildsTheRequestFromArgumentsEnvironmentAndTrimmedPin) {
    Harness h({"12", "34\r", "\n"}, Signed{{0x01, 0x02}});
    EXPECT_EQ(h.run({"/m.so", std::string(96, 'B'), "0A0b", "ec-p384", "+42"}), 0);
    ASSERT_EQ(h.engine.calls, 1);
    const engine::SignRequest& r = h.engine.last;
    EXPECT_EQ(r.module_path, "/m.so");
    EXPECT_EQ(r.digest, std::vector<std::uint8_t>(48, 0xBB));
    EXPECT_EQ(r.cka_id, (std::vector<std::uint8_t>{0x0A, 0x0B}));
    EXPECT_EQ(r.requested_kind, engine::KeyKind::ec_p384);
    EXPECT_FALSE(r.verify_only);
    EXPECT_EQ(r.slot_id, 42u);
    EXPECT_EQ(r.expected_token.serial, "S123");
    EXPECT_EQ(r.expected_token.label, "Kart");
    EXPECT_EQ(h.engine.pin, "1234");
    EXPECT_EQ(h.gate.asked, std::vector<std::string>{"/m.so"});
    EXPECT_EQ(h.out.text, "<<KORVAN_SIGN_PROTO_2>>\nAQI=\n");
    EXPECT_EQ(h.err.text, "sign-cli: module=/m.so pin_len=4 hash=" + std::string(96, 'B') +
                              " ckaid_len=2 mode=sign\nsign-cli: OK (2 bytes signature)\n");
}

TEST(RunProtocol2, VerifyModeSendsNoDigestAndEmptyFieldsMeanNoFilter) {
    Harness h({"0000"});
    EXPECT_EQ(h.run({"/m.so", "VERIFY_ONLY", "", "", "0", "ignored sixth"}), 0);
    const engine::SignRequest& r = h.engine.last;
    EXPECT_TRUE(r.verify_only);
    EXPECT_TRUE(r.digest.empty());
    EXPECT_TRUE(r.cka_id.empty());
    EXPECT_EQ(r.requested_kind, std::nullopt);
    EXPECT_EQ(h.out.text, "<<KORVAN_SIGN_PROTO_2>>\n");
    EXPECT_EQ(h.err.text, "sign-cli: module=/m.so pin_len=4 hash=<VERIFY_ONLY> ckaid_len=0 "
                          "mode=verify\nsign-cli: VERIFY OK\n");
}

TEST(RunProtocol2, RejectedModuleStopsBeforeAnyOtherArgumentIsLookedAt) {
    Harness h({"1234"}, Signed{}, /*reject=*/true);
    EXPECT_EQ(h.run({"/evil.so", "not-a-digest"}), 9);
    EXPECT_EQ(h.engine.calls, 0);
    EXPECT_EQ(h.input.reads, 0);
    EXPECT_EQ(h.out.text, "<<KORVAN_SIGN_PROTO_2>>\n");
    EXPECT_EQ(h.err.text, "");
}

TEST(RunProtocol2, EnvironmentVariableMustBeSetUnicodeAndWellFormed) {
    for (const platform::EnvValue& value :
         {platform::EnvValue{}, platform::EnvValue{platform::EnvValue::Status::NotUnicode, ":"},
          platform::EnvValue{platform::EnvValue::Status::Set, "nocolon"}}) {
        Harness h({"1234"});
        h.environment.values["KORVAN_EXPECT_TOKEN"] = value;
        EXPECT_EQ(h.run({"/m.so", digest_hex, "", "", "1"}), 2);
        EXPECT_EQ(h.err.text, "missing or invalid expected token\n");
        EXPECT_EQ(h.input.reads, 0) << "the PIN is read only after the environment passed";
    }
}

TEST(ReadPin, FillsTheBufferAcrossShortReadsAndProbesOneByteWhenFull) {
    PinBuffer buffer;
    test::ChunkedSource exact({std::string(1000, 'x'), std::string(24, 'y')});
    EXPECT_EQ(read_pin(exact, buffer), 1024u);
    EXPECT_EQ(exact.reads, 3) << "two data reads, then the one-byte probe";

    test::ChunkedSource too_long({std::string(1024, 'x'), "z"});
    EXPECT_EQ(read_pin(too_long, buffer), std::nullopt);

    test::ChunkedSource probe_fails({std::string(1024, 'x')}, /*fail_at_end=*/true);
    EXPECT_EQ(read_pin(probe_fails, buffer), std::nullopt);
}

TEST(ReadPin, ReadErrorsAndInvalidUtf8Fail) {
    PinBuffer buffer;
    test::ChunkedSource error({"12"}, /*fail_at_end=*/true);
    EXPECT_EQ(read_pin(error, buffer), std::nullopt);
    test::ChunkedSource not_utf8({"12\xC3"});
    EXPECT_EQ(read_pin(not_utf8, buffer), std::nullopt);
    test::ChunkedSource split_sequence({"\xC4", "\x9F"});
    EXPECT_EQ(read_pin(split_sequence, buffer), 2u) << "UTF-8 is checked over the whole input";
}

TEST(RunProtocol2, PinFailuresReachNoEngine) {
    struct Case {
        std::deque<std::string> chunks;
        bool fail_at_end;
        const char* message;
    };
    const Case cases[] = {
        {{}, false, "empty PIN\n"},
        {{"\r\n\r\n"}, false, "empty PIN\n"},
        {{"12"}, true, "failed to read PIN from stdin\n"},
        {{std::string(1025, '1')}, false, "failed to read PIN from stdin\n"},
    };
    for (const auto& c : cases) {
        Harness h(c.chunks);
        h.input = test::ChunkedSource(c.chunks, c.fail_at_end);
        EXPECT_EQ(h.run({"/m.so", digest_hex, "", "", "1"}), 2);
        EXPECT_EQ(h.err.text, c.message);
        EXPECT_EQ(h.engine.calls, 0);
    }
}

} // namespace
} // namespace korvan::cli
