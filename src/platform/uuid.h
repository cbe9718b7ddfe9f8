#pragma once

#include <string>

namespace tessuro {

// The text of a fresh random (version 4) UUID: 36 characters, upper-case hexadecimal
// digits in groups of 8, 4, 4, 4 and 12 joined by hyphens.
std::string randomUuidText();

}  // namespace tessuro
