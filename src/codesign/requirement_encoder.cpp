// The binary form of code requirements: an expression in prefix order, each clause an
// opcode (u32) followed by its operands; data as a u32 length and the bytes, padded to 4.

#include "codesign/requirement.h"
#include "codesign/status.h"

namespace tessuro::codesign {
namespace {

using Node = RequirementNode;
using Kind = RequirementNode::Kind;
using Op = RequirementNode::Match::Op;

enum class Opcode : std::uint32_t {
    False = 0,
    True = 1,
    Identifier = 2,
    AppleAnchor = 3,
    AnchorHash = 4,
    And = 6,
    Or = 7,
    CdHash = 8,
    Not = 9,
    InfoKeyField = 10,
    CertField = 11,
    TrustedCert = 12,
    TrustedCerts = 13,
    AppleGenericAnchor = 15,
    EntitlementField = 16,
};

enum class MatchOpcode : std::uint32_t {
    Exists = 0,
    Equal = 1,
    Contains = 2,
    BeginsWith = 3,
    EndsWith = 4,
    LessThan = 5,
    GreaterThan = 6,
    LessEqual = 7,
    GreaterEqual = 8,
    Absent = 14,
};

// A requirement blob holds one expression; a requirement set lists requirements by type.
constexpr std::uint32_t kExpressionForm = 1;
constexpr std::uint32_t kDesignatedRequirementType = 3;
constexpr std::uint32_t kSetHeaderSize = 12;  // magic, length, count
constexpr std::uint32_t kSetEntrySize = 8;    // type, offset

[[noreturn]] void cannotEncode(const std::string& what) {
    throw codesignError(codesign_code::kUnsupported, what + " cannot be encoded");
}

// Writes one requirement blob: the header, then the clauses given.
class Encoder {
public:
    Encoder() {
        w_.u32(kRequirementMagic);
        w_.u32(0);  // the length, patched by finish()
        w_.u32(kExpressionForm);
    }
    void clause(const Node& node);
    Bytes finish() {
        w_.patchLength();
        return w_.take();
    }

private:
    void opcode(Opcode op) { w_.u32(static_cast<std::uint32_t>(op)); }
    void certificate(const Node& node) { w_.u32(static_cast<std::uint32_t>(node.certificate)); }

    void data(ByteView bytes) {
        w_.u32(static_cast<std::uint32_t>(bytes.size()));
        w_.bytes(bytes);
        while (w_.size() % 4 != 0) {
            w_.u8(0);
        }
    }

    void match(const Node::Match& match) {
        static const std::pair<Op, MatchOpcode> kCodes[] = {
            {Op::Exists, MatchOpcode::Exists},
            {Op::Equal, MatchOpcode::Equal},
            {Op::Contains, MatchOpcode::Contains},
            {Op::BeginsWith, MatchOpcode::BeginsWith},
            {Op::EndsWith, MatchOpcode::EndsWith},
            {Op::Less, MatchOpcode::LessThan},
            {Op::Greater, MatchOpcode::GreaterThan},
            {Op::LessEqual, MatchOpcode::LessEqual},
            {Op::GreaterEqual, MatchOpcode::GreaterEqual},
            {Op::Absent, MatchOpcode::Absent},
        };
        for (const auto& [op, code] : kCodes) {
            if (op == match.op) {
                w_.u32(static_cast<std::uint32_t>(code));
                if (op != Op::Exists && op != Op::Absent) {
                    data(asBytes(match.value));
                }
                return;
            }
        }
        cannotEncode("the match operator");
    }

    void keyed(Opcode op, const Node& node) {
        opcode(op);
        data(asBytes(node.text));
        match(node.match);
    }

    void joined(const Node& node);
    void certificateClause(const Node& node);

    BlobWriter w_;
};

void Encoder::clause(const Node& node) {
    switch (node.kind) {
        case Kind::Never: opcode(Opcode::False); return;
        case Kind::Always: opcode(Opcode::True); return;
        case Kind::Identifier:
            opcode(Opcode::Identifier);
            data(asBytes(node.text));
            return;
        case Kind::AnchorApple: opcode(Opcode::AppleAnchor); return;
        case Kind::AnchorAppleGeneric: opcode(Opcode::AppleGenericAnchor); return;
        case Kind::AnchorTrusted: opcode(Opcode::TrustedCerts); return;
        case Kind::CdHash:
            opcode(Opcode::CdHash);
            data(node.hash);
            return;
        case Kind::Info: keyed(Opcode::InfoKeyField, node); return;
        case Kind::Entitlement: keyed(Opcode::EntitlementField, node); return;
        case Kind::CertificateHash:
        case Kind::CertificateField:
        case Kind::CertificateTrusted: certificateClause(node); return;
        case Kind::And:
        case Kind::Or:
        case Kind::Not: joined(node); return;
    }
    cannotEncode("the clause");
}

void Encoder::joined(const Node& node) {
    if (node.kind == Kind::Not) {
        opcode(Opcode::Not);
        clause(*node.left);
        return;
    }
    opcode(node.kind == Kind::And ? Opcode::And : Opcode::Or);
    clause(*node.left);
    clause(*node.right);
}

void Encoder::certificateClause(const Node& node) {
    switch (node.kind) {
        case Kind::CertificateHash:
            opcode(Opcode::AnchorHash);
            certificate(node);
            data(node.hash);
            return;
        case Kind::CertificateTrusted:
            opcode(Opcode::TrustedCert);
            certificate(node);
            return;
        default: break;
    }
    if (node.text.rfind("subject.", 0) != 0) {
        cannotEncode("the certificate field " + node.text);
    }
    opcode(Opcode::CertField);
    certificate(node);
    data(asBytes(node.text));
    match(node.match);
}

}  // namespace

Bytes encodeRequirement(const RequirementNode& node) {
    Encoder encoder;
    encoder.clause(node);
    return encoder.finish();
}

Bytes encodeDesignatedRequirementSet(const RequirementNode& node) {
    const Bytes requirement = encodeRequirement(node);
    constexpr std::uint32_t kRequirementOffset = kSetHeaderSize + kSetEntrySize;
    BlobWriter w;
    w.u32(kRequirementSetMagic);
    w.u32(static_cast<std::uint32_t>(kRequirementOffset + requirement.size()));
    w.u32(1);  // count
    w.u32(kDesignatedRequirementType);
    w.u32(kRequirementOffset);
    w.bytes(requirement);
    return w.take();
}

}  // namespace tessuro::codesign
