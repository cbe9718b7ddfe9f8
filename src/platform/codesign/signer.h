#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/codesign/openssl_ptr.h"

namespace tessuro::codesign {

struct SigningIdentity {
    KeyPtr key;
    std::vector<X509Ptr> chain;  // the leaf first, then its issuers (the root may be left out)
};

struct SignOptions {
    std::optional<std::string> identifier = std::nullopt;   // CFBundleIdentifier when not given
    std::optional<std::string> requirement = std::nullopt;  // the designated requirement to record
    bool sha1Primary = false;  // also a SHA-1 CodeDirectory as primary, SHA-256 as alternate
};

// The requirement a signer records when none is given: Apple's anchor, the identifier and,
// where the leaf names one, its team.
std::string defaultDesignatedRequirement(const std::string& identifier,
                                         const std::optional<std::string>& team);

// Signs the bundle in place: Contents/_CodeSignature is written anew. Throws
// std::runtime_error saying what is wrong.
void signBundle(const std::filesystem::path& bundle, const SigningIdentity& identity,
                const SignOptions& options = {});

}  // namespace tessuro::codesign
