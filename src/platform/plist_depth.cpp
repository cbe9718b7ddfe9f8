#include "platform/plist_depth.h"

#include <algorithm>
#include <optional>
#include <span>
#include <vector>

#include "platform/byte_reader.h"

namespace tessuro {
namespace {

// Thrown inside a check to end it with its answer.
struct Verdict {
    PlistCheck check;
};

[[noreturn]] void refuse() {
    throw Verdict{PlistCheck::Refused};
}

[[noreturn]] void tooLarge() {
    throw Verdict{PlistCheck::TooLarge};
}

// --- XML ---------------------------------------------------------------------------------

// libplist replaces each entity in a string by moving the rest of the text over it, so a
// string of n entities costs it n times its length: a megabyte of "&amp;" takes seconds.
// Past this many bytes moved (a few tens of milliseconds), a list is too slow to read.
constexpr std::uint64_t kMaxEntityWork = std::uint64_t{1} << 32;

constexpr std::string_view kSpace = " \t\r\n";

// libplist 2.2 does not read XML with an XML parser but with a cursor that searches for the
// next character or string it needs: a comment ends at the first "-->", a processing
// instruction at the first "?>" outside double quotes, a DOCTYPE at its first ">" or, with an
// internal subset, at the first "]>" outside double quotes; a tag runs to the first ">"
// outside double quotes; a value's text runs to its closing tag, with comments and CDATA
// sections inside it; and comments, instructions and a DOCTYPE may come between any two
// tags. The tree grows as the tags come: a container opens when its tag does (an empty one
// only when it is the top) and closes at the closing tag that matches the innermost open one.
// This replays those moves on the same bytes and counts what the parse would build. Where
// the replay cannot follow libplist exactly it refuses the document, so that it never
// counts less than libplist would build.
class XmlReplay {
public:
    XmlReplay(std::string_view text, const PlistTreeBounds& bounds)
        : text_(text), bounds_(bounds) {}

    PlistCheck run() {
        try {
            while (true) {
                skip(kSpace);
                if (atEnd()) {
                    break;
                }
                if (text_[pos_] != '<') {
                    refuse();
                }
                ++pos_;
                if (atEnd()) {
                    refuse();
                }
                if (text_[pos_] == '?') {
                    find("?>", true);
                    expect("?>");
                } else if (text_[pos_] == '!') {
                    declaration();
                } else if (!tag()) {
                    return PlistCheck::Within;
                }
            }
            // libplist refuses a document that ends inside an element.
            return open_.empty() ? PlistCheck::Within : PlistCheck::Refused;
        } catch (const Verdict& verdict) {
            return verdict.check;
        }
    }

private:
    enum class Open : std::uint8_t { Plist, Array, Dict };

    bool atEnd() const noexcept { return pos_ >= text_.size(); }
    bool at(std::string_view s) const noexcept { return text_.substr(pos_).starts_with(s); }

    void skip(std::string_view chars) noexcept {
        while (!atEnd() && chars.find(text_[pos_]) != std::string_view::npos) {
            ++pos_;
        }
    }

    void findChar(char c) noexcept {
        while (!atEnd() && text_[pos_] != c) {
            ++pos_;
        }
    }

    // To the closing quote of the quoted text at the cursor, or to the end.
    void skipQuoted() noexcept {
        ++pos_;
        findChar('"');
    }

    // To the first of `stops`; with `quotes`, what lies between double quotes is passed over.
    void findAny(std::string_view stops, bool quotes) noexcept {
        while (!atEnd()) {
            if (quotes && text_[pos_] == '"') {
                skipQuoted();
                if (atEnd()) {
                    return;
                }
            }
            if (stops.find(text_[pos_]) != std::string_view::npos) {
                return;
            }
            ++pos_;
        }
    }

