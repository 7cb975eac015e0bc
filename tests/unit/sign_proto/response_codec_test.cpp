// Responses: what sign-cli encodes and what the parent reads back; and the marker line.

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

ResponseRead read_one(const Bytes& input, std::size_t chunk = 4096) {
    ScriptedSource source(input, chunk);
    DirtyFrame frame;
    auto result = read_response(source, frame.span());
    EXPECT_TRUE(frame.all_zero()) << "frame buffer not wiped";
    return result;
}

Bytes written(const Proto3Response& response) {
    testing::RecordingSink sink;
    const auto outcome = write_frame(sink, response);
    EXPECT_TRUE(std::holds_alternative<Written>(outcome));
    EXPECT_EQ(sink.calls, 1u);
    return sink.written;
}

Proto3Failure failure(Proto3ErrorCode code, std::uint64_t rv = 0, bool has_flags = false,
                      std::uint64_t flags = 0) {
    return {code, rv, has_flags, flags};
}

bool same(const Proto3Response& a, const Proto3Response& b) {
    if (a.index() != b.index()) {
        return false;
    }
    if (const auto* x = std::get_if<SessionReady>(&a)) {
        const auto& y = std::get<SessionReady>(b);
        return x->key_kind == y.key_kind && x->always_authenticate == y.always_authenticate;
    }
    if (const auto* x = std::get_if<Signature>(&a)) {
        const auto& y = std::get<Signature>(b);
        return x->request_id == y.request_id && x->signature == y.signature;
    }
    if (const auto* x = std::get_if<TokenFlags>(&a)) {
        return x->flags == std::get<TokenFlags>(b).flags;
    }
    if (const auto* x = std::get_if<Proto3Failure>(&a)) {
        const auto& y = std::get<Proto3Failure>(b);
        return x->code == y.code && x->rv == y.rv && x->has_token_flags == y.has_token_flags &&
               x->token_flags == y.token_flags;
    }
    return true;
}

TEST(Marker, IsTheQuotedTextAndOneLineFeed) {
    const std::string text = "<<KORVAN_SIGN_PROTO_3 v=0.1.0>>\n";
    const auto marker = marker_line();
    EXPECT_EQ(std::string(marker.begin(), marker.end()), text);
    EXPECT_EQ(marker.size(), 32u);
}

