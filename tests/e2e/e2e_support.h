#pragma once

#include <filesystem>
#include <map>
#include <string>

namespace tessuro::e2e {

// The built installer bundle, the development root it trusts, and the signing tool.
std::filesystem::path builtInstaller();
std::filesystem::path developmentIdentity();
std::filesystem::path signingTool();
std::filesystem::path sandboxScript();

// A copy of the installer bundle: what a user downloads, and what a test may tamper with.
std::filesystem::path copyInstaller(const std::filesystem::path& into);

// An older build of the payload, signed by the development identity: what a previous
// installation left in place.
void makeOlderSignedPayload(const std::filesystem::path& installer, const std::filesystem::path& to,
                            const std::string& version);

// The payload's signature checked as the installer does, with the development root.
bool passesValidation(const std::filesystem::path& bundle);

}  // namespace tessuro::e2e