    // To the first `s` that starts before the last s.size() bytes (the caller looks at those
    // with expect); with `quotes`, what lies between double quotes is passed over.
    void find(std::string_view s, bool quotes) noexcept {
        while (pos_ + s.size() < text_.size()) {
            if (at(s)) {
                return;
            }
            if (quotes && text_[pos_] == '"') {
                skipQuoted();
                if (atEnd()) {
                    return;
                }
            }
            ++pos_;
        }
    }

    void expect(std::string_view s) {
        if (!at(s)) {
            refuse();
        }
        pos_ += s.size();
    }

    void count(std::uint64_t nodes) {
        nodes_ += nodes;
        if (nodes_ > bounds_.maxNodes) {
            tooLarge();
        }
    }

    // "<!": a comment or a DOCTYPE, nothing else.
    void declaration() {
        if (text_.size() - pos_ > 3 && at("!--")) {
            pos_ += 3;
            find("-->", false);
            expect("-->");
        } else if (text_.size() - pos_ > 8 && at("!DOCTYPE")) {
            pos_ += 8;
            bool subset = false;
            while (!atEnd()) {
                findAny(" \t\r\n[>", true);
                if (atEnd()) {
                    refuse();
                }
                if (text_[pos_] == '[') {
                    subset = true;
                    break;
                }
                if (text_[pos_] == '>') {
                    ++pos_;
                    break;
                }
                skip(kSpace);
            }
            if (subset) {
                find("]>", true);
                expect("]>");
            }
        } else {
            refuse();
        }
    }

    // A tag, the cursor after its "<". False when libplist reads no further.
    bool tag() {
        const std::size_t start = pos_;
        findAny(" \r\n\t<>", false);
        if (atEnd()) {
            refuse();
        }
        const std::size_t nameEnd = pos_;
        if (text_[pos_] != '>') {
            findAny("<>", true);
        }
        if (atEnd() || text_[pos_] != '>') {
            refuse();
        }
        const bool empty = text_[pos_ - 1] == '/';
        std::string_view name = text_.substr(start, nameEnd - start);
        if (empty && nameEnd == pos_) {
            name.remove_suffix(1);  // "<array/>"
        }
        if (name.find('\0') != std::string_view::npos) {
            refuse();  // libplist would compare the name only up to the NUL
        }
        ++pos_;

        if (name == "plist") {
            hasValue_ = false;
            if (open_.empty() && rootSeen_) {
                return false;  // a second list after the first
            }
            if (empty) {
                refuse();
            }
            if (!open_.empty()) {
                count(1);  // each inside another costs libplist an allocation until it closes
            }
            open_.push_back(Open::Plist);
            return true;
        }
        if (name == "/plist") {
            if (!hasValue_ || open_.empty() || open_.back() != Open::Plist) {
                refuse();
            }
            open_.pop_back();
            return true;
        }
        hasValue_ = true;
        if (name.starts_with('/')) {
            return close(name.substr(1));
        }
        std::optional<Open> container;
        std::uint64_t bytes = 0;
        if (name == "dict") {
            container = Open::Dict;
        } else if (name == "array") {
            container = Open::Array;
        } else if (name == "string" || name == "key") {
            if (!empty) {
                bytes = text(name, false, true);
                if (name == "key" && !haveKey_ && !parents_.empty() &&
                    parents_.back() == Open::Dict) {
                    haveKey_ = true;
                    keyBytes_ = bytes;
                    return true;
                }
            }
        } else if (name == "data") {
            bytes = empty ? 0 : text(name, true, false);
        } else if (name == "integer" || name == "real" || name == "date" || name == "true" ||
                   name == "false") {
            if (!empty) {
                text(name, true, false);
            }
        } else {
            refuse();
        }
        return attach(container, empty, bytes);
    }

