#pragma once

#include <string>
#include <string_view>

#include "platform/error.h"

// How the signature code reports failure. A signature check answers with a Status; every
// other failure (the signer's, a parser's, the certificate maker's) is a thrown Error of
// the code-signing domain below.
namespace tessuro {

// The domain of code-signing failures: what the signer, the certificate maker and the
// readers of the signature's formats raise. A signature check answers with a
// codesign::Status instead; its own failures never reach the window.
inline constexpr std::string_view kCodeSigningErrorDomain = "CodeSigning";

// Codes in the code-signing domain.
namespace codesign_code {
inline constexpr long kMalformed = 1;          // data that does not hold together
inline constexpr long kUnsupported = 2;        // a form this code does not check or write
inline constexpr long kRequirementSyntax = 3;  // requirement text that does not parse
inline constexpr long kNotSignable = 4;        // a bundle the signer refuses as it stands
inline constexpr long kBadIdentity = 5;        // a key or certificate that cannot be used
inline constexpr long kCryptoFailed = 6;       // OpenSSL could not make what was asked
inline constexpr long kFileShrank = 7;         // a file ended before the length being hashed
}  // namespace codesign_code

}  // namespace tessuro

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
    // The check could not run: OpenSSL or the system failed it, not the bundle (a digest
    // that cannot be made, a thread that ends in a failure of its own). Fails closed.
    kStatusInternalError = 19,
};

const char* statusName(Status status);

// An Error of the code-signing domain with one of the codes of codesign_code.
Error codesignError(long code, std::string description);

// A check's refusal on its way up to CodeSigning::checkValidity, which answers with its
// status: an Error of this domain whose code is the Status and whose text says what failed.
inline constexpr std::string_view kCheckRefusalDomain = "CodeSigning.Check";
Error refusal(Status status, std::string detail);

// The status that ends a check stopped by `error`: a refusal's own; for a code-signing
// error, the status of its code (unsupported, requirement syntax, or internal error when
// OpenSSL failed); for anything else malformed, so that whatever cannot be read fails
// closed.
Status statusOf(const Error& error);

// Whether `error` says that OpenSSL failed (codesign_code::kCryptoFailed): not a fault of
// the data being checked, so never to be reported as one.
bool isCryptoFailure(const Error& error) noexcept;

}  // namespace tessuro::codesign
