#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "codesign/openssl_ptr.h"

namespace tessuro::codesign {

struct SigningIdentity {
    KeyPtr key;
    std::vector<X509Ptr> chain;  // the leaf first, then its issuers (the root may be left out)
};

struct SignOptions {
    std::optional<std::string> identifier = std::nullopt;   // CFBundleIdentifier when not given
    std::optional<std::string> requirement = std::nullopt;  // the designated requirement to record
    bool sha1Primary = false;  // also a SHA-1 CodeDirectory as primary, SHA-256 as alternate
    // The CodeDirectories ask that the certificates' expiry be enforced: once the leaf or an
    // issuer has expired, the signature is refused.
    bool enforceExpiry = false;
};

// The requirement a signer records when none is given: Apple's anchor, the identifier and,
// where the leaf names one, its team.
std::string defaultDesignatedRequirement(const std::string& identifier,
                                         const std::optional<std::string>& team);

// Signs the bundle in place: Contents/_CodeSignature is written anew, once everything it
// holds has been made. The bundle is read as the verifier reads it: below the bundle
// folder, never following a link, only from regular files. Throws tessuro::Error:
//  - code-signing domain, kNotSignable: anything beside Contents; no identifier (none
//    given and no CFBundleIdentifier); a main executable that carries its own signature,
//    or that a CodeDirectory cannot seal;
//  - code-signing domain, kMalformed: a malformed Mach-O main executable, or a
//    CFBundleExecutable that is not a file name;
//  - code-signing domain, kBadIdentity: no key or no certificate in the identity;
//  - code-signing domain, kRequirementSyntax or kUnsupported: a requirement that does not
//    parse, or that the encoder cannot write;
//  - code-signing domain, kCryptoFailed: OpenSSL's reason the CMS signature could not be
//    made (for instance a key that does not belong to the leaf);
//  - code-signing domain, kFileShrank: a file that shrank while it was hashed;
//  - the PropertyList domain: an Info.plist that is no property list;
//  - the POSIX domain, with errno: no bundle or Contents folder; a file or folder that
//    cannot be read, is a link or a special file; a signature file that cannot be written.
void signBundle(const std::filesystem::path& bundle, const SigningIdentity& identity,
                const SignOptions& options = {});

}  // namespace tessuro::codesign
