#pragma once

#include <string>
#include <string_view>

#include "platform/error.h"

// How the signature code reports failure. A signature check answers with a Status; every
// other failure (the signer's, a parser's, the certificate maker's) is a thrown Error of
// the code-signing domain (error_codes.h).
namespace tessuro::codesign {

// The verdict of a signature check: kStatusOk, or the kind of failure. It is meant for
// tools and tests; the installer's window never shows it.
enum Status : int {
    kStatusOk = 0,
    kStatusNoSuchCode = 1,          // no bundle folder at the path
    kStatusUnsigned = 2,            // no signature at all
    kStatusMalformed = 3,           // signature data that a signer does not write
    kStatusComponentModified = 4,   // Info.plist, CodeRequirements or CodeResources changed
    kStatusExecutableModified = 5,  // the main executable changed
    kStatusResourceModified = 6,    // a sealed file or link changed
    kStatusResourceAdded = 7,       // a file the seal covers has no entry
    kStatusResourceMissing = 8,     // a sealed file is gone
    kStatusAdHoc = 9,               // signed without an identity
    kStatusSignatureInvalid = 10,   // the CMS does not verify or names other CodeDirectories
    kStatusUntrusted = 11,          // the certificates do not reach an anchor
    kStatusTeamMismatch = 12,       // the CodeDirectory's team is not the leaf's OU
    kStatusRequirementFailed = 13,  // valid, but the requirement is not met
    kStatusUnsupported = 14,        // a feature this verifier cannot check: fails closed
    kStatusRequirementSyntax = 15,  // the requirement text does not parse
    kStatusInvalidFlags = 16,
    kStatusInvalidObject = 17,
    kStatusUnsealedRoot = 18,  // the bundle's top level holds something beside Contents
};

const char* statusName(Status status);

// An Error of the code-signing domain with one of the codes of codesign_code.
Error codesignError(long code, std::string description);

// A check's refusal on its way up to CodeSigning::checkValidity, which answers with its
// status: an Error of this domain whose code is the Status and whose text says what failed.
inline constexpr std::string_view kCheckRefusalDomain = "CodeSigning.Check";
Error refusal(Status status, std::string detail);

// The status that ends a check stopped by `error`: a refusal's own; for a code-signing
// error, the status of its code (unsupported or malformed); for anything else malformed,
// so that whatever cannot be read fails closed.
Status statusOf(const Error& error);

}  // namespace tessuro::codesign