    // A value's text up to its closing tag: text, comments and CDATA sections. The bytes of
    // text and CDATA, which the value holds at most.
    std::uint64_t text(std::string_view name, bool skipSpaceFirst, bool entities) {
        if (skipSpaceFirst) {
            skip(kSpace);
        }
        std::uint64_t bytes = 0;
        auto plain = [&](std::size_t from, std::size_t to) {
            bytes += to - from;
            if (entities) {
                entityWork(text_.substr(from, to - from));
            }
        };
        while (true) {
            const std::size_t from = pos_;
            findChar('<');
            if (atEnd()) {
                refuse();
            }
            const std::size_t to = pos_;
            ++pos_;
            if (atEnd()) {
                refuse();
            }
            if (text_[pos_] == '/') {
                plain(from, to);
                break;
            }
            if (text_[pos_] != '!') {
                refuse();
            }
            ++pos_;
            if (pos_ + 1 >= text_.size()) {
                refuse();
            }
            // Each comment or CDATA section splits the text into one more part, which costs
            // libplist an allocation until the value is read.
            if (at("--")) {
                plain(from, to);
                count(1);
                pos_ += 2;
                find("-->", false);
                expect("-->");
            } else if (at("[")) {
                ++pos_;
                if (pos_ + 8 >= text_.size() || !at("CDATA[")) {
                    refuse();
                }
                plain(from, to);
                count(1);
                pos_ += 6;
                const std::size_t cdata = pos_;
                find("]]>", false);
                bytes += pos_ - cdata;
                expect("]]>");
            } else {
                refuse();
            }
        }
        ++pos_;
        if (pos_ + name.size() >= text_.size() || !at(name)) {
            refuse();
        }
        pos_ += name.size();
        skip(kSpace);
        if (atEnd() || text_[pos_] != '>') {
            refuse();
        }
        ++pos_;
        return bytes;
    }

    // What replacing the entities of one part of a string's text costs libplist: each moves
    // the rest of the part.
    void entityWork(std::string_view part) {
        const auto entities = static_cast<std::uint64_t>(std::count(part.begin(), part.end(), '&'));
        if (entities == 0) {
            return;
        }
        if (part.size() > kMaxEntityWork / entities ||
            entityWork_ + entities * part.size() > kMaxEntityWork) {
            tooLarge();
        }
        entityWork_ += entities * part.size();
    }

    // A value into the tree: the top, or the next item of the innermost open container.
    bool attach(std::optional<Open> container, bool empty, std::uint64_t bytes) {
        const std::uint64_t nodes = 1 + bytes / kPlistBytesPerNode;
        if (parents_.size() + 1 > bounds_.maxDepth) {
            tooLarge();
        }
        if (!rootSeen_) {
            rootSeen_ = true;
            count(nodes);
            if (!container) {
                return false;  // a lone value is the whole list
            }
            // An empty container at the top still takes the values that follow it.
            parents_.push_back(*container);
            if (!empty) {
                open_.push_back(*container);
            }
            return true;
        }
        if (parents_.empty()) {
            refuse();  // libplist has stopped reading before it gets here
        }
        if (parents_.back() == Open::Dict) {
            if (!haveKey_) {
                refuse();
            }
            count(1 + keyBytes_ / kPlistBytesPerNode);
        }
        count(nodes);
        if (container && !empty) {
            parents_.push_back(*container);
            open_.push_back(*container);
        }
        haveKey_ = false;
        return true;
    }

    bool close(std::string_view name) {
        if (open_.empty() || open_.back() == Open::Plist ||
            name != (open_.back() == Open::Dict ? "dict" : "array")) {
            refuse();
        }
        open_.pop_back();
        parents_.pop_back();
        haveKey_ = false;
        return !parents_.empty();  // libplist stops when the top closes
    }

