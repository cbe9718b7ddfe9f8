#pragma once

#include <span>
#include <vector>

#include "codesign/openssl_ptr.h"

namespace tessuro::codesign {

struct AppleRoot {
    const char* name;
    const char* sha256;  // of the DER, upper-case hexadecimal
    const char* base64Der;
};

std::span<const AppleRoot> appleRoots();

// The roots as certificates; one whose DER does not have its published fingerprint is
// left out. Throws a code-signing Error (kCryptoFailed) with OpenSSL's reason when OpenSSL
// cannot read a root or take its fingerprint.
std::vector<X509Ptr> appleRootCertificates();

}  // namespace tessuro::codesign
