#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tessuro::codesign {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

// Magic numbers of the signature's blobs.
inline constexpr std::uint32_t kRequirementMagic = 0xfade0c00;
inline constexpr std::uint32_t kRequirementSetMagic = 0xfade0c01;
inline constexpr std::uint32_t kCodeDirectoryMagic = 0xfade0c02;

enum class ByteOrder { Big, Little };

// Reads inside one blob, big-endian unless told otherwise (Mach-O headers come in either
// order); every read checks its bounds and answers nothing rather than reading past the end.
class BlobReader {
public:
    explicit BlobReader(ByteView data, ByteOrder order = ByteOrder::Big)
        : data_(data), order_(order) {}

    std::size_t size() const noexcept { return data_.size(); }
    ByteView data() const noexcept { return data_; }

    std::optional<std::uint8_t> u8(std::size_t offset) const;
    std::optional<std::uint32_t> u32(std::size_t offset) const;
    std::optional<std::uint64_t> u64(std::size_t offset) const;
    std::optional<ByteView> bytes(std::size_t offset, std::size_t length) const;
    // A NUL-terminated string starting at `offset`; nothing when no NUL comes before the end.
    std::optional<std::string> cString(std::size_t offset) const;

private:
    ByteView data_;
    ByteOrder order_;
};

// Big-endian writes for building blobs.
class BlobWriter {
public:
    void u8(std::uint8_t value) { data_.push_back(value); }
    void u32(std::uint32_t value);
    void u64(std::uint64_t value);
    void bytes(ByteView value) { data_.insert(data_.end(), value.begin(), value.end()); }
    void cString(std::string_view value);
    void patchU32(std::size_t offset, std::uint32_t value);
    std::size_t size() const noexcept { return data_.size(); }
    Bytes take() { return std::move(data_); }

private:
    Bytes data_;
};

inline ByteView asBytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string toHex(ByteView bytes);

}  // namespace tessuro::codesign
