#include "codesign/blob.h"

#include "codesign/status.h"

namespace tessuro::codesign {

ByteReader blobContent(ByteView blob, std::uint32_t magic, std::string_view what) {
    ByteReader reader(blob);
    const std::uint32_t found = reader.u32();
    const std::uint32_t length = reader.u32();
    if (found != magic) {
        throw codesignError(codesign_code::kMalformed, std::string(what) + " has the magic 0x" +
                                                           toHex(std::span(blob.data(), 4)));
    }
    if (length != blob.size()) {
        throw codesignError(codesign_code::kMalformed, std::string(what) + " gives its length as " +
                                                           std::to_string(length) + " but has " +
                                                           std::to_string(blob.size()) + " bytes");
    }
    return reader;
}

void BlobWriter::u32(std::uint32_t value) {
    data_.resize(data_.size() + 4);
    patchU32(data_.size() - 4, value);
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

Bytes derLength(std::size_t length) {
    constexpr std::uint8_t kLongForm = 0x80;
    if (length < kLongForm) {
        return {static_cast<std::uint8_t>(length)};
    }
    Bytes digits;
    for (std::size_t rest = length; rest != 0; rest >>= 8) {
        digits.insert(digits.begin(), static_cast<std::uint8_t>(rest & 0xFF));
    }
    digits.insert(digits.begin(), static_cast<std::uint8_t>(kLongForm | digits.size()));
    return digits;
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
