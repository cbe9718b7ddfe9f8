#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/codesign/blob.h"
#include "platform/codesign/digest.h"

namespace tessuro::codesign {

// How the sealed resources of a bundle compare with the disk.
enum class ResourceCheck {
    Intact,
    Malformed,    // CodeResources is not what a signer writes
    Modified,     // a sealed file's content or link target differs
    Added,        // a file that a rule covers has no entry
    Missing,      // an entry's file is gone
    Unsupported,  // nested code, or anything else this verifier cannot check
};

struct ResourceVerdict {
    ResourceCheck check = ResourceCheck::Intact;
    std::string path;  // the resource concerned, relative to Contents/
};

// Checks the files under `contentsFd` (a bundle's Contents folder) against a CodeResources
// property list, never following a link. `excluded` are paths relative to Contents/ that
// the seal leaves out besides the signature itself (the main executable). Digests of files
// unchanged since an earlier check come from `cache`, when one is given.
ResourceVerdict verifyResources(ByteView codeResources, int contentsFd,
                                const std::vector<std::string>& excluded,
                                DigestCache* cache = nullptr);

// Writes a CodeResources property list (version 2 with the default rules, and version 1 for
// old verifiers) for the files under `contentsFd`.
Bytes buildResources(int contentsFd, const std::vector<std::string>& excluded);

}  // namespace tessuro::codesign
