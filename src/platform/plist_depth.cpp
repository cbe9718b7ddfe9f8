#include "platform/plist_depth.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace tessuro {
namespace {

// A big-endian unsigned integer of `size` bytes at `offset`, bounds-checked.
std::optional<std::uint64_t> readUnsigned(std::string_view data, std::uint64_t offset,
                                          std::size_t size) {
    if (size == 0 || size > 8 || offset > data.size() || data.size() - offset < size) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i) {
        value = (value << 8) | static_cast<std::uint8_t>(data[offset + i]);
    }
    return value;
}

struct BinaryList {
    std::string_view data;
    std::size_t refSize = 0;
    std::vector<std::uint64_t> offsets;

    // The objects a container refers to; empty for every other kind of object. Nothing when
    // the container runs past the data.
    std::optional<std::vector<std::uint64_t>> children(std::uint64_t object) const {
        std::uint64_t at = offsets[object];
        auto marker = readUnsigned(data, at, 1);
        if (!marker) {
            return std::nullopt;
        }
        unsigned type = static_cast<unsigned>(*marker >> 4);
        if (type != 0xA && type != 0xC && type != 0xD) {
            return std::vector<std::uint64_t>{};
        }
        std::uint64_t count = *marker & 0x0F;
        ++at;
        if (count == 0x0F) {  // the count follows as an integer object
            auto intMarker = readUnsigned(data, at, 1);
            if (!intMarker || (*intMarker >> 4) != 0x1 || (*intMarker & 0x0F) > 3) {
                return std::nullopt;
            }
            std::size_t bytes = std::size_t{1} << (*intMarker & 0x0F);
            auto value = readUnsigned(data, at + 1, bytes);
            if (!value) {
                return std::nullopt;
            }
            count = *value;
            at += 1 + bytes;
        }
        std::uint64_t refs = type == 0xD ? count * 2 : count;
        if (count > data.size() ||
            refs * refSize > data.size() - std::min<std::uint64_t>(at, data.size())) {
            return std::nullopt;
        }
        std::vector<std::uint64_t> result;
        result.reserve(static_cast<std::size_t>(refs));
        for (std::uint64_t i = 0; i < refs; ++i) {
            auto ref = readUnsigned(data, at + i * refSize, refSize);
            if (!ref || *ref >= offsets.size()) {
                return std::nullopt;
            }
            result.push_back(*ref);
        }
        return result;
    }
};

}  // namespace

bool xmlPlistDepthWithin(std::string_view data, std::size_t maxDepth) {
    std::size_t depth = 0;
    for (std::size_t at = data.find('<'); at != std::string_view::npos;
         at = data.find('<', at + 1)) {
        std::string_view rest = data.substr(at + 1);
        bool closing = !rest.empty() && rest.front() == '/';
        if (closing) {
            rest.remove_prefix(1);
        }
        bool container = rest.substr(0, 5) == "array" || rest.substr(0, 4) == "dict";
        if (!container) {
            continue;
        }
        std::size_t end = data.find('>', at);
        if (end == std::string_view::npos) {
            return true;  // unterminated: the parser refuses it
        }
        if (data[end - 1] == '/') {
            continue;  // <array/>
        }
        if (closing) {
            depth = depth > 0 ? depth - 1 : 0;
        } else if (++depth > maxDepth) {
            return false;
        }
    }
    return true;
}

bool binaryPlistDepthWithin(std::string_view data, std::size_t maxDepth) {
    if (data.size() < 8 + 32) {
        return true;  // too short to be parsed at all
    }
    const std::uint64_t trailer = data.size() - 32;
    auto offsetSize = readUnsigned(data, trailer + 6, 1);
    auto refSize = readUnsigned(data, trailer + 7, 1);
    auto count = readUnsigned(data, trailer + 8, 8);
    auto top = readUnsigned(data, trailer + 16, 8);
    auto table = readUnsigned(data, trailer + 24, 8);
    if (!offsetSize || !refSize || !count || !top || !table || *offsetSize == 0 ||
        *offsetSize > 8 || *refSize == 0 || *refSize > 8 || *count > data.size() ||
        *top >= *count || *table > trailer || (trailer - *table) / *offsetSize < *count) {
        return false;
    }
    BinaryList list{data, static_cast<std::size_t>(*refSize), {}};
    list.offsets.reserve(static_cast<std::size_t>(*count));
    for (std::uint64_t i = 0; i < *count; ++i) {
        auto offset =
            readUnsigned(data, *table + i * *offsetSize, static_cast<std::size_t>(*offsetSize));
        if (!offset || *offset >= trailer) {
            return false;
        }
        list.offsets.push_back(*offset);
    }

    // Depth of every object from the top, iteratively; an object met again while it is still
    // open is a cycle.
    enum class State : std::uint8_t { New, Open, Done };
    std::vector<State> state(static_cast<std::size_t>(*count), State::New);
    std::vector<std::uint32_t> height(static_cast<std::size_t>(*count), 0);
    struct Frame {
        std::uint64_t object;
        std::vector<std::uint64_t> children;
        std::size_t next = 0;
    };
    std::vector<Frame> stack;
    auto open = [&](std::uint64_t object) {
        auto children = list.children(object);
        if (!children) {
            return false;
        }
        state[object] = State::Open;
        stack.push_back(Frame{object, std::move(*children)});
        return stack.size() <= maxDepth;
    };
    if (!open(*top)) {
        return false;
    }
    while (!stack.empty()) {
        Frame& frame = stack.back();
        if (frame.next < frame.children.size()) {
            std::uint64_t child = frame.children[frame.next++];
            if (state[child] == State::Open) {
                return false;  // a cycle
            }
            if (state[child] == State::New && !open(child)) {
                return false;
            }
            continue;
        }
        std::uint32_t own = 1;
        for (std::uint64_t child : frame.children) {
            own = std::max(own, height[child] + 1);
        }
        if (own > maxDepth) {
            return false;
        }
        height[frame.object] = own;
        state[frame.object] = State::Done;
        stack.pop_back();
    }
    return true;
}

}  // namespace tessuro
