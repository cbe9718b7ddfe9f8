#include "codesign/signature_layout.h"

#include "codesign/status.h"

namespace tessuro::codesign::layout {

std::string alternateCodeDirectory(int index) {
    return std::string(kRequirements) + "-" + std::to_string(index);
}

std::string mainExecutable(const PropertyList& info) {
    const std::optional<std::string> name = info.stringForKey("CFBundleExecutable");
    if (!name) {
        return kInfoPlist;
    }
    if (name->empty() || name->find('/') != std::string::npos || *name == "." || *name == "..") {
        throw codesignError(codesign_code::kMalformed,
                            "CFBundleExecutable is not a file name: " + *name);
    }
    return std::string(kExecutableFolder) + "/" + *name;
}

}  // namespace tessuro::codesign::layout
