#include "codesign/certificates.h"

#include <openssl/ec.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <memory>

namespace tessuro::codesign {
namespace {

constexpr long kSecondsPerDay = 86400;
constexpr int kVersion3 = 2;  // X.509 counts its versions from 0

[[noreturn]] void failed(const std::string& what) {
    throw openSslError(codesign_code::kCryptoFailed, what);
}

void addExtension(X509* certificate, X509* issuer, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    if (extension == nullptr) {
        failed(std::string("cannot make the certificate extension ") + OBJ_nid2sn(nid));
    }
    const int added = X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
    if (added != 1) {
        failed(std::string("cannot add the certificate extension ") + OBJ_nid2sn(nid));
    }
}

// A random positive serial number and the validity period the CertificateSpec asks for.
void setSerialAndValidity(X509* certificate, const CertificateSpec& spec) {
    unsigned char serial[16];
    if (RAND_bytes(serial, sizeof serial) != 1) {
        failed("cannot make a serial number");
    }
    serial[0] &= 0x7F;
    BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
    const bool serialSet =
        number != nullptr && BN_to_ASN1_INTEGER(number, X509_get_serialNumber(certificate));
    BN_free(number);
    if (!serialSet) {
        failed("cannot set the serial number");
    }
    if (X509_gmtime_adj(X509_getm_notBefore(certificate), spec.notBeforeDays * kSecondsPerDay) ==
            nullptr ||
        X509_gmtime_adj(X509_getm_notAfter(certificate),
                        spec.notAfterDays * kSecondsPerDay + spec.notAfterExtraSeconds) ==
            nullptr) {
        failed("cannot set the validity period");
    }
}

void setSubject(X509* certificate, const CertificateSpec& spec) {
    X509_NAME* name = X509_get_subject_name(certificate);
    auto add = [&](const char* field, const std::string& value) {
        if (X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                                       reinterpret_cast<const unsigned char*>(value.c_str()), -1,
                                       -1, 0) != 1) {
            failed(std::string("cannot set the subject's ") + field);
        }
    };
    add("CN", spec.commonName);
    if (spec.organizationalUnit) {
        add("OU", *spec.organizationalUnit);
    }
    add("O", spec.organization);
    add("C", "US");
}

// An extension marked critical whose value is an ASN.1 NULL.
void addCriticalExtension(X509* certificate, const std::string& oidText) {
    using ObjectPtr = std::unique_ptr<ASN1_OBJECT, OpenSslDeleter<ASN1_OBJECT, ASN1_OBJECT_free>>;
    using OctetsPtr = std::unique_ptr<ASN1_OCTET_STRING,
                                      OpenSslDeleter<ASN1_OCTET_STRING, ASN1_OCTET_STRING_free>>;
    using ExtensionPtr =
        std::unique_ptr<X509_EXTENSION, OpenSslDeleter<X509_EXTENSION, X509_EXTENSION_free>>;
    const ObjectPtr oid(OBJ_txt2obj(oidText.c_str(), 1));
    const OctetsPtr value(ASN1_OCTET_STRING_new());
    const unsigned char null[] = {0x05, 0x00};
    if (!oid || !value || ASN1_OCTET_STRING_set(value.get(), null, sizeof null) != 1) {
        failed("cannot make the certificate extension " + oidText);
    }
    const ExtensionPtr extension(X509_EXTENSION_create_by_OBJ(nullptr, oid.get(), 1, value.get()));
    if (!extension || X509_add_ext(certificate, extension.get(), -1) != 1) {
        failed("cannot add the certificate extension " + oidText);
    }
}

void addExtensions(X509* certificate, X509* issuer, bool issued, const CertificateSpec& spec) {
    addExtension(certificate, issuer, NID_subject_key_identifier, "hash");
    if (spec.authority) {
        addExtension(certificate, issuer, NID_basic_constraints, "critical,CA:TRUE");
        addExtension(certificate, issuer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        addExtension(certificate, issuer, NID_basic_constraints, "critical,CA:FALSE");
        addExtension(certificate, issuer, NID_key_usage, "critical,digitalSignature");
        if (spec.codeSigning) {
            addExtension(certificate, issuer, NID_ext_key_usage, "critical,codeSigning");
        }
    }
    if (issued) {
        addExtension(certificate, issuer, NID_authority_key_identifier, "keyid:always");
    }
    if (!spec.criticalExtension.empty()) {
        addCriticalExtension(certificate, spec.criticalExtension);
    }
}

std::string bioText(BIO* bio) {
    char* data = nullptr;
    long length = BIO_get_mem_data(bio, &data);
    if (length <= 0 || data == nullptr) {
        failed("cannot write the PEM text");
    }
    return std::string(data, static_cast<std::size_t>(length));
}

BioPtr memoryBio() {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio) {
        failed("cannot write the PEM text");
    }
    return bio;
}

BioPtr readingBio(const std::string& text) {
    BioPtr bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    if (!bio) {
        failed("cannot read the PEM text");
    }
    return bio;
}

}  // namespace

