#include "codesign/requirement.h"

#include <gtest/gtest.h>

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
        while (times-- > 0) {
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
    const std::string rootHash =
        "H\"" + toHex(certificateDigest(TestPki::shared().root.certificate.get(), HashType::Sha1)) +
        "\"";
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
        {"certificate leaf[subject.CN] = ID*", Fails},
        {"certificate leaf[subject.OU] = *Q7XK4M2LD8", Holds},
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
    std::string expected =
        "fade0c01 0000005c 00000001 00000003 00000014 "  // the set: one designated (3), at 20
        "fade0c00 00000048 00000001 "                    // the requirement: an expression
        "00000006 00000006 0000000f "                    // and(and(appleGenericAnchor,
        "00000002 00000002 61620000 "                    // ident "ab"),
        "0000000b 00000000 0000000a 7375626a 6563742e 4f550000 "  // certField leaf "subject.OU"
        "00000001 00000001 54000000";                             // equal "T")
    std::erase(expected, ' ');
    EXPECT_EQ(toHex(set), expected);
}

}  // namespace
}  // namespace tessuro::codesign
