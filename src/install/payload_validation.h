#pragma once

#include <filesystem>

namespace tessuro::PayloadValidation {

// Returns when the bundle carries a valid signature that meets the payload's requirement;
// fails with code 2 and "安装文件校验未通过，请重新下载安装包" otherwise.
void validate(const std::filesystem::path& bundle);

}  // namespace tessuro::PayloadValidation
