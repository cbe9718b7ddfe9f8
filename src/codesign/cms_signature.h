#pragma once

#include <ctime>
#include <optional>
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
//
// The certificates' validity periods are no reason to refuse, whenever the signature
// claims to have been made: a signature stays valid after its certificates expire. Only
// with `enforceExpiry` (the signer asked for it in the CodeDirectory's flags) is the chain
// judged at the current time, so that a certificate expired by now refuses it. No secure
// timestamp is read.
CertificateStackPtr verifyCms(ByteView cms, ByteView primaryCodeDirectory,
                              const std::vector<X509*>& anchors,
                              const std::vector<CodeDirectoryHashes>& codeDirectories,
                              bool enforceExpiry);

// The signing time the signature's signed attributes claim, if any. Nothing vouches for
// it but the signer. Throws a refusal (malformed) for data that is no SignedData.
std::optional<std::time_t> claimedSigningTime(ByteView cms);

// A detached CMS signature over the primary CodeDirectory by `key` and `leaf`, with the
// other certificates of the chain embedded and Apple's cdhash attributes. Throws a
// code-signing Error (kCryptoFailed) with OpenSSL's reason, for instance a key that does
// not belong to the certificate.
Bytes signCms(ByteView primaryCodeDirectory, EVP_PKEY* key, X509* leaf,
              const std::vector<X509*>& chain,
              const std::vector<CodeDirectoryHashes>& codeDirectories);

}  // namespace tessuro::codesign
