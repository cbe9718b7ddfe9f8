#pragma once

#include <string_view>

namespace tessuro {

// The bundle identifier and code-signing identifier of the application this installer
// carries. Running copies are found by it, the signature must name it, and an existing
// bundle at the destination is replaced only when it carries it.
inline constexpr std::string_view payloadBundleIdentifier = "com.vorlak.tessuro.psvalidation";

// Name of the application bundle the installer puts in place.
inline constexpr std::string_view payloadBundleName = "Tessuro.app";

}  // namespace tessuro
