#include "install/payload_validation.h"

#include "platform/error.h"

namespace tessuro::PayloadValidation {

// The signature verifier is not part of this build yet. Until it is, no bundle can be
// shown to be genuine, so every bundle is refused: the check fails closed.
void validate(const std::filesystem::path&) {
    throw installerError("安装文件校验未通过，请重新下载安装包", 2);
}

}  // namespace tessuro::PayloadValidation
