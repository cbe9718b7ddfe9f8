#pragma once

#include <filesystem>
#include <string>

#include "codesign/code_signing.h"
#include "platform/bundle.h"

namespace tessuro::PayloadValidation {

// The requirement every payload must meet (the product's, see install/product.h): Apple's
// anchor, the payload's identifier, and the maker's team as the leaf certificate's
// organisational unit.
std::string payloadRequirement();

// Returns what the check vouched for when the bundle carries a valid signature that meets
// the payload's requirement, trusting Apple's roots alone (never a development build's
// anchors: the application passes its own service to the other overloads); fails with
// installer_code::kValidationFailed and "安装文件校验未通过，请重新下载安装包" otherwise.
VerifiedBundle validate(const std::filesystem::path& bundle);

// The same against a given code-signing service, whose anchors it trusts.
VerifiedBundle validate(const std::filesystem::path& bundle,
                        const codesign::CodeSigning& codeSigning);

// The same for the bundle whose folder `folder` holds: what is checked is that folder,
// whatever stands at `shown` (its path, for messages) meanwhile. The check runs in
// `session` when one is given.
VerifiedBundle validate(int folder, const std::filesystem::path& shown,
                        const codesign::CodeSigning& codeSigning,
                        codesign::VerificationSession* session = nullptr);

}  // namespace tessuro::PayloadValidation