TEST(Marker, ParentReadsItOrSaysWhatCameInstead) {
    const auto marker = marker_line();
    const Bytes good(marker.begin(), marker.end());
    Bytes wrong = good;
    wrong[24] = '9';
    struct Case {
        const char* name;
        Bytes input;
        bool ok;
        ReadFailure failure;
    };
    const Case cases[] = {
        {"marker, then a frame", good + bytes({0, 0, 0, 1, 0x80}), true, {}},
        {"nothing", {}, false, ReadFailure::EndOfInput},
        {"cut short", Bytes(good.begin(), good.end() - 1), false, ReadFailure::Malformed},
        {"another version", wrong, false, ReadFailure::Malformed},
        {"carriage return before the line feed",
         Bytes(good.begin(), good.end() - 1) + bytes({'\r', '\n'}), false, ReadFailure::Malformed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedSource source(c.input, 1);
        const auto read = read_marker(source);
        if (c.ok) {
            EXPECT_TRUE(std::holds_alternative<Marker>(read));
            EXPECT_EQ(source.consumed(), 32u); // the frame after it is left alone
        } else {
            ASSERT_TRUE(std::holds_alternative<ReadFailure>(read));
            EXPECT_EQ(std::get<ReadFailure>(read), c.failure);
        }
    }
}

TEST(ResponseCodec, ExactBytesAndBackAgainAtAnyReadSize) {
    const Bytes sig1024 = repeated(0xEE, 1024);
    struct Case {
        const char* name;
        Proto3Response response;
        Bytes wire;
        Proto3Response decoded; // what the parent sees
    };
    const Case cases[] = {
        {"hello", Hello{}, bytes({0, 0, 0, 1, 0x80}), Hello{}},
        {"goodbye", Goodbye{}, bytes({0, 0, 0, 1, 0x84}), Goodbye{}},
        {"session ready, ec-p256, context login", SessionReady{KeyKindCode::ec_p256, true},
         bytes({0, 0, 0, 3, 0x81, 2, 1}), SessionReady{KeyKindCode::ec_p256, true}},
        {"session ready, rsa", SessionReady{KeyKindCode::rsa, false},
         bytes({0, 0, 0, 3, 0x81, 1, 0}), SessionReady{KeyKindCode::rsa, false}},
        {"session ready, ec-p521", SessionReady{KeyKindCode::ec_p521, false},
         bytes({0, 0, 0, 3, 0x81, 4, 0}), SessionReady{KeyKindCode::ec_p521, false}},
        {"signature of one byte", Signature{7, bytes({0xAB})},
         bytes({0, 0, 0, 6, 0x82, 0, 0, 0, 7, 0xAB}), Signature{7, bytes({0xAB})}},
        {"signature of 1024 bytes", Signature{0xFFFFFFFF, sig1024},
         bytes({0, 0, 0x04, 0x05, 0x82, 0xFF, 0xFF, 0xFF, 0xFF}) + sig1024,
         Signature{0xFFFFFFFF, sig1024}},
        {"token flags", TokenFlags{0x0000000100060D0Dull},
         bytes({0, 0, 0, 9, 0x83, 0, 0, 0, 1, 0, 6, 0x0D, 0x0D}),
         TokenFlags{0x0000000100060D0Dull}},
        {"error, code 1", failure(Proto3ErrorCode::ProtocolViolation),
         bytes({0, 0, 0, 0x13, 0x8F, 1}) + repeated(0, 17),
         failure(Proto3ErrorCode::ProtocolViolation)},
        {"error, flags held but not flagged",
         failure(Proto3ErrorCode::PinIncorrect, 0xA0, false, 0x40),
         bytes({0, 0, 0, 0x13, 0x8F, 6, 0, 0, 0, 0, 0, 0, 0, 0xA0, 0}) + repeated(0, 8),
         failure(Proto3ErrorCode::PinIncorrect, 0xA0)},
        {"error with token flags", failure(Proto3ErrorCode::PinFinalTry, 0, true, 0x00040000),
         bytes({0, 0, 0, 0x13, 0x8F, 10}) + repeated(0, 8) + bytes({1, 0, 0, 0, 0, 0, 4, 0, 0}),
         failure(Proto3ErrorCode::PinFinalTry, 0, true, 0x00040000)},
        {"error, code 17, wide rv",
         failure(Proto3ErrorCode::TokenInfoUnavailable, 0x8000000000000001ull),
         bytes({0, 0, 0, 0x13, 0x8F, 17, 0x80, 0, 0, 0, 0, 0, 0, 1}) + repeated(0, 9),
         failure(Proto3ErrorCode::TokenInfoUnavailable, 0x8000000000000001ull)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes wire = written(c.response);
        EXPECT_EQ(wire, c.wire);
        if (c.wire.size() > 5) {
            EXPECT_EQ(wire.size(), 4 + (std::size_t{wire[2]} << 8 | wire[3]));
        }
        for (std::size_t chunk : {std::size_t{1}, std::size_t{4096}}) {
            const auto read = read_one(wire, chunk);
            ASSERT_TRUE(std::holds_alternative<Proto3Response>(read)) << chunk;
            EXPECT_TRUE(same(std::get<Proto3Response>(read), c.decoded)) << chunk;
        }
    }
    EXPECT_EQ(written(failure(Proto3ErrorCode::ProtocolViolation)).size(), 23u);
}

TEST(ResponseCodec, EveryErrorCodeHasItsWireValue) {
    for (unsigned code = 1; code <= proto3_error_code_count; ++code) {
        const Bytes wire = written(failure(static_cast<Proto3ErrorCode>(code)));
        EXPECT_EQ(wire[5], code);
    }
    EXPECT_EQ(static_cast<int>(Proto3ErrorCode::ModuleRejected), 2);
    EXPECT_EQ(static_cast<int>(Proto3ErrorCode::TokenRemoved), 16);
    EXPECT_EQ(static_cast<int>(Proto3ErrorCode::TokenInfoUnavailable), 17);
}

TEST(ResponseCodec, WhatCannotBeEncodedIsNotWritten) {
    const Proto3Response refused[] = {
        Signature{1, {}},
        Signature{1, repeated(0, 1025)},
        failure(static_cast<Proto3ErrorCode>(0)),
        failure(static_cast<Proto3ErrorCode>(18)),
        SessionReady{static_cast<KeyKindCode>(0), false},
        SessionReady{static_cast<KeyKindCode>(5), false},
    };
    for (const auto& response : refused) {
        SCOPED_TRACE(response.index());
        EXPECT_TRUE(std::holds_alternative<WriteFailure>(encode_frame(response)));
        testing::RecordingSink sink;
        const auto outcome = write_frame(sink, response);
        ASSERT_TRUE(std::holds_alternative<WriteFailure>(outcome));
        EXPECT_EQ(std::get<WriteFailure>(outcome), WriteFailure::Malformed);
        EXPECT_EQ(sink.calls, 0u);
    }
}

TEST(ResponseCodec, RefusedWriteIsReported) {
    testing::RecordingSink refusing(true);
    const auto outcome = write_frame(refusing, Hello{});
    ASSERT_TRUE(std::holds_alternative<WriteFailure>(outcome));
    EXPECT_EQ(std::get<WriteFailure>(outcome), WriteFailure::Io);
}

TEST(ResponseCodec, ParentRefusesMalformedResponses) {
    const Bytes error_head = bytes({0, 0, 0, 0x13, 0x8F});
    struct Case {
        const char* name;
        Bytes input;
        ReadFailure expected;
    };
    const Case cases[] = {
        {"nothing", {}, ReadFailure::EndOfInput},
        {"cut inside the length", bytes({0, 0, 0}), ReadFailure::Malformed},
        {"length 0", bytes({0, 0, 0, 0}), ReadFailure::Malformed},
        {"length 2049", bytes({0, 0, 0x08, 0x01}), ReadFailure::Malformed},
        {"a request type", bytes({0, 0, 0, 1, 0x04}), ReadFailure::Malformed},
        {"unknown type", bytes({0, 0, 0, 1, 0x85}), ReadFailure::Malformed},
        {"hello with a payload byte", bytes({0, 0, 0, 2, 0x80, 0}), ReadFailure::Malformed},
        {"session ready kind 0", bytes({0, 0, 0, 3, 0x81, 0, 0}), ReadFailure::Malformed},
        {"session ready kind 5", bytes({0, 0, 0, 3, 0x81, 5, 0}), ReadFailure::Malformed},
        {"session ready flag 2", bytes({0, 0, 0, 3, 0x81, 1, 2}), ReadFailure::Malformed},
        {"session ready too short", bytes({0, 0, 0, 2, 0x81, 1}), ReadFailure::Malformed},
        {"empty signature", bytes({0, 0, 0, 5, 0x82, 0, 0, 0, 1}), ReadFailure::Malformed},
        {"signature of 1025 bytes", bytes({0, 0, 0x04, 0x06, 0x82}) + repeated(0, 1029),
         ReadFailure::Malformed},
        {"signature cut short", bytes({0, 0, 0, 8, 0x82, 0, 0, 0, 1, 0xAB}),
         ReadFailure::Malformed},
        {"token flags too short", bytes({0, 0, 0, 8, 0x83}) + repeated(0, 7),
         ReadFailure::Malformed},
        {"error code 0", error_head + repeated(0, 18), ReadFailure::Malformed},
        {"error code 18", error_head + bytes({18}) + repeated(0, 17), ReadFailure::Malformed},
        {"error has-flags 2",
         error_head + bytes({1}) + repeated(0, 8) + bytes({2}) + repeated(0, 8),
         ReadFailure::Malformed},
        {"error flags without has-flags",
         error_head + bytes({1}) + repeated(0, 9) + bytes({0, 0, 0, 0, 0, 0, 0, 1}),
         ReadFailure::Malformed},
        {"error too long", bytes({0, 0, 0, 0x14, 0x8F, 1}) + repeated(0, 18),
         ReadFailure::Malformed},
    };
    for (const auto& c : cases) {
        for (std::size_t chunk : {std::size_t{1}, std::size_t{4096}}) {
            SCOPED_TRACE(std::string(c.name) + (chunk == 1 ? ", byte by byte" : ", at once"));
            const auto read = read_one(c.input, chunk);
            ASSERT_TRUE(std::holds_alternative<ReadFailure>(read));
            EXPECT_EQ(std::get<ReadFailure>(read), c.expected);
        }
    }
}

} // namespace
} // namespace korvan::sign_proto
