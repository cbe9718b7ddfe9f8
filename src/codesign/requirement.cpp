// Evaluation of code requirements.

#include "codesign/requirement.h"

#include <openssl/objects.h>
#include <openssl/x509v3.h>

#include <algorithm>

#include "codesign/certificates.h"
#include "codesign/openssl_ptr.h"
#include "codesign/status.h"

namespace tessuro::codesign {
namespace {

using Node = RequirementNode;
using Kind = RequirementNode::Kind;
using Op = RequirementNode::Match::Op;

[[noreturn]] void unsupported(const std::string& what) {
    throw codesignError(codesign_code::kUnsupported, what);
}

int subjectNid(std::string_view field) {
    static const std::pair<std::string_view, int> kFields[] = {
        {"CN", NID_commonName},
        {"O", NID_organizationName},
        {"OU", NID_organizationalUnitName},
        {"C", NID_countryName},
        {"L", NID_localityName},
        {"ST", NID_stateOrProvinceName},
        {"STREET", NID_streetAddress},
        {"E", NID_pkcs9_emailAddress},
        {"EMAIL", NID_pkcs9_emailAddress},
        {"UID", NID_userId},
        {"SERIALNUMBER", NID_serialNumber},
        {"DESCRIPTION", NID_description},
    };
    for (const auto& [name, nid] : kFields) {
        if (name == field) {
            return nid;
        }
    }
    return NID_undef;
}

bool matches(const Node::Match& match, const std::optional<std::string>& value) {
    switch (match.op) {
        case Op::Exists: return value.has_value();
        case Op::Absent: return !value.has_value();
        default: break;
    }
    if (!value) {
        return false;
    }
    const std::string& v = *value;
    const std::string& m = match.value;
    switch (match.op) {
        case Op::Equal: return v == m;
        case Op::Contains: return v.find(m) != std::string::npos;
        case Op::BeginsWith: return v.compare(0, m.size(), m) == 0;
        case Op::EndsWith:
            return v.size() >= m.size() && v.compare(v.size() - m.size(), m.size(), m) == 0;
        case Op::Less: return v < m;
        case Op::Greater: return v > m;
        case Op::LessEqual: return v <= m;
        case Op::GreaterEqual: return v >= m;
        default: break;
    }
    unsupported("match operator not supported");
}

X509* certificateAt(const RequirementContext& context, int slot) {
    int count = static_cast<int>(context.chain.size());
    int index = slot >= 0 ? slot : count + slot;
    if (index < 0 || index >= count) {
        return nullptr;
    }
    return context.chain[static_cast<std::size_t>(index)];
}

// An extension or policy OID given as "field.1.2.3", "extension.1.2.3" or "policy.1.2.3".
ASN1_OBJECT* oidOf(std::string_view dotted) {
    return OBJ_txt2obj(std::string(dotted).c_str(), /*no_name=*/1);
}

bool certificateField(X509* certificate, const Node& node) {
    const std::string& key = node.text;
    if (key.rfind("subject.", 0) == 0) {
        if (subjectNid(std::string_view(key).substr(8)) == NID_undef) {
            unsupported("certificate field " + key);
        }
        return matches(node.match, subjectField(certificate, std::string_view(key).substr(8)));
    }
    bool extension = key.rfind("field.", 0) == 0 || key.rfind("extension.", 0) == 0;
    bool policy = key.rfind("policy.", 0) == 0;
    if (!extension && !policy) {
        unsupported("certificate field " + key);
    }
    if (node.match.op != Op::Exists && node.match.op != Op::Absent) {
        unsupported("value of certificate field " + key);
    }
    ASN1_OBJECT* oid = oidOf(std::string_view(key).substr(key.find('.') + 1));
    if (oid == nullptr) {
        unsupported("certificate field " + key);
    }
    bool present = false;
    if (extension) {
        present = X509_get_ext_by_OBJ(certificate, oid, -1) >= 0;
    } else {
        int found = -1;  // the extension's criticality when there is one, -1 or -2 otherwise
        auto* policies = static_cast<CERTIFICATEPOLICIES*>(
            X509_get_ext_d2i(certificate, NID_certificate_policies, &found, nullptr));
        if (policies == nullptr && found != -1) {
            ASN1_OBJECT_free(oid);
            throw openSslError(codesign_code::kMalformed,
                               "the certificate policies cannot be read");
        }
        for (int i = 0; policies != nullptr && i < sk_POLICYINFO_num(policies); ++i) {
            if (OBJ_cmp(sk_POLICYINFO_value(policies, i)->policyid, oid) == 0) {
                present = true;
            }
        }
        CERTIFICATEPOLICIES_free(policies);
    }
    ASN1_OBJECT_free(oid);
    return node.match.op == Op::Exists ? present : !present;
}

}  // namespace

std::optional<std::string> subjectField(X509* certificate, std::string_view field) {
    int nid = subjectNid(field);
    X509_NAME* subject = certificate != nullptr ? X509_get_subject_name(certificate) : nullptr;
    if (nid == NID_undef || subject == nullptr) {
        return std::nullopt;
    }
    std::optional<std::string> value;
    for (int i = X509_NAME_get_index_by_NID(subject, nid, -1); i >= 0;
         i = X509_NAME_get_index_by_NID(subject, nid, i)) {
        unsigned char* utf8 = nullptr;
        int length =
            ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, i)));
        if (length < 0) {
            // Never taken for an absent field, which a requirement may ask for.
            throw openSslError(
                codesign_code::kMalformed,
                "the certificate's subject " + std::string(field) + " cannot be read");
        }
        value = std::string(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(length));
        OPENSSL_free(utf8);
    }
    return value;
}

bool evaluateRequirement(const RequirementNode& node, const RequirementContext& context) {
    switch (node.kind) {
        case Kind::Always: return true;
        case Kind::Never: return false;
        case Kind::Identifier: return context.identifier == node.text;
        case Kind::CdHash:
            return std::find(context.cdhashes.begin(), context.cdhashes.end(), node.hash) !=
                   context.cdhashes.end();
        case Kind::Info:
            return matches(node.match,
                           context.infoString ? context.infoString(node.text) : std::nullopt);
        case Kind::Entitlement: unsupported("entitlements");
        case Kind::AnchorApple: unsupported("anchor apple");
        case Kind::AnchorAppleGeneric: return !context.chain.empty() && context.anchorIsApple;
        case Kind::AnchorTrusted: return !context.chain.empty();
        case Kind::CertificateHash: {
            X509* certificate = certificateAt(context, node.certificate);
            return certificate != nullptr &&
                   certificateDigest(certificate, HashType::Sha1) == node.hash;
        }
        case Kind::CertificateField: {
            X509* certificate = certificateAt(context, node.certificate);
            if (certificate == nullptr) {
                return false;
            }
            return certificateField(certificate, node);
        }
        case Kind::CertificateTrusted: unsupported("certificate trust settings");
        case Kind::And:
        case Kind::Or: {
            // Both sides are evaluated, so that an undecidable clause is never hidden by
            // the other side (nor by a negation around them).
            bool left = evaluateRequirement(*node.left, context);
            bool right = evaluateRequirement(*node.right, context);
            return node.kind == Kind::And ? left && right : left || right;
        }
        case Kind::Not: return !evaluateRequirement(*node.left, context);
    }
    unsupported("unknown clause");
}

}  // namespace tessuro::codesign
