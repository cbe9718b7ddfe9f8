#pragma once

#include <plist/plist.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tessuro {

// The domain of property-list parse failures.
inline constexpr std::string_view kPropertyListErrorDomain = "PropertyList";

// One parsed property list (XML or binary), owning its libplist tree.
class PropertyList {
public:
    // Largest property list the installer reads; anything larger is refused unread.
    static constexpr std::size_t kMaxSize = 64u << 20;
    // Deepest nesting of arrays and dictionaries it accepts; real ones nest a few levels.
    static constexpr std::size_t kMaxDepth = 256;

    // Parses XML or binary data. Fails with a PropertyList error when the data is not a
    // property list; `source` names the data in that error's text.
    static PropertyList parse(std::string_view data, std::string_view source);

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
