#pragma once

#include <cstddef>
#include <string_view>

namespace tessuro {

// libplist parses nested containers by recursion, so a hostile property list nested a few
// hundred thousand levels deep (or a binary one whose containers refer to each other in a
// cycle) would exhaust the stack. These checks run first, without recursion: true when the
// data nests no deeper than `maxDepth` and, for a binary list, its containers form no cycle.
bool xmlPlistDepthWithin(std::string_view data, std::size_t maxDepth);
bool binaryPlistDepthWithin(std::string_view data, std::size_t maxDepth);

}  // namespace tessuro
