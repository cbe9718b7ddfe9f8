#include "hostile_plists.h"

#include <vector>

namespace tessuro::test {
namespace {

using namespace std::string_literals;

constexpr char kXmlHead[] = "<?xml version=\"1.0\"?><plist version=\"1.0\">";

void put32(std::string& out, std::uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) {
        out.push_back(static_cast<char>(v >> s));
    }
}

// A binary property list of the given objects, each already encoded, the first the top;
// offsets are four bytes wide, references `refSize`.
std::string binaryList(const std::vector<std::string>& objects, char refSize) {
    std::string out = "bplist00";
    std::vector<std::uint32_t> offsets;
    for (const std::string& object : objects) {
        offsets.push_back(static_cast<std::uint32_t>(out.size()));
        out += object;
    }
    const auto table = static_cast<std::uint32_t>(out.size());
    for (std::uint32_t offset : offsets) {
        put32(out, offset);
    }
    out.append(6, '\0');
    out.push_back(4);
    out.push_back(refSize);
    for (std::uint64_t v :
         {std::uint64_t{objects.size()}, std::uint64_t{0}, std::uint64_t{table}}) {
        put32(out, static_cast<std::uint32_t>(v >> 32));
        put32(out, static_cast<std::uint32_t>(v));
    }
    return out;
}

// Arrays, `items[i]` the references of array i (fewer than 15), four bytes wide.
std::string binaryArrays(const std::vector<std::vector<std::uint32_t>>& items) {
    std::vector<std::string> objects;
    for (const std::vector<std::uint32_t>& refs : items) {
        std::string object(1, static_cast<char>(0xA0 | refs.size()));
        for (std::uint32_t ref : refs) {
            put32(object, ref);
        }
        objects.push_back(object);
    }
    return binaryList(objects, 4);
}

}  // namespace

std::string nestedXmlPlist(std::size_t depth) {
    std::string text = kXmlHead;
    for (std::size_t i = 0; i < depth; ++i) {
        text += "<array>";
    }
    for (std::size_t i = 0; i < depth; ++i) {
        text += "</array>";
    }
    return text + "</plist>";
}

std::string hiddenNestingXmlPlist(std::size_t depth, HiddenIn where) {
    const char* level = "";
    switch (where) {
        case HiddenIn::Comment: level = "<array><!--</array>-->"; break;
        case HiddenIn::Cdata: level = "<array><string><![CDATA[</array>]]></string>"; break;
        case HiddenIn::Doctype: level = "<array><!DOCTYPE plist [<!ENTITY x \"</array>\">]>"; break;
        case HiddenIn::Instruction: level = "<array><?x </array>?>"; break;
        case HiddenIn::Attribute: level = "<array x=\"</array>\">"; break;
    }
    std::string text = kXmlHead;
    for (std::size_t i = 0; i < depth; ++i) {
        text += level;
    }
    for (std::size_t i = 0; i < depth; ++i) {
        text += "</array>";
    }
    return text + "</plist>";
}

std::string chainedBinaryPlist(std::uint32_t count, std::optional<std::uint32_t> lastRef) {
    std::vector<std::vector<std::uint32_t>> items(count);
    for (std::uint32_t i = 0; i + 1 < count; ++i) {
        items[i] = {i + 1};
    }
    if (lastRef && count > 0) {
        items[count - 1] = {*lastRef};
    }
    return binaryArrays(items);
}

std::string doublingBinaryPlist(std::uint32_t levels) {
    std::vector<std::vector<std::uint32_t>> items(levels);
    for (std::uint32_t i = 0; i + 1 < levels; ++i) {
        items[i] = {i + 1, i + 1};
    }
    return binaryArrays(items);
}

std::string nulInKeyBinaryPlist() {
    // {"a\0": true}: a dictionary of one entry, the key two UTF-16 units, the second zero.
    return binaryList({"\xD1\x01\x02"s, "\x62\x00\x61\x00\x00"s, "\x09"s}, 1);
}

}  // namespace tessuro::test
