#pragma once

#include <string>
#include <vector>

#include "codesign/blob.h"
#include "codesign/digest.h"

namespace tessuro::codesign {

// Checks the files under `contentsFd` (a bundle's Contents folder) against a CodeResources
// property list, never following a link: every file a rule seals has its entry and matches
// it, every entry has its file unless it is optional. `excluded` are paths relative to
// Contents/ that the seal leaves out besides the signature itself (the main executable).
// Digests of files unchanged since an earlier check come from `cache`, when one is given.
// Returns the regular files with an execute bit that no seal covers (relative to
// Contents/): what the rules leave out and what lies where no seal looks, but neither
// `excluded` nor Info.plist, which the CodeDirectory seals. Throws a refusal (status.h):
// malformed, resource modified, added or missing with the path, or unsupported for nested
// code. A failure that says nothing of the files (OpenSSL's, no memory) is thrown as it
// was, once every thread the check started has ended.
std::vector<std::string> checkResourceSeal(ByteView codeResources, int contentsFd,
                                           const std::vector<std::string>& excluded,
                                           DigestCache* cache = nullptr);

}  // namespace tessuro::codesign
