// The property-list pre-check against libplist itself, on any bytes: whenever the check
// says a list is within its bounds, the tree libplist builds from it is within them too.
// The bounds are small, so that a list the check misjudges is found at a few kilobytes,
// long before one could crash libplist: 16 levels, and 500 nodes, which shared binary
// objects reach from a few dozen bytes and XML from 3.5 KB of "<true/>".
#include <plist/plist.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/plist_depth.h"

namespace {

constexpr tessuro::PlistTreeBounds kBounds{16, 500};

struct Shape {
    std::uint64_t depth = 0;
    std::uint64_t nodes = 0;
};

// A node and its text, counted as the check counts them.
std::uint64_t nodesOf(std::uint64_t bytes) {
    return 1 + bytes / tessuro::kPlistBytesPerNode;
}

// The depth and nodes of the tree libplist built, walked without recursion.
Shape shapeOf(plist_t root) {
    Shape shape;
    std::vector<std::pair<plist_t, std::uint64_t>> todo{{root, 1}};
    while (!todo.empty()) {
        const auto [node, depth] = todo.back();
        todo.pop_back();
        shape.depth = std::max(shape.depth, depth);
        std::uint64_t length = 0;
        switch (plist_get_node_type(node)) {
            case PLIST_STRING:
                plist_get_string_ptr(node, &length);
                shape.nodes += nodesOf(length);
                break;
            case PLIST_DATA:
                plist_get_data_ptr(node, &length);
                shape.nodes += nodesOf(length);
                break;
            case PLIST_ARRAY: {
                shape.nodes += 1;
                plist_array_iter iter = nullptr;
                plist_array_new_iter(node, &iter);
                for (plist_t item = nullptr;;) {
                    plist_array_next_item(node, iter, &item);
                    if (item == nullptr) {
                        break;
                    }
                    todo.emplace_back(item, depth + 1);
                }
                std::free(iter);
                break;
            }
            case PLIST_DICT: {
                shape.nodes += 1;
                plist_dict_iter iter = nullptr;
                plist_dict_new_iter(node, &iter);
                while (true) {
                    char* key = nullptr;
                    plist_t value = nullptr;
                    plist_dict_next_item(node, iter, &key, &value);
                    if (value == nullptr) {
                        std::free(key);
                        break;
                    }
                    shape.nodes += nodesOf(key != nullptr ? std::strlen(key) : 0);
                    std::free(key);
                    todo.emplace_back(value, depth + 1);
                }
                std::free(iter);
                break;
            }
            default: shape.nodes += 1; break;
        }
    }
    return shape;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto length = static_cast<std::uint32_t>(size);
    const bool binary = plist_is_binary(text.data(), length) != 0;
    const tessuro::PlistCheck check =
        binary ? tessuro::checkBinaryPlist(text, kBounds) : tessuro::checkXmlPlist(text, kBounds);
    if (check != tessuro::PlistCheck::Within) {
        return 0;  // refused before libplist sees it: nothing to compare
    }
    plist_t root = nullptr;
    plist_from_memory(text.data(), length, &root);
    if (root == nullptr) {
        return 0;
    }
    const Shape shape = shapeOf(root);
    if (shape.depth > kBounds.maxDepth || shape.nodes > kBounds.maxNodes) {
        std::fprintf(stderr, "the check said within, libplist built %llu levels and %llu nodes\n",
                     static_cast<unsigned long long>(shape.depth),
                     static_cast<unsigned long long>(shape.nodes));
        std::abort();
    }
    plist_free(root);
    return 0;
}
