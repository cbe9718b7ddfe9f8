#pragma once

#include <string>
#include <vector>

#include "codesign/blob.h"

namespace tessuro::codesign {

// A CodeResources property list for the files under `contentsFd` (a bundle's Contents
// folder): version 2 with the default rules, and version 1 for old verifiers. `excluded`
// are paths below Contents/ left out besides the signature (the main executable). Throws
// the Error of the item that cannot be read (a special file, an unreadable one).
Bytes buildResourceSeal(int contentsFd, const std::vector<std::string>& excluded);

}  // namespace tessuro::codesign
