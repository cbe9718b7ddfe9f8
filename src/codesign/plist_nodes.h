#pragma once

#include <plist/plist.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "codesign/blob.h"

// Reading and writing the libplist nodes of the seal and of the CMS attributes.
namespace tessuro::codesign {

// Calls `visit(key, value)` for each entry of a dictionary until it answers false.
template <class Visit>
void forEachEntry(plist_t dict, Visit&& visit) {
    plist_dict_iter it = nullptr;
    plist_dict_new_iter(dict, &it);
    const std::unique_ptr<void, decltype(&std::free)> iterator(it, &std::free);
    for (;;) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(dict, it, &key, &value);
        if (key == nullptr) {
            break;
        }
        std::string name = key;
        std::free(key);
        if (!visit(name, value)) {
            break;
        }
    }
}

inline bool isOfType(plist_t node, plist_type type) {
    return node != nullptr && plist_get_node_type(node) == type;
}

// A Boolean entry of a dictionary; false when missing or of another type.
inline bool flagOf(plist_t dict, const char* name) {
    plist_t node = plist_dict_get_item(dict, name);
    std::uint8_t value = 0;
    if (isOfType(node, PLIST_BOOLEAN)) {
        plist_get_bool_val(node, &value);
    }
    return value != 0;
}

// The bytes of a buffer libplist allocated, which is freed.
inline Bytes takeBuffer(char* buffer, std::uint64_t length) {
    const std::unique_ptr<char, decltype(&std::free)> owned(buffer, &std::free);
    return Bytes(buffer, buffer + length);
}

// The bytes of a node of type PLIST_DATA.
inline Bytes dataOf(plist_t node) {
    char* data = nullptr;
    std::uint64_t length = 0;
    plist_get_data_val(node, &data, &length);
    return takeBuffer(data, length);
}

inline plist_t dataNode(ByteView bytes) {
    return plist_new_data(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// The XML text of a property list; the tree stays the caller's.
inline Bytes xmlOf(plist_t root) {
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(root, &xml, &length);
    return takeBuffer(xml, length);
}

}  // namespace tessuro::codesign
