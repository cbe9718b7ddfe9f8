#pragma once

#include <optional>
#include <string>
#include <vector>

#include "codesign/blob.h"
#include "codesign/digest.h"
#include "codesign/openssl_ptr.h"

namespace tessuro::codesign {

// A key with its certificate.
struct Credential {
    KeyPtr key;
    X509Ptr certificate;
};

// What makeCertificate puts into a certificate.
// The critical extension that Apple's Developer ID leaves carry.
inline constexpr char kAppleLeafExtension[] = "1.2.840.113635.100.6.1.13";

struct CertificateSpec {
    std::string commonName;
    std::optional<std::string> organizationalUnit;
    std::string organization = "Tessuro Development";
    bool authority = false;         // a CA: basic constraints CA:TRUE, keyCertSign
    bool codeSigning = true;        // a leaf: extended key usage codeSigning
    std::string criticalExtension;  // the OID of one more critical extension, or none
    long notBeforeDays = -1;        // relative to now
    long notAfterDays = 3650;
    long notAfterExtraSeconds = 0;  // added to notAfterDays, for certificates about to expire
};

// A fresh EC P-256 key and a certificate for it, signed by `issuer`, or by itself. Throws
// a code-signing Error (kCryptoFailed) with OpenSSL's reason when a step fails.
Credential makeCertificate(const CertificateSpec& spec, const Credential* issuer);

// Both throw a code-signing Error (kCryptoFailed) with OpenSSL's reason when OpenSSL
// cannot write the text.
std::string certificatePem(X509* certificate);
std::string privateKeyPem(EVP_PKEY* key);

// Every certificate in PEM text, in order, and the private key in PEM text; both throw a
// code-signing Error (kBadIdentity) when the text holds none, and kCryptoFailed when
// OpenSSL cannot read it at all.
std::vector<X509Ptr> readCertificatesPem(const std::string& pem);
KeyPtr readPrivateKeyPem(const std::string& pem);

// The hash of a certificate's DER; throws a kCryptoFailed Error when it cannot be encoded
// or hashed.
Bytes certificateDigest(X509* certificate, HashType type);
// Its SHA-256 in upper-case hexadecimal, as fingerprints are published.
std::string certificateFingerprint(X509* certificate);

}  // namespace tessuro::codesign
