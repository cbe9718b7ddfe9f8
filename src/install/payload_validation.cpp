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

}  // namespace

std::string payloadRequirement() {
    return std::string(payloadRequirementText);
}

void validate(const std::filesystem::path& bundle, const codesign::CodeSigning& codeSigning) {
    const std::string requirementText = payloadRequirement();
    std::unique_ptr<codesign::StaticCode> code;
    std::unique_ptr<codesign::Requirement> requirement;
    if (codeSigning.createStaticCodeWithPath(bundle, codesign::kDefaultFlags, code) !=
        codesign::kStatusOk) {
        rejected();
    }
    if (codeSigning.createRequirementWithString(requirementText, codesign::kDefaultFlags,
                                                requirement) != codesign::kStatusOk) {
        rejected();
    }
    if (!code || !requirement) {
        rejected();
    }
    if (codeSigning.checkValidity(code.get(), codesign::kCheckAllArchitectures,
                                  requirement.get()) != codesign::kStatusOk) {
        rejected();
    }
}

void validate(const std::filesystem::path& bundle) {
    validate(bundle, appleRootsOnly());
}

}  // namespace tessuro::PayloadValidation
