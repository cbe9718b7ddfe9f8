#pragma once

#include <string>
#include <vector>

#include "platform/codesign/blob.h"
#include "platform/codesign/digest.h"
#include "platform/codesign/openssl_ptr.h"

namespace tessuro::codesign {

// One CodeDirectory as the CMS attributes name it.
struct CodeDirectoryHashes {
    HashType type;
    Bytes cdhash;    // truncated to 20 bytes
    Bytes fullHash;  // the whole digest of the blob
};

struct CmsVerdict {
    enum class Result { Valid, AdHoc, Malformed, SignatureInvalid, Untrusted };
    Result result = Result::Malformed;
    CertificateStackPtr chain;  // leaf first, anchor last
    std::string detail;
};

// Verifies the detached CMS signature over the primary CodeDirectory, builds the signer's
// chain to one of `anchors` (the CMS certificates serve as intermediates), and checks that
// Apple's cdhash attributes, where present, name exactly `codeDirectories`.
CmsVerdict verifyCms(ByteView cms, ByteView primaryCodeDirectory, const std::vector<X509*>& anchors,
                     const std::vector<CodeDirectoryHashes>& codeDirectories);

// A detached CMS signature over the primary CodeDirectory by `key` and `leaf`, with the
// other certificates of the chain embedded and Apple's cdhash attributes.
Bytes signCms(ByteView primaryCodeDirectory, EVP_PKEY* key, X509* leaf,
              const std::vector<X509*>& chain,
              const std::vector<CodeDirectoryHashes>& codeDirectories);

}  // namespace tessuro::codesign
