#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/error.h"

namespace tessuro {

enum class ByteOrder { Big, Little };

// Reads a binary format front to back. Every consume first checks that its bytes are
// there and throws an Error of the format domain (format_code::kMalformed) naming the
// offset when they are not, so a parser never reads past its data and never holds a value it did
// not read. Big-endian unless told otherwise (Mach-O headers come in either order).
class ByteReader {
public:
    explicit ByteReader(std::span<const std::uint8_t> data, ByteOrder order = ByteOrder::Big)
        : data_(data), order_(order) {}
    explicit ByteReader(std::string_view data, ByteOrder order = ByteOrder::Big)
        : ByteReader(std::span(reinterpret_cast<const std::uint8_t*>(data.data()), data.size()),
                     order) {}

    std::uint8_t u8() { return static_cast<std::uint8_t>(unsignedOfSize(1)); }
    std::uint16_t u16() { return static_cast<std::uint16_t>(unsignedOfSize(2)); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(unsignedOfSize(4)); }
    std::uint64_t u64() { return unsignedOfSize(8); }

    // An unsigned integer of 1 to 8 bytes (binary property lists choose the width).
    std::uint64_t unsignedOfSize(std::size_t size) {
        if (size == 0 || size > 8) {
            throw malformed("no integer is " + std::to_string(size) + " bytes wide");
        }
        std::span<const std::uint8_t> field = take(size);
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < size; ++i) {
            value = (value << 8) | field[order_ == ByteOrder::Big ? i : size - 1 - i];
        }
        return value;
    }

    std::span<const std::uint8_t> bytes(std::uint64_t length) { return take(length); }
    void skip(std::uint64_t length) { take(length); }

    // A NUL-terminated string; the NUL is consumed, not returned.
    std::string cString() {
        for (std::size_t end = position_; end < data_.size(); ++end) {
            if (data_[end] == 0) {
                std::span<const std::uint8_t> text = take(end - position_);
                skip(1);
                return std::string(text.begin(), text.end());
            }
        }
        throw malformed("no NUL ends the string at byte " + std::to_string(position_));
    }

    // A reader of the same data from `offset`.
    ByteReader at(std::uint64_t offset) const {
        ByteReader moved(data_, order_);
        moved.skip(offset);
        return moved;
    }

    std::size_t position() const noexcept { return position_; }
    std::size_t remaining() const noexcept { return data_.size() - position_; }

private:
    std::span<const std::uint8_t> take(std::uint64_t length) {
        if (length > remaining()) {
            throw malformed("the data ends before " + std::to_string(length) + " bytes at byte " +
                            std::to_string(position_) + " (it has " + std::to_string(data_.size()) +
                            ")");
        }
        std::span<const std::uint8_t> taken =
            data_.subspan(position_, static_cast<std::size_t>(length));
        position_ += static_cast<std::size_t>(length);
        return taken;
    }

    static Error malformed(std::string what) {
        return Error(std::string(kFormatErrorDomain), format_code::kMalformed, std::move(what));
    }

    std::span<const std::uint8_t> data_;
    std::size_t position_ = 0;
    ByteOrder order_;
};

}  // namespace tessuro
