#include "byte_streams.hpp"

#include <algorithm>

namespace korvan::fuzz {

platform::ReadResult InputSource::read_some(std::span<std::uint8_t> into) {
    const std::size_t count = std::min({into.size(), chunk_, data_.size() - next_});
    if (count == 0) {
        return {platform::ReadResult::Status::End, 0};
    }
    std::copy_n(data_.begin() + static_cast<std::ptrdiff_t>(next_), count, into.begin());
    next_ += count;
    return {platform::ReadResult::Status::Data, count};
}

bool CollectingSink::write_all(std::span<const std::uint8_t> bytes_in) {
    bytes.insert(bytes.end(), bytes_in.begin(), bytes_in.end());
    return true;
}

} // namespace korvan::fuzz