    std::string_view text_;
    PlistTreeBounds bounds_;
    std::size_t pos_ = 0;
    // What is open, innermost last: the containers of the tree (parents_) and the tags
    // that wait for their closing tag (open_). They differ by <plist> tags, which hold no
    // node, and by an empty container at the top, which has no closing tag.
    std::vector<Open> parents_;
    std::vector<Open> open_;
    bool rootSeen_ = false;
    bool hasValue_ = false;  // since the last <plist>, which must not close empty
    bool haveKey_ = false;   // a dictionary's key waits for its value
    std::uint64_t keyBytes_ = 0;
    std::uint64_t nodes_ = 0;
    std::uint64_t entityWork_ = 0;
};

// --- Binary ------------------------------------------------------------------------------

// A binary property list: the header "bplist00", the objects, a table of their offsets,
// and a trailer of 32 bytes: six unused, the width of an offset and of an object
// reference, the number of objects, the top object and where the offset table starts.
constexpr std::size_t kHeaderSize = 8;
constexpr std::size_t kTrailerSize = 32;
constexpr std::size_t kTrailerUnused = 6;
constexpr std::size_t kMaxIntegerWidth = 8;

// An object's marker byte: its type in the high nibble, a small count in the low one, or
// kCountFollows when the count follows as an integer object.
constexpr unsigned kTypeInteger = 0x1;
constexpr unsigned kTypeData = 0x4;
constexpr unsigned kTypeAscii = 0x5;
constexpr unsigned kTypeUtf16 = 0x6;
constexpr unsigned kTypeArray = 0xA;
constexpr unsigned kTypeSet = 0xC;
constexpr unsigned kTypeDictionary = 0xD;
constexpr unsigned kCountFollows = 0xF;
constexpr unsigned kMaxCountWidthLog2 = 3;
// libplist first makes room for four bytes of UTF-8 for each UTF-16 unit.
constexpr std::uint64_t kUtf8BytesPerUnit = 4;

struct Trailer {
    std::size_t offsetSize = 0;
    std::size_t refSize = 0;
    std::uint64_t count = 0;
    std::uint64_t top = 0;
    std::uint64_t table = 0;
};

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
        refuse();
    }
    return t;
}

// One object as the tree sees it: the references of a container, the bytes of a string
// or data.
struct Object {
    std::uint64_t refsAt = 0;
    std::uint64_t refs = 0;
    std::uint64_t nodes = 1;  // its own node and its bytes
};

class BinaryList {
public:
    BinaryList(std::string_view data, const Trailer& trailer) : data_(data), trailer_(trailer) {}

    Object object(std::uint64_t index) const {
        const std::uint64_t offset = ByteReader(data_)
                                         .at(trailer_.table + index * trailer_.offsetSize)
                                         .unsignedOfSize(trailer_.offsetSize);
        if (offset >= data_.size() - kTrailerSize) {
            refuse();  // inside the trailer or past it
        }
        ByteReader reader = ByteReader(data_).at(offset);
        const std::uint8_t marker = reader.u8();
        const unsigned type = marker >> 4;
        const bool container = type == kTypeArray || type == kTypeSet || type == kTypeDictionary;
        if (!container && type != kTypeData && type != kTypeAscii && type != kTypeUtf16) {
            return Object{};
        }
        std::uint64_t count = marker & 0x0F;
        if (count == kCountFollows) {
            const std::uint8_t countMarker = reader.u8();
            if ((countMarker >> 4) != kTypeInteger || (countMarker & 0x0F) > kMaxCountWidthLog2) {
                refuse();
            }
            count = reader.unsignedOfSize(std::size_t{1} << (countMarker & 0x0F));
        }
        if (count > reader.remaining()) {
            refuse();  // runs past the end
        }
        if (type == kTypeUtf16) {
            // libplist turns U+0000 into a NUL inside the string, and then asserts (aborting
            // the process) that the string's length is that of its text when it is read as
            // a dictionary's key.
            const std::span<const std::uint8_t> units =
                reader.bytes(std::min(count * 2, reader.remaining()));
            for (std::size_t i = 0; i + 1 < units.size(); i += 2) {
                if (units[i] == 0 && units[i + 1] == 0) {
                    refuse();
                }
            }
        }
        if (!container) {
            const std::uint64_t bytes = type == kTypeUtf16 ? count * kUtf8BytesPerUnit : count;
            return Object{0, 0, 1 + bytes / kPlistBytesPerNode};
        }
        const std::uint64_t refs = type == kTypeDictionary ? count * 2 : count;
        if (refs > reader.remaining() / trailer_.refSize) {
            refuse();
        }
        return Object{reader.position(), refs, 1};
    }

