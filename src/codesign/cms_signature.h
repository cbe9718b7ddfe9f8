#pragma once

#include <vector>

#include "codesign/blob.h"
#include "codesign/code_directory.h"
#include "codesign/openssl_ptr.h"

namespace tessuro::codesign {

// Verifies the detached CMS signature over the primary CodeDirectory, builds the signer's
// chain to one of `anchors` (the CMS certificates serve as intermediates), and checks that
// Apple's cdhash attributes, where present, name exactly `codeDirectories`. Answers the
// chain, leaf first and anchor last; throws a refusal (status.h): ad hoc, malformed,
// signature invalid or untrusted, with what failed.
CertificateStackPtr verifyCms(ByteView cms, ByteView primaryCodeDirectory,
                              const std::vector<X509*>& anchors,
                              const std::vector<CodeDirectoryHashes>& codeDirectories);

// A detached CMS signature over the primary CodeDirectory by `key` and `leaf`, with the
// other certificates of the chain embedded and Apple's cdhash attributes. Throws a
// code-signing Error (kCryptoFailed) with OpenSSL's reason, for instance a key that does
// not belong to the certificate.
Bytes signCms(ByteView primaryCodeDirectory, EVP_PKEY* key, X509* leaf,
              const std::vector<X509*>& chain,
              const std::vector<CodeDirectoryHashes>& codeDirectories);

}  // namespace tessuro::codesign
