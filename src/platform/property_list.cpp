#include "platform/property_list.h"

#include "platform/error.h"
#include "platform/plist_depth.h"

namespace tessuro {

namespace {

[[noreturn]] void refuse(std::string_view source, std::string_view reason) {
    std::string text = "无法读取属性列表“";
    text += source;
    text += "”：";
    text += reason;
    throw Error(std::string(kPropertyListErrorDomain), property_list_code::kInvalid,
                std::move(text));
}

}  // namespace

PropertyList PropertyList::parse(std::string_view data, std::string_view source,
                                 const PropertyListLimits& limits) {
    constexpr std::string_view kTooLarge = "内容过大或嵌套过深";
    if (data.size() > limits.maxSize) {
        refuse(source, kTooLarge);
    }
    PlistCheck check = PlistCheck::Refused;
    if (!data.empty()) {
        const PlistTreeBounds bounds{kMaxDepth, limits.maxNodes};
        check = plist_is_binary(data.data(), static_cast<uint32_t>(data.size())) != 0
                    ? checkBinaryPlist(data, bounds)
                    : checkXmlPlist(data, bounds);
    }
    if (check == PlistCheck::TooLarge) {
        refuse(source, kTooLarge);
    }
    plist_t root = nullptr;
    if (check == PlistCheck::Within) {
        plist_from_memory(data.data(), static_cast<uint32_t>(data.size()), &root);
    }
    if (root == nullptr) {
        refuse(source, "内容不是有效的属性列表");
    }
    return PropertyList(root);
}

bool PropertyList::isDictionary() const noexcept {
    return plist_get_node_type(root()) == PLIST_DICT;
}

std::optional<std::string> PropertyList::stringForKey(std::string_view key) const {
    if (!isDictionary()) {
        return std::nullopt;
    }
    return plistString(plist_dict_get_item(root(), std::string(key).c_str()));
}

std::optional<std::string> plistString(plist_t node) {
    if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) {
        return std::nullopt;
    }
    uint64_t length = 0;
    const char* value = plist_get_string_ptr(node, &length);
    if (value == nullptr) {
        return std::string();
    }
    return std::string(value, static_cast<std::size_t>(length));
}

}  // namespace tessuro
