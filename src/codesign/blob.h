#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/byte_reader.h"

namespace tessuro::codesign {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

// Magic numbers of the signature's blobs.
inline constexpr std::uint32_t kRequirementMagic = 0xfade0c00;
inline constexpr std::uint32_t kRequirementSetMagic = 0xfade0c01;
inline constexpr std::uint32_t kCodeDirectoryMagic = 0xfade0c02;

// Every blob starts with its magic and its total length.
inline constexpr std::size_t kBlobHeaderSize = 8;
inline constexpr std::size_t kBlobLengthOffset = 4;

// A reader of a blob past its header, after checking that the blob starts with `magic` and
// that its length field is the data's whole length; throws a code-signing Error
// (kMalformed) naming `what` otherwise, and the byte reader's format Error, which does not
// name it, for data shorter than the header.
ByteReader blobContent(ByteView blob, std::uint32_t magic, std::string_view what);

// Big-endian writes for building blobs.
class BlobWriter {
public:
    void u8(std::uint8_t value) { data_.push_back(value); }
    void u32(std::uint32_t value);
    void bytes(ByteView value) { data_.insert(data_.end(), value.begin(), value.end()); }
    void cString(std::string_view value);
    void patchU32(std::size_t offset, std::uint32_t value);
    // Writes the blob's length into its header.
    void patchLength() { patchU32(kBlobLengthOffset, static_cast<std::uint32_t>(size())); }
    std::size_t size() const noexcept { return data_.size(); }
    Bytes take() { return std::move(data_); }

private:
    Bytes data_;
};

// The length field of a DER element of `length` content bytes: one byte below 128,
// otherwise 0x80 plus the number of bytes that follow, then the length big-endian in as
// few bytes as hold it.
Bytes derLength(std::size_t length);

inline ByteView asBytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string toHex(ByteView bytes);

}  // namespace tessuro::codesign
