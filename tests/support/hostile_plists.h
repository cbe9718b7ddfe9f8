#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace tessuro::test {

// Property lists that would crash or exhaust a parse that trusts them, for any layer's
// tests to plant where the installer reads one.

// `depth` arrays, each inside the one before: libplist frees a tree by recursion, and a
// few hundred thousand levels exhaust the stack.
std::string nestedXmlPlist(std::size_t depth);

// Where a closing tag can stand so that a reader counting tags sees it and libplist does
// not: in a comment, in a string's CDATA section, in a DOCTYPE's internal subset, in a
// processing instruction, in a quoted attribute value.
enum class HiddenIn { Comment, Cdata, Doctype, Instruction, Attribute };

// `depth` arrays, each inside the one before, each followed by an "</array>" that libplist
// skips: to a reader counting tags the nesting never passes one level.
std::string hiddenNestingXmlPlist(std::size_t depth, HiddenIn where);

// A binary property list of `count` arrays, each holding the next one (the last holds
// `lastRef` if given: a reference back makes a cycle).
std::string chainedBinaryPlist(std::uint32_t count, std::optional<std::uint32_t> lastRef = {});

// A binary property list of `levels` arrays, each holding the next one twice: a few bytes a
// level, and a tree of 2^levels - 1 nodes when each use of an object becomes a node.
std::string doublingBinaryPlist(std::uint32_t levels);

// A binary property list whose one dictionary key, in UTF-16, holds U+0000: libplist keeps
// the NUL inside the key, and asserts (aborting) when it hands the key out.
std::string nulInKeyBinaryPlist();

}  // namespace tessuro::test
