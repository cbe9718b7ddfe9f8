#pragma once

#include <filesystem>
#include <string>

#include "platform/codesign/code_signing.h"

namespace tessuro::PayloadValidation {

// The requirement every payload must meet (the product's, see install/product.h): Apple's
// anchor, the payload's identifier, and the maker's team as the leaf certificate's
// organisational unit.
std::string payloadRequirement();

// Returns when the bundle carries a valid signature that meets the payload's requirement,
// trusting Apple's roots alone (never a development build's anchors: the application
// passes its own service to the other overload); fails with
// installer_code::kValidationFailed and "安装文件校验未通过，请重新下载安装包" otherwise.
void validate(const std::filesystem::path& bundle);

// The same against a given code-signing service, whose anchors it trusts.
void validate(const std::filesystem::path& bundle, const codesign::CodeSigning& codeSigning);

}  // namespace tessuro::PayloadValidation
