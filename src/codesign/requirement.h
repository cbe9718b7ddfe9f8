#pragma once

#include <openssl/x509.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "codesign/blob.h"

namespace tessuro::codesign {

// A clause of a code requirement.
struct RequirementNode {
    enum class Kind {
        Always,
        Never,
        Identifier,   // text
        CdHash,       // hash
        Info,         // key, match
        Entitlement,  // key, match
        AnchorApple,  // Apple's own anchor
        AnchorAppleGeneric,
        AnchorTrusted,
        CertificateHash,   // certificate, hash (SHA-1 of its DER)
        CertificateField,  // certificate, key, match
        CertificateTrusted,
        And,
        Or,
        Not,
    };
    struct Match {
        enum class Op {
            Exists,
            Absent,
            Equal,
            Contains,
            BeginsWith,
            EndsWith,
            Less,
            Greater,
            LessEqual,
            GreaterEqual,
            Regex
        };
        Op op = Op::Exists;
        std::string value;
    };

    Kind kind = Kind::Always;
    std::string text;  // identifier, or the key of Info/Entitlement/CertificateField
    Bytes hash;
    int certificate = 0;  // 0 the leaf, 1 its issuer...; -1 the anchor, -2 below it...
    Match match;
    std::unique_ptr<RequirementNode> left, right;
};

// Parses the requirement language; throws a code-signing Error (kRequirementSyntax) naming
// the position.
std::unique_ptr<RequirementNode> parseRequirement(std::string_view text);

// What a requirement is evaluated against: the signature's identifier and cdhashes, the
// certificate chain (leaf first, anchor last), whether that anchor counts as Apple's, and
// the bundle's Info.plist strings.
struct RequirementContext {
    std::string identifier;
    std::vector<Bytes> cdhashes;
    std::vector<X509*> chain;
    bool anchorIsApple = false;
    std::function<std::optional<std::string>(const std::string& key)> infoString;
};

// True when the requirement holds; throws a code-signing Error (kUnsupported) for a clause
// it cannot decide, rather than guess (also beneath a negation, which therefore never
// turns "unknown" into "true"); kMalformed for a certificate field OpenSSL cannot read, and
// kCryptoFailed for a certificate hash OpenSSL cannot take.
bool evaluateRequirement(const RequirementNode& node, const RequirementContext& context);

// The binary form (magic 0xfade0c00) of a requirement, and a requirement set holding it as
// the designated requirement (magic 0xfade0c01). Throws a code-signing Error (kUnsupported)
// for clauses the encoder does not write.
Bytes encodeRequirement(const RequirementNode& node);
Bytes encodeDesignatedRequirementSet(const RequirementNode& node);

// The last value of a subject field ("OU", "CN", "O", "C", ...) of a certificate; throws a
// code-signing Error (kMalformed) when OpenSSL cannot read a value of that field.
std::optional<std::string> subjectField(X509* certificate, std::string_view field);

}  // namespace tessuro::codesign
