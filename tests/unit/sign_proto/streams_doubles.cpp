#include "streams_doubles.hpp"

#include <algorithm>

namespace korvan::sign_proto::testing {

Bytes bytes(std::initializer_list<unsigned> values) {
    Bytes out;
    for (unsigned value : values) {
        out.push_back(static_cast<std::uint8_t>(value));
    }
    return out;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes repeated(std::uint8_t value, std::size_t count) {
    return Bytes(count, value);
}

platform::ReadResult ScriptedSource::read_some(std::span<std::uint8_t> into) {
    if (next_ == data_.size()) {
        return {fail_at_end_ ? platform::ReadResult::Status::Error
                             : platform::ReadResult::Status::End,
                0};
    }
    const std::size_t n = std::min({chunk_, into.size(), data_.size() - next_});
    std::copy_n(data_.begin() + static_cast<std::ptrdiff_t>(next_), n, into.begin());
    next_ += n;
    return {platform::ReadResult::Status::Data, n};
}

bool RecordingSink::write_all(std::span<const std::uint8_t> bytes) {
    ++calls;
    if (refuse_) {
        return false;
    }
    written.insert(written.end(), bytes.begin(), bytes.end());
    return true;
}

} // namespace korvan::sign_proto::testing