Credential makeCertificate(const CertificateSpec& spec, const Credential* issuer) {
    Credential made;
    made.key.reset(EVP_EC_gen("P-256"));
    made.certificate.reset(X509_new());
    if (!made.key || !made.certificate) {
        failed("cannot make a key");
    }
    X509* certificate = made.certificate.get();
    if (X509_set_version(certificate, kVersion3) != 1) {
        failed("cannot set the certificate's version");
    }
    setSerialAndValidity(certificate, spec);
    if (X509_set_pubkey(certificate, made.key.get()) != 1) {
        failed("cannot set the certificate's key");
    }
    setSubject(certificate, spec);
    X509* issuerCertificate = issuer != nullptr ? issuer->certificate.get() : certificate;
    if (X509_set_issuer_name(certificate, X509_get_subject_name(issuerCertificate)) != 1) {
        failed("cannot set the certificate's issuer");
    }
    addExtensions(certificate, issuerCertificate, issuer != nullptr, spec);
    EVP_PKEY* signingKey = issuer != nullptr ? issuer->key.get() : made.key.get();
    if (X509_sign(certificate, signingKey, EVP_sha256()) <= 0) {
        failed("cannot sign the certificate");
    }
    return made;
}

std::string certificatePem(X509* certificate) {
    BioPtr bio = memoryBio();
    if (PEM_write_bio_X509(bio.get(), certificate) != 1) {
        failed("cannot write the certificate");
    }
    return bioText(bio.get());
}

std::string privateKeyPem(EVP_PKEY* key) {
    BioPtr bio = memoryBio();
    if (PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        failed("cannot write the private key");
    }
    return bioText(bio.get());
}

std::vector<X509Ptr> readCertificatesPem(const std::string& pem) {
    BioPtr bio = readingBio(pem);
    std::vector<X509Ptr> certificates;
    while (X509* certificate = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
        certificates.emplace_back(certificate);
    }
    ERR_clear_error();  // the end of the text reads as an error
    if (certificates.empty()) {
        throw codesignError(codesign_code::kBadIdentity, "no certificate in the PEM text");
    }
    return certificates;
}

KeyPtr readPrivateKeyPem(const std::string& pem) {
    BioPtr bio = readingBio(pem);
    KeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    if (!key) {
        throw openSslError(codesign_code::kBadIdentity, "no private key in the PEM text");
    }
    return key;
}

Bytes certificateDigest(X509* certificate, HashType type) {
    unsigned char* encoded = nullptr;
    const int length = i2d_X509(certificate, &encoded);
    struct FreeDer {
        void operator()(unsigned char* p) const { OPENSSL_free(p); }
    };
    const std::unique_ptr<unsigned char, FreeDer> der(encoded);
    if (length <= 0 || !der) {
        failed("cannot encode a certificate");
    }
    return digest(type, ByteView(der.get(), static_cast<std::size_t>(length)));
}

std::string certificateFingerprint(X509* certificate) {
    std::string hex = toHex(certificateDigest(certificate, HashType::Sha256));
    std::transform(hex.begin(), hex.end(), hex.begin(), ::toupper);
    return hex;
}

}  // namespace tessuro::codesign
