// Evaluation and binary encoding of code requirements.

#include "platform/codesign/requirement.h"

#include <openssl/objects.h>
#include <openssl/sha.h>
#include <openssl/x509v3.h>

#include <algorithm>

namespace tessuro::codesign {
namespace {

using Node = RequirementNode;
using Kind = RequirementNode::Kind;
using Op = RequirementNode::Match::Op;

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
    throw UnsupportedRequirement("match operator not supported");
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
            throw UnsupportedRequirement("certificate field " + key);
        }
        return matches(node.match, subjectField(certificate, std::string_view(key).substr(8)));
    }
    bool extension = key.rfind("field.", 0) == 0 || key.rfind("extension.", 0) == 0;
    bool policy = key.rfind("policy.", 0) == 0;
    if (!extension && !policy) {
        throw UnsupportedRequirement("certificate field " + key);
    }
    if (node.match.op != Op::Exists && node.match.op != Op::Absent) {
        throw UnsupportedRequirement("value of certificate field " + key);
    }
    ASN1_OBJECT* oid = oidOf(std::string_view(key).substr(key.find('.') + 1));
    if (oid == nullptr) {
        throw UnsupportedRequirement("certificate field " + key);
    }
    bool present = false;
    if (extension) {
        present = X509_get_ext_by_OBJ(certificate, oid, -1) >= 0;
    } else {
        auto* policies = static_cast<CERTIFICATEPOLICIES*>(
            X509_get_ext_d2i(certificate, NID_certificate_policies, nullptr, nullptr));
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

void data(BlobWriter& w, ByteView bytes) {
    w.u32(static_cast<std::uint32_t>(bytes.size()));
    w.bytes(bytes);
    while (w.size() % 4 != 0) {
        w.u8(0);
    }
}

void encodeMatch(BlobWriter& w, const Node::Match& match) {
    static const std::pair<Op, std::uint32_t> kCodes[] = {
        {Op::Exists, 0},       {Op::Equal, 1},   {Op::Contains, 2}, {Op::BeginsWith, 3},
        {Op::EndsWith, 4},     {Op::Less, 5},    {Op::Greater, 6},  {Op::LessEqual, 7},
        {Op::GreaterEqual, 8}, {Op::Absent, 14},
    };
    for (const auto& [op, code] : kCodes) {
        if (op == match.op) {
            w.u32(code);
            if (op != Op::Exists && op != Op::Absent) {
                data(w, asBytes(match.value));
            }
            return;
        }
    }
    throw UnsupportedRequirement("match operator cannot be encoded");
}

void encode(BlobWriter& w, const Node& node) {
    switch (node.kind) {
        case Kind::Never: w.u32(0); return;
        case Kind::Always: w.u32(1); return;
        case Kind::Identifier:
            w.u32(2);
            data(w, asBytes(node.text));
            return;
        case Kind::AnchorApple: w.u32(3); return;
        case Kind::CertificateHash:
            w.u32(4);
            w.u32(static_cast<std::uint32_t>(node.certificate));
            data(w, node.hash);
            return;
        case Kind::And:
        case Kind::Or:
            w.u32(node.kind == Kind::And ? 6 : 7);
            encode(w, *node.left);
            encode(w, *node.right);
            return;
        case Kind::CdHash:
            w.u32(8);
            data(w, node.hash);
            return;
        case Kind::Not:
            w.u32(9);
            encode(w, *node.left);
            return;
        case Kind::Info:
            w.u32(10);
            data(w, asBytes(node.text));
            encodeMatch(w, node.match);
            return;
        case Kind::CertificateField:
            if (node.text.rfind("subject.", 0) == 0) {
                w.u32(11);
                w.u32(static_cast<std::uint32_t>(node.certificate));
                data(w, asBytes(node.text));
                encodeMatch(w, node.match);
                return;
            }
            break;
        case Kind::CertificateTrusted:
            w.u32(12);
            w.u32(static_cast<std::uint32_t>(node.certificate));
            return;
        case Kind::AnchorTrusted: w.u32(13); return;
        case Kind::AnchorAppleGeneric: w.u32(15); return;
        case Kind::Entitlement:
            w.u32(16);
            data(w, asBytes(node.text));
            encodeMatch(w, node.match);
            return;
    }
    throw UnsupportedRequirement("clause cannot be encoded");
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
        if (length >= 0) {
            value = std::string(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(length));
            OPENSSL_free(utf8);
        }
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
        case Kind::Entitlement: throw UnsupportedRequirement("entitlements");
        case Kind::AnchorApple: throw UnsupportedRequirement("anchor apple");
        case Kind::AnchorAppleGeneric: return !context.chain.empty() && context.anchorIsApple;
        case Kind::AnchorTrusted: return !context.chain.empty();
        case Kind::CertificateHash: {
            X509* certificate = certificateAt(context, node.certificate);
            if (certificate == nullptr) {
                return false;
            }
            unsigned char* der = nullptr;
            int length = i2d_X509(certificate, &der);
            if (length < 0) {
                return false;
            }
            Bytes sha1(SHA_DIGEST_LENGTH);
            SHA1(der, static_cast<std::size_t>(length), sha1.data());
            OPENSSL_free(der);
            return sha1 == node.hash;
        }
        case Kind::CertificateField: {
            X509* certificate = certificateAt(context, node.certificate);
            if (certificate == nullptr) {
                return false;
            }
            return certificateField(certificate, node);
        }
        case Kind::CertificateTrusted: throw UnsupportedRequirement("certificate trust settings");
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
    throw UnsupportedRequirement("unknown clause");
}

Bytes encodeRequirement(const RequirementNode& node) {
    BlobWriter w;
    w.u32(kRequirementMagic);
    w.u32(0);
    w.u32(1);  // expression form
    encode(w, node);
    w.patchU32(4, static_cast<std::uint32_t>(w.size()));
    return w.take();
}

Bytes encodeDesignatedRequirementSet(const RequirementNode& node) {
    Bytes requirement = encodeRequirement(node);
    BlobWriter w;
    w.u32(kRequirementSetMagic);
    w.u32(static_cast<std::uint32_t>(12 + 8 + requirement.size()));
    w.u32(1);  // count
    w.u32(3);  // designated requirement
    w.u32(20);
    w.bytes(requirement);
    return w.take();
}

}  // namespace tessuro::codesign
