// The detached CMS signature over the CodeDirectory, verified as macOS does for a bundle
// signature: Apple's private critical extensions tolerated, any purpose with the code-
// signing usage checked by hand, and certificates judged at the signing time (at the
// current time when the signature names none).

#include "platform/codesign/cms_signature.h"

#include <openssl/asn1t.h>
#include <openssl/x509v3.h>
#include <plist/plist.h>

#include <algorithm>
#include <cstring>
#include <ctime>

#include "platform/property_list.h"

namespace tessuro::codesign {
namespace {

constexpr const char* kCdHashesOid = "1.2.840.113635.100.9.1";
constexpr const char* kCdHashesV2Oid = "1.2.840.113635.100.9.2";
constexpr const char* kAppleExtensionFamily = "1.2.840.113635.100.6.";

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

ASN1_OBJECT* object(const char* oid) {
    return OBJ_txt2obj(oid, /*no_name=*/1);
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

StorePtr makeStore(const std::vector<X509*>& anchors, std::optional<std::time_t> at) {
    StorePtr store(X509_STORE_new());
    for (X509* anchor : anchors) {
        X509_STORE_add_cert(store.get(), anchor);
    }
    X509_STORE_set_verify_cb(store.get(), verifyCallback);
    X509_VERIFY_PARAM* param = X509_STORE_get0_param(store.get());
    X509_VERIFY_PARAM_set_purpose(param, X509_PURPOSE_ANY);
    // Judged when the signature claims to have been made; without such a claim, now.
    if (at) {
        X509_VERIFY_PARAM_set_time(param, *at);
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

Bytes cdhashesPlist(const std::vector<CodeDirectoryHashes>& codeDirectories) {
    plist_t list = plist_new_array();
    for (const auto& cd : codeDirectories) {
        plist_array_append_item(
            list,
            plist_new_data(reinterpret_cast<const char*>(cd.cdhash.data()), cd.cdhash.size()));
    }
    plist_t root = plist_new_dict();
    plist_dict_set_item(root, "cdhashes", list);
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(root, &xml, &length);
    Bytes out(xml, xml + length);
    free(xml);
    plist_free(root);
    return out;
}

// SEQUENCE { OBJECT IDENTIFIER digest, OCTET STRING hash }, DER.
Bytes hashAgilityEntry(const CodeDirectoryHashes& cd) {
    ASN1_OBJECT* oid = object(digestOid(cd.type));
    int oidLength = i2d_ASN1_OBJECT(oid, nullptr);
    Bytes oidDer(static_cast<std::size_t>(oidLength));
    unsigned char* p = oidDer.data();
    i2d_ASN1_OBJECT(oid, &p);
    ASN1_OBJECT_free(oid);
    ASN1_OCTET_STRING* octets = ASN1_OCTET_STRING_new();
    ASN1_OCTET_STRING_set(octets, cd.fullHash.data(), static_cast<int>(cd.fullHash.size()));
    int octetLength = i2d_ASN1_OCTET_STRING(octets, nullptr);
    Bytes octetDer(static_cast<std::size_t>(octetLength));
    p = octetDer.data();
    i2d_ASN1_OCTET_STRING(octets, &p);
    ASN1_OCTET_STRING_free(octets);

    std::size_t content = oidDer.size() + octetDer.size();
    Bytes der{0x30};
    if (content < 0x80) {
        der.push_back(static_cast<std::uint8_t>(content));
    } else {
        der.push_back(0x81);
        der.push_back(static_cast<std::uint8_t>(content));
    }
    der.insert(der.end(), oidDer.begin(), oidDer.end());
    der.insert(der.end(), octetDer.begin(), octetDer.end());
    return der;
}

// Apple's cdhash attributes, where present, must name exactly the CodeDirectories on
// disk, or an alternate one could be stripped or swapped. With several CodeDirectories
// one of them must be there, since the signature itself covers only the primary one.
bool attributesNameCodeDirectories(CMS_SignerInfo* signer,
                                   const std::vector<CodeDirectoryHashes>& codeDirectories) {
    ASN1_OBJECT* v1 = object(kCdHashesOid);
    ASN1_OBJECT* v2 = object(kCdHashesV2Oid);
    int v1Index = CMS_signed_get_attr_by_OBJ(signer, v1, -1);
    int v2Index = CMS_signed_get_attr_by_OBJ(signer, v2, -1);
    ASN1_OBJECT_free(v1);
    ASN1_OBJECT_free(v2);
    if (v1Index < 0 && v2Index < 0) {
        return codeDirectories.size() == 1;
    }
    if (v1Index >= 0) {
        X509_ATTRIBUTE* attribute = CMS_signed_get_attr(signer, v1Index);
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
                "cdhashes");
            plist_t list =
                plist.isDictionary() ? plist_dict_get_item(plist.root(), "cdhashes") : nullptr;
            if (list == nullptr || plist_get_node_type(list) != PLIST_ARRAY ||
                plist_array_get_size(list) != codeDirectories.size()) {
                return false;
            }
            for (uint32_t i = 0; i < plist_array_get_size(list); ++i) {
                plist_t item = plist_array_get_item(list, i);
                if (plist_get_node_type(item) != PLIST_DATA) {
                    return false;
                }
                char* data = nullptr;
                uint64_t length = 0;
                plist_get_data_val(item, &data, &length);
                Bytes hash(data, data + length);
                free(data);
                if (hash != codeDirectories[i].cdhash) {
                    return false;
                }
            }
        } catch (...) {
            return false;
        }
    }
    if (v2Index >= 0) {
        X509_ATTRIBUTE* attribute = CMS_signed_get_attr(signer, v2Index);
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
        if (listed != expected) {
            return false;
        }
    }
    return true;
}

}  // namespace

CmsVerdict verifyCms(ByteView cms, ByteView primaryCodeDirectory, const std::vector<X509*>& anchors,
                     const std::vector<CodeDirectoryHashes>& codeDirectories) {
    CmsVerdict verdict;
    if (cms.empty()) {
        verdict.result = CmsVerdict::Result::AdHoc;
        return verdict;
    }
    BioPtr input(BIO_new_mem_buf(cms.data(), static_cast<int>(cms.size())));
    CmsPtr content(d2i_CMS_bio(input.get(), nullptr));
    if (!content || OBJ_obj2nid(CMS_get0_type(content.get())) != NID_pkcs7_signed ||
        CMS_get0_content(content.get()) == nullptr || *CMS_get0_content(content.get()) != nullptr) {
        verdict.detail = "not a detached SignedData";
        return verdict;
    }
    STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(content.get());
    if (signers == nullptr || sk_CMS_SignerInfo_num(signers) != 1) {
        verdict.detail = "not exactly one signer";
        return verdict;
    }
    CMS_SignerInfo* signer = sk_CMS_SignerInfo_value(signers, 0);
    CertificateStackPtr certificates(CMS_get1_certs(content.get()));
    if (!certificates || CMS_set1_signers_certs(content.get(), nullptr, 0) < 1) {
        verdict.detail = "signer certificate missing";
        return verdict;
    }
    X509* leaf = nullptr;
    CMS_SignerInfo_get0_algs(signer, nullptr, &leaf, nullptr, nullptr);
    if (leaf == nullptr) {
        verdict.detail = "signer certificate missing";
        return verdict;
    }

    // The chain, with the signature's own certificates as untrusted intermediates.
    StorePtr store = makeStore(anchors, signingTime(signer));
    StoreContextPtr context(X509_STORE_CTX_new());
    X509_STORE_CTX_init(context.get(), store.get(), leaf, certificates.get());
    if (X509_verify_cert(context.get()) != 1) {
        verdict.result = CmsVerdict::Result::Untrusted;
        verdict.detail = X509_verify_cert_error_string(X509_STORE_CTX_get_error(context.get()));
        return verdict;
    }
    verdict.chain.reset(X509_STORE_CTX_get1_chain(context.get()));
    if ((X509_get_extension_flags(leaf) & EXFLAG_XKUSAGE) == 0 ||
        (X509_get_extended_key_usage(leaf) & XKU_CODE_SIGN) == 0) {
        verdict.result = CmsVerdict::Result::Untrusted;
        verdict.detail = "leaf certificate is not for code signing";
        return verdict;
    }

    BioPtr signedBytes(BIO_new_mem_buf(primaryCodeDirectory.data(),
                                       static_cast<int>(primaryCodeDirectory.size())));
    if (CMS_verify(content.get(), nullptr, store.get(), signedBytes.get(), nullptr,
                   CMS_BINARY | CMS_DETACHED) != 1) {
        verdict.result = CmsVerdict::Result::SignatureInvalid;
        verdict.detail = "signature does not match the CodeDirectory";
        return verdict;
    }
    if (!attributesNameCodeDirectories(signer, codeDirectories)) {
        verdict.result = CmsVerdict::Result::SignatureInvalid;
        verdict.detail = "cdhash attributes do not name the CodeDirectories";
        return verdict;
    }
    verdict.result = CmsVerdict::Result::Valid;
    return verdict;
}

Bytes signCms(ByteView primaryCodeDirectory, EVP_PKEY* key, X509* leaf,
              const std::vector<X509*>& chain,
              const std::vector<CodeDirectoryHashes>& codeDirectories) {
    const int flags = CMS_PARTIAL | CMS_DETACHED | CMS_NOSMIMECAP | CMS_BINARY;
    CmsPtr cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags));
    if (!cms) {
        return {};
    }
    CMS_SignerInfo* signer = CMS_add1_signer(cms.get(), leaf, key, EVP_sha256(), flags);
    if (signer == nullptr) {
        return {};
    }
    for (X509* certificate : chain) {
        if (X509_cmp(certificate, leaf) != 0) {
            CMS_add1_cert(cms.get(), certificate);
        }
    }
    Bytes plist = cdhashesPlist(codeDirectories);
    ASN1_OBJECT* v1 = object(kCdHashesOid);
    CMS_signed_add1_attr_by_OBJ(signer, v1, V_ASN1_OCTET_STRING, plist.data(),
                                static_cast<int>(plist.size()));
    ASN1_OBJECT_free(v1);
    ASN1_OBJECT* v2 = object(kCdHashesV2Oid);
    X509_ATTRIBUTE* agility = nullptr;
    for (const auto& cd : codeDirectories) {
        Bytes entry = hashAgilityEntry(cd);
        if (agility == nullptr) {
            agility = X509_ATTRIBUTE_create_by_OBJ(nullptr, v2, V_ASN1_SEQUENCE, entry.data(),
                                                   static_cast<int>(entry.size()));
        } else {
            X509_ATTRIBUTE_set1_data(agility, V_ASN1_SEQUENCE, entry.data(),
                                     static_cast<int>(entry.size()));
        }
    }
    ASN1_OBJECT_free(v2);
    if (agility != nullptr) {
        CMS_signed_add1_attr(signer, agility);
        X509_ATTRIBUTE_free(agility);
    }
    BioPtr data(BIO_new_mem_buf(primaryCodeDirectory.data(),
                                static_cast<int>(primaryCodeDirectory.size())));
    if (CMS_final(cms.get(), data.get(), nullptr, CMS_DETACHED | CMS_BINARY) != 1) {
        return {};
    }
    unsigned char* der = nullptr;
    int length = i2d_CMS_ContentInfo(cms.get(), &der);
    if (length <= 0) {
        return {};
    }
    Bytes out(der, der + length);
    OPENSSL_free(der);
    return out;
}

}  // namespace tessuro::codesign