    std::uint64_t ref(const Object& container, std::uint64_t i) const {
        const std::uint64_t ref = ByteReader(data_)
                                      .at(container.refsAt + i * trailer_.refSize)
                                      .unsignedOfSize(trailer_.refSize);
        if (ref >= trailer_.count) {
            refuse();  // an object it does not have
        }
        return ref;
    }

private:
    std::string_view data_;
    Trailer trailer_;
};

// The depth and the nodes of the tree below the top, walked without recursion: each object
// once, its height and nodes remembered for the next reference to it; an object met again
// while it is still open is a cycle.
PlistCheck measure(const BinaryList& list, const Trailer& trailer, const PlistTreeBounds& bounds) {
    enum class State : std::uint8_t { New, Open, Done };
    const auto count = static_cast<std::size_t>(trailer.count);
    std::vector<State> state(count, State::New);
    std::vector<std::uint32_t> height(count, 0);
    std::vector<std::uint64_t> nodes(count, 0);
    struct Frame {
        std::uint64_t index;
        Object object;
        std::uint64_t next = 0;
        std::uint64_t height = 1;
        std::uint64_t nodes = 0;
    };
    std::vector<Frame> stack;
    auto open = [&](std::uint64_t index) {
        if (stack.size() + 1 > bounds.maxDepth) {
            tooLarge();
        }
        state[index] = State::Open;
        const Object object = list.object(index);
        stack.push_back(Frame{index, object, 0, 1, object.nodes});
    };
    // A finished child (or one seen before) into its parent's height and nodes.
    auto absorb = [&](Frame& parent, std::uint64_t childHeight, std::uint64_t childNodes) {
        parent.height = std::max(parent.height, childHeight + 1);
        parent.nodes += childNodes;  // both at most maxNodes: no overflow
        if (parent.height > bounds.maxDepth || parent.nodes > bounds.maxNodes) {
            tooLarge();
        }
    };
    open(trailer.top);
    while (true) {
        Frame& frame = stack.back();
        if (frame.nodes > bounds.maxNodes) {
            tooLarge();
        }
        if (frame.next < frame.object.refs) {
            const std::uint64_t child = list.ref(frame.object, frame.next++);
            switch (state[child]) {
                case State::Open: refuse();  // a cycle
                case State::New: open(child); break;
                case State::Done: absorb(frame, height[child], nodes[child]); break;
            }
            continue;
        }
        const Frame done = frame;
        state[done.index] = State::Done;
        height[done.index] = static_cast<std::uint32_t>(done.height);
        nodes[done.index] = done.nodes;
        stack.pop_back();
        if (stack.empty()) {
            return PlistCheck::Within;
        }
        absorb(stack.back(), done.height, done.nodes);
    }
}

}  // namespace

PlistCheck checkXmlPlist(std::string_view data, const PlistTreeBounds& bounds) {
    return XmlReplay(data, bounds).run();
}

PlistCheck checkBinaryPlist(std::string_view data, const PlistTreeBounds& bounds) {
    if (data.size() < kHeaderSize + kTrailerSize) {
        return PlistCheck::Refused;  // too short to be parsed at all
    }
    try {
        const Trailer trailer = readTrailer(data);
        // A writer writes each object it uses, and each is used at least once: a list of
        // more objects than the tree may have nodes is refused before any table is made.
        if (trailer.count > bounds.maxNodes) {
            return PlistCheck::TooLarge;
        }
        return measure(BinaryList(data, trailer), trailer, bounds);
    } catch (const Verdict& verdict) {
        return verdict.check;
    } catch (const Error&) {
        return PlistCheck::Refused;  // the data ends inside something it starts
    }
}

}  // namespace tessuro
