#pragma once

#include <filesystem>
#include <string>

#include "platform/codesign/code_signing.h"

namespace tessuro::PayloadValidation {

// The requirement every payload must meet: Apple's anchor, the payload's identifier, and
// the maker's team as the leaf certificate's organisational unit.
std::string payloadRequirement();

// Returns when the bundle carries a valid signature that meets the payload's requirement;
// fails with code 2 and "安装文件校验未通过，请重新下载安装包" otherwise.
void validate(const std::filesystem::path& bundle);

// The same against a given code-signing service (its anchors).
void validate(const std::filesystem::path& bundle, const codesign::CodeSigning& codeSigning);

// The service validate() uses: Apple's roots, and the anchors this build was made to trust.
const codesign::CodeSigning& installerCodeSigning();

}  // namespace tessuro::PayloadValidation
