#pragma once

#include <string_view>

#include "product_config.h"

namespace tessuro {

// The bundle identifier and code-signing identifier of the application this installer
// carries. Running copies are found by it, the signature must name it, and an existing
// bundle at the destination is replaced only when it carries it.
inline constexpr std::string_view payloadBundleIdentifier = TESSURO_BUNDLE_IDENTIFIER;

// The team of the application's maker, named by the leaf certificate of its signature.
inline constexpr std::string_view payloadTeamIdentifier = TESSURO_TEAM_IDENTIFIER;

// The requirement the application's signature must meet.
inline constexpr std::string_view payloadRequirementText = TESSURO_REQUIREMENT;

// Name of the application bundle the installer puts in place.
inline constexpr std::string_view payloadBundleName = "Tessuro.app";

// The application's name in the desktop's menus and search.
inline constexpr std::string_view payloadDisplayName = "Tessuro";

}  // namespace tessuro
