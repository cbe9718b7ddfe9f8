#include "install/payload_validation.h"

#include <memory>

#include "install/product.h"
#include "platform/error.h"

namespace tessuro::PayloadValidation {
namespace {

[[noreturn]] void rejected() {
    throw installerError("安装文件校验未通过，请重新下载安装包", installer_code::kValidationFailed);
}

// Apple's roots and nothing else: a service built without extra anchors.
const codesign::CodeSigning& appleRootsOnly() {
    static const codesign::CodeSigning service;
    return service;
}

// The payload's requirement checked on a code object the service made, or failed to make.
VerifiedBundle check(codesign::Status created, const codesign::StaticCode* code,
                     const codesign::CodeSigning& codeSigning,
                     codesign::VerificationSession* session = nullptr) {
    const std::string requirementText = payloadRequirement();
    std::unique_ptr<codesign::Requirement> requirement;
    if (created != codesign::kStatusOk) {
        rejected();
    }
    if (codeSigning.createRequirementWithString(requirementText, codesign::kDefaultFlags,
                                                requirement) != codesign::kStatusOk) {
        rejected();
    }
    if (code == nullptr || !requirement) {
        rejected();
    }
    VerifiedBundle verified;
    if (codeSigning.checkValidity(code, codesign::kCheckAllArchitectures, requirement.get(),
                                  nullptr, &verified, session) != codesign::kStatusOk) {
        rejected();
    }
    return verified;
}

}  // namespace

std::string payloadRequirement() {
    return std::string(payloadRequirementText);
}

VerifiedBundle validate(const std::filesystem::path& bundle,
                        const codesign::CodeSigning& codeSigning) {
    std::unique_ptr<codesign::StaticCode> code;
    const codesign::Status created =
        codeSigning.createStaticCodeWithPath(bundle, codesign::kDefaultFlags, code);
    return check(created, code.get(), codeSigning);
}

VerifiedBundle validate(int folder, const std::filesystem::path& shown,
                        const codesign::CodeSigning& codeSigning,
                        codesign::VerificationSession* session) {
    std::unique_ptr<codesign::StaticCode> code;
    const codesign::Status created =
        codeSigning.createStaticCodeWithFolder(folder, shown, codesign::kDefaultFlags, code);
    return check(created, code.get(), codeSigning, session);
}

VerifiedBundle validate(const std::filesystem::path& bundle) {
    return validate(bundle, appleRootsOnly());
}

}  // namespace tessuro::PayloadValidation
