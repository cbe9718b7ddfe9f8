#include "platform/plist_depth.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "platform/byte_reader.h"

namespace tessuro {
namespace {

// A binary property list: the header "bplist00", the objects, a table of their offsets,
// and a trailer of 32 bytes: six unused, the width of an offset and of an object
// reference, the number of objects, the top object and where the offset table starts.
constexpr std::size_t kHeaderSize = 8;
constexpr std::size_t kTrailerSize = 32;
constexpr std::size_t kTrailerUnused = 6;
constexpr std::size_t kMaxIntegerWidth = 8;

// An object's marker byte: its type in the high nibble, a small count in the low one, or
// kCountFollows when the count follows as an integer object.
constexpr unsigned kTypeArray = 0xA;
constexpr unsigned kTypeSet = 0xC;
constexpr unsigned kTypeDictionary = 0xD;
constexpr unsigned kTypeInteger = 0x1;
constexpr unsigned kCountFollows = 0xF;
constexpr unsigned kMaxCountWidthLog2 = 3;

struct Trailer {
    std::size_t offsetSize = 0;
    std::size_t refSize = 0;
    std::uint64_t count = 0;
    std::uint64_t top = 0;
    std::uint64_t table = 0;
};

[[noreturn]] void refuse(const std::string& what) {
    throw Error(std::string(kCodeSigningErrorDomain), codesign_code::kMalformed,
                "the binary property list " + what);
}

Trailer readTrailer(std::string_view data) {
    const std::uint64_t trailer = data.size() - kTrailerSize;
    ByteReader reader = ByteReader(data).at(trailer + kTrailerUnused);
    Trailer t;
    t.offsetSize = reader.u8();
    t.refSize = reader.u8();
    t.count = reader.u64();
    t.top = reader.u64();
    t.table = reader.u64();
    if (t.offsetSize == 0 || t.offsetSize > kMaxIntegerWidth || t.refSize == 0 ||
        t.refSize > kMaxIntegerWidth || t.count > data.size() || t.top >= t.count ||
        t.table > trailer || (trailer - t.table) / t.offsetSize < t.count) {
        refuse("has a trailer that does not hold together");
    }
    return t;
}

struct BinaryList {
    std::string_view data;
    std::size_t refSize = 0;
    std::vector<std::uint64_t> offsets;

    // The objects a container refers to; empty for every other kind of object.
    std::vector<std::uint64_t> children(std::uint64_t object) const {
        ByteReader reader = ByteReader(data).at(offsets[object]);
        const std::uint8_t marker = reader.u8();
        const unsigned type = marker >> 4;
        if (type != kTypeArray && type != kTypeSet && type != kTypeDictionary) {
            return {};
        }
        std::uint64_t count = marker & 0x0F;
        if (count == kCountFollows) {
            const std::uint8_t countMarker = reader.u8();
            if ((countMarker >> 4) != kTypeInteger || (countMarker & 0x0F) > kMaxCountWidthLog2) {
                refuse("gives a container's count in something else than a small integer");
            }
            count = reader.unsignedOfSize(std::size_t{1} << (countMarker & 0x0F));
        }
        const std::uint64_t refs = type == kTypeDictionary ? count * 2 : count;
        if (count > data.size() || refs > reader.remaining() / refSize) {
            refuse("has a container that runs past its end");
        }
        std::vector<std::uint64_t> result;
        result.reserve(static_cast<std::size_t>(refs));
        for (std::uint64_t i = 0; i < refs; ++i) {
            const std::uint64_t ref = reader.unsignedOfSize(refSize);
            if (ref >= offsets.size()) {
                refuse("refers to an object it does not have");
            }
            result.push_back(ref);
        }
        return result;
    }
};

BinaryList readList(std::string_view data, const Trailer& trailer) {
    BinaryList list{data, trailer.refSize, {}};
    list.offsets.reserve(static_cast<std::size_t>(trailer.count));
    ByteReader table = ByteReader(data).at(trailer.table);
    for (std::uint64_t i = 0; i < trailer.count; ++i) {
        const std::uint64_t offset = table.unsignedOfSize(trailer.offsetSize);
        if (offset >= data.size() - kTrailerSize) {
            refuse("places an object inside its trailer");
        }
        list.offsets.push_back(offset);
    }
    return list;
}

// The depth of every object from the top, walked without recursion; an object met again
// while it is still open is a cycle.
bool depthWithin(const BinaryList& list, std::uint64_t top, std::size_t maxDepth) {
    enum class State : std::uint8_t { New, Open, Done };
    std::vector<State> state(list.offsets.size(), State::New);
    std::vector<std::uint32_t> height(list.offsets.size(), 0);
    struct Frame {
        std::uint64_t object;
        std::vector<std::uint64_t> children;
        std::size_t next = 0;
    };
    std::vector<Frame> stack;
    auto open = [&](std::uint64_t object) {
        state[object] = State::Open;
        stack.push_back(Frame{object, list.children(object)});
        return stack.size() <= maxDepth;
    };
    if (!open(top)) {
        return false;
    }
    while (!stack.empty()) {
        Frame& frame = stack.back();
        if (frame.next < frame.children.size()) {
            const std::uint64_t child = frame.children[frame.next++];
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
    if (data.size() < kHeaderSize + kTrailerSize) {
        return true;  // too short to be parsed at all
    }
    try {
        const Trailer trailer = readTrailer(data);
        return depthWithin(readList(data, trailer), trailer.top, maxDepth);
    } catch (const Error&) {
        return false;
    }
}

}  // namespace tessuro
