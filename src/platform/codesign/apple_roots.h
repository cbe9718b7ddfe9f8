#pragma once

#include <string>
#include <vector>

namespace tessuro::codesign {

struct AppleRoot {
    const char* name;
    const char* sha256;  // of the DER, upper-case hexadecimal
    const char* base64Der;
};

const std::vector<AppleRoot>& appleRoots();

}  // namespace tessuro::codesign
