#include "platform/codesign/blob.h"

namespace tessuro::codesign {

std::optional<std::uint8_t> BlobReader::u8(std::size_t offset) const {
    if (offset >= data_.size()) {
        return std::nullopt;
    }
    return data_[offset];
}

std::optional<std::uint32_t> BlobReader::u32(std::size_t offset) const {
    if (offset > data_.size() || data_.size() - offset < 4) {
        return std::nullopt;
    }
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        std::size_t at = order_ == ByteOrder::Big ? offset + i : offset + 3 - i;
        value = (value << 8) | data_[at];
    }
    return value;
}

std::optional<std::uint64_t> BlobReader::u64(std::size_t offset) const {
    auto first = u32(offset);
    auto second = offset <= SIZE_MAX - 4 ? u32(offset + 4) : std::nullopt;
    if (!first || !second) {
        return std::nullopt;
    }
    return order_ == ByteOrder::Big ? (std::uint64_t{*first} << 32) | *second
                                    : (std::uint64_t{*second} << 32) | *first;
}

std::optional<ByteView> BlobReader::bytes(std::size_t offset, std::size_t length) const {
    if (offset > data_.size() || data_.size() - offset < length) {
        return std::nullopt;
    }
    return data_.subspan(offset, length);
}

std::optional<std::string> BlobReader::cString(std::size_t offset) const {
    for (std::size_t i = offset; i < data_.size(); ++i) {
        if (data_[i] == 0) {
            return std::string(reinterpret_cast<const char*>(data_.data()) + offset, i - offset);
        }
    }
    return std::nullopt;
}

void BlobWriter::u32(std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        data_.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

void BlobWriter::u64(std::uint64_t value) {
    u32(static_cast<std::uint32_t>(value >> 32));
    u32(static_cast<std::uint32_t>(value));
}

void BlobWriter::cString(std::string_view value) {
    bytes(asBytes(value));
    data_.push_back(0);
}

void BlobWriter::patchU32(std::size_t offset, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        data_.at(offset + static_cast<std::size_t>(i)) =
            static_cast<std::uint8_t>(value >> (24 - 8 * i));
    }
}

std::string toHex(ByteView bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (std::uint8_t b : bytes) {
        text.push_back(kDigits[b >> 4]);
        text.push_back(kDigits[b & 0x0F]);
    }
    return text;
}

}  // namespace tessuro::codesign
