#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tessuro {

// A string or data value counts one node more for every this many bytes it holds: about
// what a node costs libplist, so that a node bound is a bound on memory however the tree
// spends it.
inline constexpr std::uint64_t kPlistBytesPerNode = 128;

// The most a parse may build from one property list.
struct PlistTreeBounds {
    // Nodes on the longest path down from the top, the top included.
    std::size_t maxDepth = 0;
    // Nodes in the tree, a dictionary's keys included, plus one per kPlistBytesPerNode bytes
    // of each string or data.
    std::uint64_t maxNodes = 0;
};

enum class PlistCheck {
    Within,    // libplist builds a tree within the bounds, or refuses the data
    TooLarge,  // the tree would be deeper or larger than the bounds, or too slow to build
    Refused,   // libplist refuses the data, or might read it otherwise than these checks do
};

// libplist 2.2 frees (and copies) a tree by recursion, so a tree nested a few hundred
// thousand levels deep exhausts the stack; it builds a binary list's shared object anew each
// time the object is used, so 40 levels of arrays that each hold the next one twice make
// 2^40 nodes from a few hundred bytes; and nothing in it bounds how large a tree it builds.
// These checks run first, without recursion and in time linear in the data, and tell what
// the parse of `data` would build: XML as libplist's own reader moves through it (comments,
// processing instructions, a DOCTYPE and quoted attribute values skipped the way it skips
// them), binary by the object graph, a shared object counted each time it is used and
// containers referring to each other in a cycle refused.
PlistCheck checkXmlPlist(std::string_view data, const PlistTreeBounds& bounds);
PlistCheck checkBinaryPlist(std::string_view data, const PlistTreeBounds& bounds);

}  // namespace tessuro
