// Requests: what the parent encodes and what sign-cli reads back.

#include "korvan/sign_proto/child.hpp"
#include "korvan/sign_proto/parent.hpp"
#include "streams_doubles.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>

namespace korvan::sign_proto {
namespace {

using testing::Bytes;
using testing::bytes;
using testing::operator+;
using testing::DirtyFrame;
using testing::repeated;
using testing::ScriptedSource;

RequestRead read_one(const Bytes& input, std::size_t chunk = 4096, bool accept_reserved = false,
                     bool fail_at_end = false, std::size_t* consumed = nullptr) {
    ScriptedSource source(input, chunk, fail_at_end);
    DirtyFrame frame;
    auto result = read_frame(source, frame.span(), accept_reserved);
    EXPECT_TRUE(frame.all_zero()) << "frame buffer not wiped";
    if (consumed != nullptr) {
        *consumed = source.consumed();
    }
    return result;
}

Bytes encoded(const Proto3Request& request) {
    auto outcome = encode_request(request);
    if (std::holds_alternative<WriteFailure>(outcome)) {
        ADD_FAILURE() << "encoding failed";
        return {};
    }
    const auto& frame = std::get<platform::SecretBytes>(outcome);
    return Bytes(frame.begin(), frame.end());
}

Login login(bool allow_final_try, const Bytes& pin) {
    Login out;
    out.allow_final_try = allow_final_try;
    out.pin.assign(pin.begin(), pin.end());
    return out;
}

const Bytes digest32 = [] {
    Bytes d(32);
    for (std::size_t i = 0; i < d.size(); ++i) {
        d[i] = static_cast<std::uint8_t>(0xD0 + i);
    }
    return d;
}();

TEST(RequestCodec, ExactBytesAndBackAgainAtAnyReadSize) {
    const Bytes pin = bytes({'1', '2', 0x00, 0xFF});
    struct Case {
        const char* name;
        Proto3Request request;
        Bytes wire;
    };
    const Case cases[] = {
        {"login", login(false, pin), bytes({0, 0, 0, 7, 0x01, 0, 4}) + pin},
        {"login final try", login(true, bytes({'9'})), bytes({0, 0, 0, 4, 0x01, 1, 1, '9'})},
        {"login 255-byte pin", login(false, repeated(0x33, 255)),
         bytes({0, 0, 1, 2, 0x01, 0, 255}) + repeated(0x33, 255)},
        {"sign sha-256", Sign{1, digest32}, bytes({0, 0, 0, 0x25, 0x02, 0, 0, 0, 1}) + digest32},
        {"sign sha-384", Sign{0x01020304, repeated(7, 48)},
         bytes({0, 0, 0, 53, 0x02, 1, 2, 3, 4}) + repeated(7, 48)},
        {"sign sha-512 last id", Sign{0xFFFFFFFF, repeated(9, 64)},
         bytes({0, 0, 0, 69, 0x02, 0xFF, 0xFF, 0xFF, 0xFF}) + repeated(9, 64)},
        {"query token flags", QueryTokenFlags{}, bytes({0, 0, 0, 1, 0x03})},
        {"close", Close{}, bytes({0, 0, 0, 1, 0x04})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(encoded(c.request), c.wire);
        for (std::size_t chunk : {std::size_t{1}, std::size_t{3}, std::size_t{4096}}) {
            SCOPED_TRACE(chunk);
            const auto read = read_one(c.wire, chunk);
            ASSERT_TRUE(std::holds_alternative<Proto3Request>(read));
            const auto& got = std::get<Proto3Request>(read);
            ASSERT_EQ(got.index(), c.request.index());
            if (const auto* l = std::get_if<Login>(&got)) {
                const auto& want = std::get<Login>(c.request);
                EXPECT_EQ(l->allow_final_try, want.allow_final_try);
                EXPECT_EQ(l->pin, want.pin);
                EXPECT_EQ(l->pin.capacity(), l->pin.size());
            }
            if (const auto* s = std::get_if<Sign>(&got)) {
                EXPECT_EQ(s->request_id, std::get<Sign>(c.request).request_id);
                EXPECT_EQ(s->digest, std::get<Sign>(c.request).digest);
            }
        }
    }
}

TEST(RequestCodec, FramesBackToBackThenEndOfInputAtTheBoundary) {
    const Bytes wire = encoded(login(false, bytes({'1', '2', '3', '4'}))) +
                       encoded(Sign{1, digest32}) + encoded(QueryTokenFlags{}) + encoded(Close{});
    ScriptedSource source(wire, 1);
    DirtyFrame frame;
    const std::size_t expected_kinds[] = {0, 1, 2, 3};
    for (std::size_t kind : expected_kinds) {
        const auto read = read_frame(source, frame.span(), false);
        EXPECT_TRUE(frame.all_zero());
        ASSERT_TRUE(std::holds_alternative<Proto3Request>(read));
        EXPECT_EQ(std::get<Proto3Request>(read).index(), kind);
    }
    const auto end = read_frame(source, frame.span(), false);
    EXPECT_EQ(std::get<ReadFailure>(end), ReadFailure::EndOfInput);
    EXPECT_TRUE(frame.all_zero());
}

TEST(RequestCodec, MalformedAndFailedReads) {
    const auto pin4 = bytes({'1', '2', '3', '4'});
    struct Case {
        const char* name;
        Bytes input;
        ReadFailure expected;
        std::size_t consumed; // bytes taken from the input before the reader gave up
        bool fail_at_end = false;
        bool accept_reserved = false;
    };
    const Case cases[] = {
        {"nothing at all", {}, ReadFailure::EndOfInput, 0},
        {"one length byte", bytes({0}), ReadFailure::Malformed, 1},
        {"two length bytes", bytes({0, 0}), ReadFailure::Malformed, 2},
        {"three length bytes", bytes({0, 0, 0}), ReadFailure::Malformed, 3},
        {"no type byte", bytes({0, 0, 0, 1}), ReadFailure::Malformed, 4},
        {"length 0", bytes({0, 0, 0, 0, 0x03}), ReadFailure::Malformed, 4},
        {"length 2049", bytes({0, 0, 0x08, 0x01, 0x01}) + repeated(0, 2048), ReadFailure::Malformed,
         4},
        {"length 2^32-1", bytes({0xFF, 0xFF, 0xFF, 0xFF, 0x01}), ReadFailure::Malformed, 4},
        {"length 2048, no request that long", bytes({0, 0, 0x08, 0x00, 0x01}) + repeated(0, 2047),
         ReadFailure::Malformed, 5},
        {"login pin length says 5", bytes({0, 0, 0, 7, 0x01, 0, 5}) + pin4, ReadFailure::Malformed,
         11},
        {"login pin length says 3", bytes({0, 0, 0, 7, 0x01, 0, 3}) + pin4, ReadFailure::Malformed,
         11},
        {"login flag 2", bytes({0, 0, 0, 7, 0x01, 2, 4}) + pin4, ReadFailure::Malformed, 11},
        {"login empty pin", bytes({0, 0, 0, 3, 0x01, 0, 0}), ReadFailure::Malformed, 5},
        {"login longer than 258", bytes({0, 0, 1, 3, 0x01}) + repeated(0, 258),
         ReadFailure::Malformed, 5},
        {"login cut inside the pin", bytes({0, 0, 0, 7, 0x01, 0, 4, '1'}), ReadFailure::Malformed,
         8},
        {"sign 33-byte digest", bytes({0, 0, 0, 38, 0x02}) + repeated(0, 37),
         ReadFailure::Malformed, 5},
        {"sign 31-byte digest", bytes({0, 0, 0, 36, 0x02}) + repeated(0, 35),
         ReadFailure::Malformed, 5},
        {"sign cut inside the digest", bytes({0, 0, 0, 37, 0x02, 0, 0, 0, 1}) + repeated(0, 31),
         ReadFailure::Malformed, 40},
        {"query token flags with a payload byte", bytes({0, 0, 0, 2, 0x03, 0}),
         ReadFailure::Malformed, 5},
        {"close with a payload byte", bytes({0, 0, 0, 2, 0x04, 0}), ReadFailure::Malformed, 5},
        {"type 0x00", bytes({0, 0, 0, 1, 0x00}), ReadFailure::Malformed, 5},
        {"type 0x05", bytes({0, 0, 0, 1, 0x05}), ReadFailure::Malformed, 5},
        {"a response type", bytes({0, 0, 0, 1, 0x80}), ReadFailure::Malformed, 5},
        {"reserved not enabled", bytes({0, 0, 0, 1, 0x7F}), ReadFailure::Malformed, 5},
        {"reserved with a payload byte", bytes({0, 0, 0, 2, 0x7F, 0}), ReadFailure::Malformed, 5,
         false, true},
        {"read fails at once", {}, ReadFailure::Io, 0, true},
        {"read fails inside the length", bytes({0, 0}), ReadFailure::Io, 2, true},
        {"read fails before the type", bytes({0, 0, 0, 1}), ReadFailure::Io, 4, true},
        {"read fails inside the payload", bytes({0, 0, 0, 7, 0x01, 0}), ReadFailure::Io, 6, true},
    };
    for (const auto& c : cases) {
        for (std::size_t chunk : {std::size_t{1}, std::size_t{4096}}) {
            SCOPED_TRACE(std::string(c.name) + (chunk == 1 ? ", byte by byte" : ", at once"));
            std::size_t consumed = 0;
            const auto read = read_one(c.input, chunk, c.accept_reserved, c.fail_at_end, &consumed);
            ASSERT_TRUE(std::holds_alternative<ReadFailure>(read));
            EXPECT_EQ(std::get<ReadFailure>(read), c.expected);
            if (chunk == 1) {
                EXPECT_EQ(consumed, c.consumed);
            }
        }
    }
}

TEST(RequestCodec, ReservedOnlyWhenEnabled) {
    const Bytes wire = bytes({0, 0, 0, 1, 0x7F});
    EXPECT_EQ(std::get<ReadFailure>(read_one(wire)), ReadFailure::Malformed);
    const auto read = read_one(wire, 1, true);
    ASSERT_TRUE(std::holds_alternative<Proto3Request>(read));
    EXPECT_TRUE(std::holds_alternative<Reserved>(std::get<Proto3Request>(read)));
}

TEST(RequestCodec, ParentRefusesWhatSignCliWouldRefuse) {
    const Proto3Request refused[] = {
        login(false, {}), login(false, repeated(1, 256)), Sign{1, repeated(0, 33)}, Sign{1, {}},
        Reserved{},
    };
    for (const auto& request : refused) {
        SCOPED_TRACE(request.index());
        testing::RecordingSink sink;
        const auto outcome = write_request(sink, request);
        ASSERT_TRUE(std::holds_alternative<WriteFailure>(outcome));
        EXPECT_EQ(std::get<WriteFailure>(outcome), WriteFailure::Malformed);
        EXPECT_EQ(sink.calls, 0u);
    }
}

TEST(RequestCodec, WriteRequestWritesTheWholeFrameOnceOrReportsTheFailure) {
    testing::RecordingSink sink;
    EXPECT_TRUE(std::holds_alternative<Written>(write_request(sink, Sign{2, digest32})));
    EXPECT_EQ(sink.written, encoded(Sign{2, digest32}));
    EXPECT_EQ(sink.calls, 1u);

    testing::RecordingSink refusing(true);
    const auto outcome = write_request(refusing, Close{});
    ASSERT_TRUE(std::holds_alternative<WriteFailure>(outcome));
    EXPECT_EQ(std::get<WriteFailure>(outcome), WriteFailure::Io);
}

} // namespace
} // namespace korvan::sign_proto
