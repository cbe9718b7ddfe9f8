// The detached CMS signature over the CodeDirectory, verified as macOS does for a bundle
// signature: Apple's private critical extensions tolerated, any purpose with the code-
// signing usage checked by hand, and the certificates' validity periods ignored unless the
// signer asked for expiry to be enforced.

#include "codesign/cms_signature.h"

#include <openssl/asn1t.h>
#include <openssl/x509v3.h>
#include <plist/plist.h>

#include <algorithm>
#include <ctime>
#include <optional>

#include "codesign/plist_nodes.h"
#include "codesign/status.h"
#include "platform/property_list.h"

namespace tessuro::codesign {
namespace {

constexpr char kCdHashesOid[] = "1.2.840.113635.100.9.1";
constexpr char kCdHashesV2Oid[] = "1.2.840.113635.100.9.2";
constexpr char kAppleExtensionFamily[] = "1.2.840.113635.100.6.";
constexpr char kCdHashesKey[] = "cdhashes";
// The cdhashes attribute lists one hash for each CodeDirectory, a handful at most: a few
// hundred bytes of XML, a dozen nodes.
constexpr PropertyListLimits kCdHashesLimits{64u << 10, 1'000};
constexpr std::uint8_t kDerSequence = 0x30;

using ObjectPtr = std::unique_ptr<ASN1_OBJECT, OpenSslDeleter<ASN1_OBJECT, ASN1_OBJECT_free>>;

[[noreturn]] void failed(const std::string& what) {
    throw openSslError(codesign_code::kCryptoFailed, what);
}

ObjectPtr object(const char* oid) {
    ObjectPtr made(OBJ_txt2obj(oid, /*no_name=*/1));
    if (!made) {
        failed(std::string("cannot make the object identifier ") + oid);
    }
    return made;
}

std::string oidText(const ASN1_OBJECT* object) {
    char text[128];
    int n = OBJ_obj2txt(text, sizeof text, object, /*no_name=*/1);
    return n > 0 && static_cast<std::size_t>(n) < sizeof text
               ? std::string(text, static_cast<std::size_t>(n))
               : std::string();
}

// Unknown critical extensions are tolerated only when they all belong to Apple's family.
bool onlyAppleCriticalExtensionsUnknown(X509* certificate) {
    for (int i = 0; i < X509_get_ext_count(certificate); ++i) {
        X509_EXTENSION* extension = X509_get_ext(certificate, i);
        if (X509_EXTENSION_get_critical(extension) && !X509_supported_extension(extension) &&
            oidText(X509_EXTENSION_get_object(extension)).rfind(kAppleExtensionFamily, 0) != 0) {
            return false;
        }
    }
    return true;
}

int verifyCallback(int ok, X509_STORE_CTX* context) {
    if (!ok && X509_STORE_CTX_get_error(context) == X509_V_ERR_UNHANDLED_CRITICAL_EXTENSION &&
        onlyAppleCriticalExtensionsUnknown(X509_STORE_CTX_get_current_cert(context))) {
        X509_STORE_CTX_set_error(context, X509_V_OK);
        return 1;
    }
    return ok;
}

// The signing time claimed in the signed attributes, if any.
std::optional<std::time_t> signingTime(CMS_SignerInfo* signer) {
    int index = CMS_signed_get_attr_by_NID(signer, NID_pkcs9_signingTime, -1);
    if (index < 0) {
        return std::nullopt;
    }
    ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(CMS_signed_get_attr(signer, index), 0);
    if (value == nullptr ||
        (value->type != V_ASN1_UTCTIME && value->type != V_ASN1_GENERALIZEDTIME)) {
        return std::nullopt;
    }
    struct tm when {};
    if (ASN1_TIME_to_tm(reinterpret_cast<ASN1_TIME*>(value->value.asn1_string), &when) != 1) {
        return std::nullopt;
    }
    return timegm(&when);
}

StorePtr makeStore(const std::vector<X509*>& anchors, bool enforceExpiry) {
    StorePtr store(X509_STORE_new());
    if (!store) {
        failed("cannot make a certificate store");
    }
    for (X509* anchor : anchors) {
        if (X509_STORE_add_cert(store.get(), anchor) != 1) {
            failed("cannot add an anchor to the certificate store");
        }
    }
    X509_STORE_set_verify_cb(store.get(), verifyCallback);
    X509_VERIFY_PARAM* param = X509_STORE_get0_param(store.get());
    if (X509_VERIFY_PARAM_set_purpose(param, X509_PURPOSE_ANY) != 1) {
        failed("cannot set the certificates' purpose");
    }
    // Expired, or not yet valid, certificates of the chain do not refuse a signature: the
    // claimed signing time is the signer's word alone, and the signature stays good after
    // its certificates lapse. A signer who wants otherwise sets the "expires" flag, and the
    // chain is then judged now (the store's default).
    if (!enforceExpiry && X509_VERIFY_PARAM_set_flags(param, X509_V_FLAG_NO_CHECK_TIME) != 1) {
        failed("cannot set the certificates' verification flags");
    }
    return store;
}

const char* digestOid(HashType type) {
    switch (type) {
        case HashType::Sha1: return "1.3.14.3.2.26";
        case HashType::Sha256:
        case HashType::Sha256Truncated: return "2.16.840.1.101.3.4.2.1";
        case HashType::Sha384: return "2.16.840.1.101.3.4.2.2";
    }
    return "";
}

// The first attribute's plist: {cdhashes = [cdhash of every CodeDirectory]}.
Bytes cdhashesPlist(const std::vector<CodeDirectoryHashes>& codeDirectories) {
    plist_t list = plist_new_array();
    for (const auto& cd : codeDirectories) {
        plist_array_append_item(list, dataNode(cd.cdhash));
    }
    plist_t root = plist_new_dict();
    plist_dict_set_item(root, kCdHashesKey, list);
    Bytes xml = xmlOf(root);
    plist_free(root);
    return xml;
}

// The DER of an OpenSSL object; throws a kCryptoFailed Error saying `what` could not be
// encoded when OpenSSL cannot encode it.
template <class Object, int (*Encode)(const Object*, unsigned char**)>
Bytes der(const Object* value, const char* what) {
    const int length = Encode(value, nullptr);
    Bytes out(static_cast<std::size_t>(std::max(0, length)));
    unsigned char* p = out.data();
    if (length <= 0 || Encode(value, &p) != length) {
        failed(std::string("cannot encode ") + what);
    }
    return out;
}

// The second attribute's value for one CodeDirectory: SEQUENCE { OBJECT IDENTIFIER digest,
// OCTET STRING hash }, DER.
Bytes hashAgilityEntry(const CodeDirectoryHashes& cd) {
    const Bytes oid =
        der<ASN1_OBJECT, i2d_ASN1_OBJECT>(object(digestOid(cd.type)).get(), "a digest's OID");
    using OctetsPtr = std::unique_ptr<ASN1_OCTET_STRING,
                                      OpenSslDeleter<ASN1_OCTET_STRING, ASN1_OCTET_STRING_free>>;
    const OctetsPtr octets(ASN1_OCTET_STRING_new());
    if (!octets || ASN1_OCTET_STRING_set(octets.get(), cd.fullHash.data(),
                                         static_cast<int>(cd.fullHash.size())) != 1) {
        failed("cannot hold a CodeDirectory's hash");
    }
    const Bytes hash =
        der<ASN1_OCTET_STRING, i2d_ASN1_OCTET_STRING>(octets.get(), "a CodeDirectory's hash");
    Bytes entry{kDerSequence};
    const Bytes length = derLength(oid.size() + hash.size());
    entry.insert(entry.end(), length.begin(), length.end());
    entry.insert(entry.end(), oid.begin(), oid.end());
    entry.insert(entry.end(), hash.begin(), hash.end());
    return entry;
}

// The first attribute names exactly the cdhashes, in order.
bool cdhashesAttributeNames(X509_ATTRIBUTE* attribute,
                            const std::vector<CodeDirectoryHashes>& codeDirectories) {
    ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(attribute, 0);
    if (X509_ATTRIBUTE_count(attribute) != 1 || value == nullptr ||
        value->type != V_ASN1_OCTET_STRING) {
        return false;
    }
    ASN1_STRING* octets = value->value.octet_string;
    try {
        PropertyList plist = PropertyList::parse(
            std::string_view(reinterpret_cast<const char*>(ASN1_STRING_get0_data(octets)),
                             static_cast<std::size_t>(ASN1_STRING_length(octets))),
            kCdHashesKey, kCdHashesLimits);
        plist_t list =
            plist.isDictionary() ? plist_dict_get_item(plist.root(), kCdHashesKey) : nullptr;
        if (!isOfType(list, PLIST_ARRAY) || plist_array_get_size(list) != codeDirectories.size()) {
            return false;
        }
        for (std::uint32_t i = 0; i < plist_array_get_size(list); ++i) {
            plist_t item = plist_array_get_item(list, i);
            if (!isOfType(item, PLIST_DATA) || dataOf(item) != codeDirectories[i].cdhash) {
                return false;
            }
        }
        return true;
    } catch (const Error&) {
        return false;
    }
}

// The second attribute names exactly the CodeDirectories' full hashes, in any order.
bool hashAgilityAttributeNames(X509_ATTRIBUTE* attribute,
                               const std::vector<CodeDirectoryHashes>& codeDirectories) {
    std::vector<Bytes> listed, expected;
    for (int i = 0; i < X509_ATTRIBUTE_count(attribute); ++i) {
        ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(attribute, i);
        if (value == nullptr || value->type != V_ASN1_SEQUENCE) {
            return false;
        }
        const unsigned char* p = ASN1_STRING_get0_data(value->value.sequence);
        listed.emplace_back(p, p + ASN1_STRING_length(value->value.sequence));
    }
    for (const auto& cd : codeDirectories) {
        expected.push_back(hashAgilityEntry(cd));
    }
    std::sort(listed.begin(), listed.end());
    std::sort(expected.begin(), expected.end());
    return listed == expected;
}

// Apple's cdhash attributes, where present, must name exactly the CodeDirectories on
// disk, or an alternate one could be stripped or swapped. With several CodeDirectories
// one of them must be there, since the signature itself covers only the primary one.
bool attributesNameCodeDirectories(CMS_SignerInfo* signer,
                                   const std::vector<CodeDirectoryHashes>& codeDirectories) {
    const int v1 = CMS_signed_get_attr_by_OBJ(signer, object(kCdHashesOid).get(), -1);
    const int v2 = CMS_signed_get_attr_by_OBJ(signer, object(kCdHashesV2Oid).get(), -1);
    if (v1 < 0 && v2 < 0) {
        return codeDirectories.size() == 1;
    }
    return (v1 < 0 || cdhashesAttributeNames(CMS_signed_get_attr(signer, v1), codeDirectories)) &&
           (v2 < 0 || hashAgilityAttributeNames(CMS_signed_get_attr(signer, v2), codeDirectories));
}

// A detached SignedData with one signer whose certificate it carries.
struct SignedData {
    CmsPtr content;
    CMS_SignerInfo* signer = nullptr;
    CertificateStackPtr certificates;
    X509* leaf = nullptr;
};

SignedData readSignedData(ByteView cms) {
    SignedData data;
    BioPtr input(BIO_new_mem_buf(cms.data(), static_cast<int>(cms.size())));
    if (!input) {
        failed("cannot read the CMS signature");
    }
    data.content.reset(d2i_CMS_bio(input.get(), nullptr));
    CMS_ContentInfo* content = data.content.get();
    if (!content || OBJ_obj2nid(CMS_get0_type(content)) != NID_pkcs7_signed ||
        CMS_get0_content(content) == nullptr || *CMS_get0_content(content) != nullptr) {
        throw refusal(kStatusMalformed, "not a detached SignedData");
    }
    STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(content);
    if (signers == nullptr || sk_CMS_SignerInfo_num(signers) != 1) {
        throw refusal(kStatusMalformed, "not exactly one signer");
    }
    data.signer = sk_CMS_SignerInfo_value(signers, 0);
    data.certificates.reset(CMS_get1_certs(content));
    if (data.certificates && CMS_set1_signers_certs(content, nullptr, 0) >= 1) {
        CMS_SignerInfo_get0_algs(data.signer, nullptr, &data.leaf, nullptr, nullptr);
    }
    if (data.leaf == nullptr) {
        throw refusal(kStatusMalformed, "signer certificate missing");
    }
    return data;
}

// The chain from the leaf to an anchor, with the signature's own certificates as
// untrusted intermediates; the leaf must be for code signing.
CertificateStackPtr trustedChain(const SignedData& data, X509_STORE* store) {
    StoreContextPtr context(X509_STORE_CTX_new());
    if (!context ||
        X509_STORE_CTX_init(context.get(), store, data.leaf, data.certificates.get()) != 1) {
        failed("cannot start the certificate chain's verification");
    }
    const int verified = X509_verify_cert(context.get());
    if (verified < 0) {
        failed("cannot verify the certificate chain");  // not a verdict: OpenSSL failed
    }
    if (verified != 1) {
        throw refusal(kStatusUntrusted,
                      X509_verify_cert_error_string(X509_STORE_CTX_get_error(context.get())));
    }
    CertificateStackPtr chain(X509_STORE_CTX_get1_chain(context.get()));
    if (!chain) {
        failed("cannot hold the certificate chain");
    }
    if ((X509_get_extension_flags(data.leaf) & EXFLAG_XKUSAGE) == 0 ||
        (X509_get_extended_key_usage(data.leaf) & XKU_CODE_SIGN) == 0) {
        throw refusal(kStatusUntrusted, "leaf certificate is not for code signing");
    }
    return chain;
}

void addCdHashAttributes(CMS_SignerInfo* signer,
                         const std::vector<CodeDirectoryHashes>& codeDirectories) {
    const Bytes plist = cdhashesPlist(codeDirectories);
    if (CMS_signed_add1_attr_by_OBJ(signer, object(kCdHashesOid).get(), V_ASN1_OCTET_STRING,
                                    plist.data(), static_cast<int>(plist.size())) != 1) {
        failed("cannot add the cdhashes attribute");
    }
    const ObjectPtr v2 = object(kCdHashesV2Oid);
    using AttributePtr =
        std::unique_ptr<X509_ATTRIBUTE, OpenSslDeleter<X509_ATTRIBUTE, X509_ATTRIBUTE_free>>;
    AttributePtr agility;
    for (const auto& cd : codeDirectories) {
        Bytes entry = hashAgilityEntry(cd);
        if (!agility) {
            agility.reset(X509_ATTRIBUTE_create_by_OBJ(
                nullptr, v2.get(), V_ASN1_SEQUENCE, entry.data(), static_cast<int>(entry.size())));
            if (!agility) {
                failed("cannot make the hash agility attribute");
            }
        } else if (X509_ATTRIBUTE_set1_data(agility.get(), V_ASN1_SEQUENCE, entry.data(),
                                            static_cast<int>(entry.size())) != 1) {
            failed("cannot add to the hash agility attribute");
        }
    }
    if (agility && CMS_signed_add1_attr(signer, agility.get()) != 1) {
        failed("cannot add the hash agility attribute");
    }
}

}  // namespace

CertificateStackPtr verifyCms(ByteView cms, ByteView primaryCodeDirectory,
                              const std::vector<X509*>& anchors,
                              const std::vector<CodeDirectoryHashes>& codeDirectories,
                              bool enforceExpiry) {
    if (cms.empty()) {
        throw refusal(kStatusAdHoc, "ad-hoc signature");
    }
    const SignedData data = readSignedData(cms);
    const StorePtr store = makeStore(anchors, enforceExpiry);
    CertificateStackPtr chain = trustedChain(data, store.get());
    BioPtr signedBytes(BIO_new_mem_buf(primaryCodeDirectory.data(),
                                       static_cast<int>(primaryCodeDirectory.size())));
    if (!signedBytes) {
        failed("cannot read the CodeDirectory");
    }
    if (CMS_verify(data.content.get(), nullptr, store.get(), signedBytes.get(), nullptr,
                   CMS_BINARY | CMS_DETACHED) != 1) {
        ERR_clear_error();
        throw refusal(kStatusSignatureInvalid, "signature does not match the CodeDirectory");
    }
    if (!attributesNameCodeDirectories(data.signer, codeDirectories)) {
        throw refusal(kStatusSignatureInvalid, "cdhash attributes do not name the CodeDirectories");
    }
    return chain;
}

std::optional<std::time_t> claimedSigningTime(ByteView cms) {
    return signingTime(readSignedData(cms).signer);
}

Bytes signCms(ByteView primaryCodeDirectory, EVP_PKEY* key, X509* leaf,
              const std::vector<X509*>& chain,
              const std::vector<CodeDirectoryHashes>& codeDirectories) {
    const int flags = CMS_PARTIAL | CMS_DETACHED | CMS_NOSMIMECAP | CMS_BINARY;
    CmsPtr cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags));
    if (!cms) {
        failed("cannot start a CMS signature");
    }
    CMS_SignerInfo* signer = CMS_add1_signer(cms.get(), leaf, key, EVP_sha256(), flags);
    if (signer == nullptr) {
        failed("cannot add the signer");
    }
    for (X509* certificate : chain) {
        if (X509_cmp(certificate, leaf) != 0 && CMS_add1_cert(cms.get(), certificate) != 1) {
            failed("cannot add a certificate of the chain");
        }
    }
    addCdHashAttributes(signer, codeDirectories);
    BioPtr data(BIO_new_mem_buf(primaryCodeDirectory.data(),
                                static_cast<int>(primaryCodeDirectory.size())));
    if (!data || CMS_final(cms.get(), data.get(), nullptr, CMS_DETACHED | CMS_BINARY) != 1) {
        failed("cannot sign the CodeDirectory");
    }
    return der<CMS_ContentInfo, i2d_CMS_ContentInfo>(cms.get(), "the CMS signature");
}

}  // namespace tessuro::codesign
