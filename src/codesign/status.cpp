#include "codesign/status.h"

namespace tessuro::codesign {

const char* statusName(Status status) {
    switch (status) {
        case kStatusOk: return "valid";
        case kStatusNoSuchCode: return "no such bundle";
        case kStatusUnsigned: return "not signed";
        case kStatusMalformed: return "signature malformed";
        case kStatusComponentModified:
            return "Info.plist, CodeRequirements or CodeResources modified";
        case kStatusExecutableModified: return "main executable modified";
        case kStatusResourceModified: return "sealed resource modified";
        case kStatusResourceAdded: return "file added";
        case kStatusResourceMissing: return "sealed resource missing";
        case kStatusAdHoc: return "ad-hoc signature";
        case kStatusSignatureInvalid: return "CMS signature invalid";
        case kStatusUntrusted: return "certificate chain not trusted";
        case kStatusTeamMismatch: return "team identifier mismatch";
        case kStatusRequirementFailed: return "requirement not met";
        case kStatusUnsupported: return "unsupported feature";
        case kStatusRequirementSyntax: return "requirement syntax error";
        case kStatusInvalidFlags: return "invalid flags";
        case kStatusInvalidObject: return "invalid object";
        case kStatusUnsealedRoot: return "unsealed contents present in the bundle root";
        case kStatusInternalError: return "internal error";
    }
    return "unknown status";
}

Error codesignError(long code, std::string description) {
    return Error(std::string(kCodeSigningErrorDomain), code, std::move(description));
}

Error refusal(Status status, std::string detail) {
    return Error(std::string(kCheckRefusalDomain), status, std::move(detail));
}

Status statusOf(const Error& error) {
    if (error.domain() == kCheckRefusalDomain && error.code() > kStatusOk &&
        error.code() <= kStatusInternalError) {
        return static_cast<Status>(error.code());
    }
    if (error.domain() == kCodeSigningErrorDomain) {
        switch (error.code()) {
            case codesign_code::kUnsupported: return kStatusUnsupported;
            case codesign_code::kRequirementSyntax: return kStatusRequirementSyntax;
            case codesign_code::kCryptoFailed: return kStatusInternalError;
            default: break;
        }
    }
    return kStatusMalformed;
}

bool isCryptoFailure(const Error& error) noexcept {
    return error.domain() == kCodeSigningErrorDomain &&
           error.code() == codesign_code::kCryptoFailed;
}

}  // namespace tessuro::codesign
