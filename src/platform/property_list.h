#pragma once

#include <plist/plist.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tessuro {

// The domain of property-list parse failures.
inline constexpr std::string_view kPropertyListErrorDomain = "PropertyList";

// How much of one kind of property list the installer reads: the largest document, in bytes
// (a file larger is refused unread), and the most nodes of the tree libplist builds from it
// (counted as PlistTreeBounds counts them, a node for every 128 bytes of text included).
// libplist 2.2 spends about 100 to 140 bytes on a node (measured on lists of a million
// nodes: 104 for a value without text, 128 for a dictionary's key with its value, 136 for a
// short string; 96 to 128 from a binary list), so a bound of N nodes keeps a tree to about
// N x 140 bytes.
struct PropertyListLimits {
    std::size_t maxSize = 0;
    std::uint64_t maxNodes = 0;
};

// One parsed property list (XML or binary), owning its libplist tree.
class PropertyList {
public:
    // Deepest nesting of arrays and dictionaries it accepts; real ones nest a few levels.
    static constexpr std::size_t kMaxDepth = 256;

    // An Info.plist: real ones hold a few hundred nodes, a few thousand at most; a hostile
    // one stays below about 14 MB.
    static constexpr PropertyListLimits kInfoPlistLimits{1u << 20, 100'000};

    // Parses XML or binary data. Fails with a PropertyList error when the data is not a
    // property list, or is larger or nests deeper than `limits` and kMaxDepth allow; `source`
    // names the data in that error's text.
    static PropertyList parse(std::string_view data, std::string_view source,
                              const PropertyListLimits& limits);

    plist_t root() const noexcept { return root_.get(); }
    bool isDictionary() const noexcept;

    // The value under `key` of a top-level dictionary when it is a string; nothing when the
    // top level is not a dictionary, the key is missing, or the value is of another type.
    std::optional<std::string> stringForKey(std::string_view key) const;

private:
    struct Free {
        void operator()(plist_t node) const noexcept { plist_free(node); }
    };
    explicit PropertyList(plist_t root) : root_(root) {}

    std::unique_ptr<void, Free> root_;
};

// The string held by a libplist node, or nothing when the node is missing or not a string.
std::optional<std::string> plistString(plist_t node);

}  // namespace tessuro
