#include "platform/codesign/requirement.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include "platform/byte_reader.h"
#include "signing_fixtures.h"

namespace tessuro::codesign {
namespace {

using test::TestPki;

std::string syntaxError(std::string_view text) {
    try {
        parseRequirement(text);
    } catch (const Error& error) {
        EXPECT_EQ(error.code(), codesign_code::kRequirementSyntax);
        return error.what();
    }
    return "parsed";
}

TEST(RequirementParser, ReadsQuotedStringsWithTheirEscapes) {
    EXPECT_EQ(parseRequirement("identifier \"with \\\"quotes\\\" inside\"")->text,
              "with \"quotes\" inside");
}

TEST(RequirementParser, SyntaxErrorsNameThePosition) {
    const std::pair<const char*, const char*> cases[] = {
        {"identifier", "11: expected a string, found the end"},
        {"always and", "11: expected a requirement clause, found the end"},
        {"always or frobnicate", "11: unknown clause 'frobnicate'"},
        {"(always", "8: expected ')', found the end"},
        {"identifier \"open", "12: unterminated string"},
        {"always /* open", "8: unterminated comment"},
        {"cdhash H\"abc\"", "8: a hash needs an even number of hexadecimal digits"},
        {"anchor google", "8: expected 'apple' or 'trusted' after 'anchor', found 'google'"},
        {"always never", "8: expected end of requirement, found 'never'"},
        {"always & never", "8: unexpected character '&'"},
    };
    for (const auto& [text, error] : cases) {
        EXPECT_EQ(syntaxError(text), std::string("requirement syntax error at position ") + error);
    }
}

// Nesting that would exhaust the stack of the parser, the evaluator or the tree's
// destruction is a syntax error at the clause that goes too deep.
TEST(RequirementParser, RefusesNestingDeeperThanTheLimit) {
    auto repeated = [](std::string_view piece, int times) {
        std::string text;
        for (int i = 0; i < times; ++i) {
            text += piece;
        }
        return text;
    };
    const std::string tooDeep =
        "requirement syntax error at position 513: nested deeper than 512 levels";
    EXPECT_EQ(syntaxError(repeated("!", 512) + "always"), "parsed");
    EXPECT_EQ(syntaxError(repeated("!", 40000) + "always"), tooDeep);
    EXPECT_EQ(syntaxError(repeated("(", 512) + "always" + repeated(")", 512)), "parsed");
    EXPECT_EQ(syntaxError(repeated("(", 60000)), tooDeep);
    EXPECT_EQ(syntaxError("always" + repeated(" or always", 512)), "parsed");
    EXPECT_EQ(syntaxError("always" + repeated(" or always", 513)),
              "requirement syntax error at position 5128: nested deeper than 512 levels");
}

enum class Outcome { Holds, Fails, Undecided };

Outcome evaluate(std::string_view text, bool anchorIsApple = true) {
    const TestPki& pki = TestPki::shared();
    const RequirementContext context{
        "com.vorlak.tessuro.psvalidation",
        {Bytes(20, 0xAB)},
        {pki.leaf.certificate.get(), pki.intermediate.certificate.get(),
         pki.root.certificate.get()},
        anchorIsApple,
        [](const std::string& key) {
            return key == "CFBundleVersion" ? std::optional<std::string>("12") : std::nullopt;
        }};
    try {
        return evaluateRequirement(*parseRequirement(text), context) ? Outcome::Holds
                                                                     : Outcome::Fails;
    } catch (const Error& error) {
        EXPECT_EQ(error.code(), codesign_code::kUnsupported) << text;
        return Outcome::Undecided;
    }
}

// Every form of the grammar parses and decides against a leaf, intermediate and root: the
// identifier exactly, case too; a subject field as the last value, exactly; info values as
// text. What the evaluator cannot decide fails the check, also beneath a negation.
TEST(RequirementEvaluation, EachClauseDecidesOrFailsClosed) {
    unsigned char* der = nullptr;
    const int length = i2d_X509(TestPki::shared().root.certificate.get(), &der);
    unsigned char sha1[SHA_DIGEST_LENGTH];
    SHA1(der, static_cast<std::size_t>(length), sha1);
    OPENSSL_free(der);
    const std::string rootHash = "H\"" + toHex(ByteView(sha1, sizeof sha1)) + "\"";
    using enum Outcome;
    const std::pair<std::string, Outcome> cases[] = {
        {"always", Holds},
        {"true", Holds},
        {"never", Fails},
        {"false", Fails},
        {"identifier \"com.vorlak.tessuro.psvalidation\"", Holds},
        {"identifier = com.vorlak.tessuro.psvalidation", Holds},
        {"identifier \"com.vorlak.Tessuro.psvalidation\"", Fails},
        {"identifier \"com.vorlak.tessuro\"", Fails},
        {"anchor apple generic", Holds},
        {"anchor trusted", Holds},
        {"certificate leaf[subject.OU] = \"Q7XK4M2LD8\"", Holds},
        {"certificate leaf[subject.OU] = \"q7xk4m2ld8\"", Fails},
        {"cert 1[subject.CN] = \"Test Developer Relations\"", Holds},
        {"certificate root[subject.CN] = \"Test Root\"", Holds},
        {"certificate -2[subject.CN] = *Relations", Holds},
        {"certificate leaf[subject.CN] = Developer*", Holds},
        {"certificate leaf[subject.CN] == *Vorlak*", Holds},
        {"certificate 7[subject.CN] exists", Fails},
        {"certificate leaf[subject.L] absent", Holds},
        {"certificate leaf[field.2.5.29.37] exists", Holds},
        {"certificate root[extension.1.2.3.4] absent", Holds},
        {"certificate leaf[policy.1.2.3] absent", Holds},
        {"info[CFBundleVersion] = \"12\"", Holds},
        {"info [CFBundleVersion] = \"12.0\"", Fails},
        {"info[Missing] absent", Holds},
        {"info[CFBundleVersion] exists", Holds},
        {"info[CFBundleVersion] < \"2\"", Holds},
        {"info[CFBundleVersion] >= \"2\"", Fails},
        {"cdhash H\"abababababababababababababababababababab\"", Holds},
        {"cdhash H\"abababababababababababababababababababac\"", Fails},
        {"certificate root = " + rootHash, Holds},
        {"certificate leaf = " + rootHash, Fails},
        {"never or identifier com.vorlak.tessuro.psvalidation", Holds},
        {"always and never", Fails},
        {"!never and !(always and never)", Holds},
        {"never and never or always", Holds},
        {"never and (never or always)", Fails},
        {"anchor apple generic /* Apple */ and // the team\n cert leaf[subject.OU] exists", Holds},
        {"entitlement [\"com.apple.security.app-sandbox\"] exists", Undecided},
        {"anchor apple", Undecided},
        {"certificate root trusted", Undecided},
        {"info[CFBundleVersion] ~ \"1.*\"", Undecided},
        {"certificate leaf[subject.UNKNOWNFIELD] exists", Undecided},
        {"certificate leaf[field.2.5.29.37] = \"x\"", Undecided},
        {"!entitlement [\"x\"] exists", Undecided},
        {"always or anchor apple", Undecided},
        {"never and anchor apple", Undecided},
        {"!(never and anchor apple)", Undecided}};
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(evaluate(text), expected) << text;
    }
    EXPECT_EQ(evaluate("anchor apple generic", /*anchorIsApple=*/false), Fails);
}

TEST(RequirementEncoding, DesignatedRequirementHasTheBinaryLayout) {
    const Bytes set = encodeDesignatedRequirementSet(*parseRequirement(
        "anchor apple generic and identifier \"ab\" and certificate leaf[subject.OU] = \"T\""));
    ByteReader reader(set);
    std::vector<std::uint32_t> words;
    while (reader.remaining() > 0) {
        words.push_back(reader.u32());
    }
    // The set: magic, length, one designated (3) requirement at 20: magic, length,
    // expression form, then and(and(appleGenericAnchor, ident "ab"), certField leaf
    // "subject.OU" equal "T").
    const std::vector<std::uint32_t> expected{0xfade0c01,
                                              static_cast<std::uint32_t>(set.size()),
                                              1,
                                              3,
                                              20,
                                              0xfade0c00,
                                              static_cast<std::uint32_t>(set.size() - 20),
                                              1,
                                              6,
                                              6,
                                              15,
                                              2,
                                              2,
                                              0x61620000,
                                              11,
                                              0,
                                              10,
                                              0x7375626a,
                                              0x6563742e,
                                              0x4f550000,
                                              1,
                                              1,
                                              0x54000000};
    EXPECT_EQ(words, expected);
}

}  // namespace
}  // namespace tessuro::codesign
