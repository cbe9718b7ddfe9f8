#include "platform/codesign/requirement.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include "signing_fixtures.h"

namespace tessuro::codesign {
namespace {

using test::TestPki;

std::string syntaxError(std::string_view text) {
    try {
        parseRequirement(text);
    } catch (const RequirementSyntaxError& error) {
        return error.what();
    }
    return "parsed";
}

TEST(RequirementParser, AcceptsTheGrammarsForms) {
    for (const char* text : {
             "always",
             "true",
             "never",
             "false",
             "identifier \"a.b\"",
             "identifier = \"a.b\"",
             "identifier com.example.bare",
             "cdhash H\"0123456789abcdef0123456789abcdef01234567\"",
             "info [CFBundleVersion] = \"12\"",
             "info[CFBundleShortVersionString] exists",
             "entitlement [\"com.apple.security.app-sandbox\"] exists",
             "anchor apple",
             "anchor apple generic",
             "anchor trusted",
             "certificate leaf = H\"00ff\"",
             "cert 1[field.1.2.840.113635.100.6.2.6] exists",
             "certificate root trusted",
             "certificate -1[subject.CN] = \"Apple Root CA\"",
             "cert 0[subject.O] = *Vorlak*",
             "certificate leaf[policy.1.2.3] absent",
             "info[K] < \"b\"",
             "info[K] >= \"b\"",
             "info[K] ~ \"x\"",
             "info[K] == \"x\"",
             "(always or never) and !(never)",
             "anchor apple generic /* Apple */ and // the identifier\n identifier \"x\"",
             "identifier \"with \\\"quotes\\\" inside\"",
         }) {
        EXPECT_EQ(syntaxError(text), "parsed") << text;
    }
    EXPECT_EQ(parseRequirement("identifier \"with \\\"quotes\\\" inside\"")->text,
              "with \"quotes\" inside");
}

TEST(RequirementParser, SyntaxErrorsNameThePosition) {
    EXPECT_EQ(syntaxError("identifier"),
              "requirement syntax error at position 11: expected a string, found the end");
    EXPECT_EQ(
        syntaxError("always and"),
        "requirement syntax error at position 11: expected a requirement clause, found the end");
    EXPECT_EQ(syntaxError("always or frobnicate"),
              "requirement syntax error at position 11: unknown clause 'frobnicate'");
    EXPECT_EQ(syntaxError("(always"),
              "requirement syntax error at position 8: expected ')', found the end");
    EXPECT_EQ(syntaxError("identifier \"open"),
              "requirement syntax error at position 12: unterminated string");
    EXPECT_EQ(syntaxError("always /* open"),
              "requirement syntax error at position 8: unterminated comment");
    EXPECT_EQ(syntaxError("cdhash H\"abc\""),
              "requirement syntax error at position 8: a hash needs an even number of "
              "hexadecimal digits");
    EXPECT_EQ(syntaxError("anchor google"),
              "requirement syntax error at position 8: expected 'apple' or 'trusted' after "
              "'anchor', found 'google'");
    EXPECT_EQ(syntaxError("always never"),
              "requirement syntax error at position 8: expected end of requirement, found 'never'");
    EXPECT_EQ(syntaxError("always & never"),
              "requirement syntax error at position 8: unexpected character '&'");
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

class RequirementEvaluation : public ::testing::Test {
protected:
    const TestPki& pki = TestPki::shared();
    RequirementContext context;

    void SetUp() override {
        context.identifier = "com.vorlak.tessuro.psvalidation";
        context.cdhashes = {Bytes(20, 0xAB)};
        context.chain = {pki.leaf.certificate.get(), pki.intermediate.certificate.get(),
                         pki.root.certificate.get()};
        context.anchorIsApple = true;
        context.infoString = [](const std::string& key) -> std::optional<std::string> {
            if (key == "CFBundleVersion") {
                return "12";
            }
            return std::nullopt;
        };
    }

    bool holds(std::string_view text) {
        return evaluateRequirement(*parseRequirement(text), context);
    }
};

TEST_F(RequirementEvaluation, EachClauseDecides) {
    EXPECT_TRUE(holds("always"));
    EXPECT_FALSE(holds("never"));
    EXPECT_TRUE(holds("identifier \"com.vorlak.tessuro.psvalidation\""));
    EXPECT_FALSE(holds("identifier \"com.vorlak.Tessuro.psvalidation\"")) << "exact, case too";
    EXPECT_FALSE(holds("identifier \"com.vorlak.tessuro\""));
    EXPECT_TRUE(holds("anchor apple generic"));
    EXPECT_TRUE(holds("anchor trusted"));
    EXPECT_TRUE(holds("certificate leaf[subject.OU] = \"Q7XK4M2LD8\""));
    EXPECT_FALSE(holds("certificate leaf[subject.OU] = \"q7xk4m2ld8\""));
    EXPECT_TRUE(holds("certificate 1[subject.CN] = \"Test Developer Relations\""));
    EXPECT_TRUE(holds("certificate root[subject.CN] = \"Test Root\""));
    EXPECT_TRUE(holds("certificate -2[subject.CN] = *Relations"));
    EXPECT_TRUE(holds("certificate leaf[subject.CN] = Developer*"));
    EXPECT_TRUE(holds("certificate leaf[subject.CN] = *Vorlak*"));
    EXPECT_FALSE(holds("certificate 7[subject.CN] exists")) << "no such certificate";
    EXPECT_TRUE(holds("certificate leaf[subject.L] absent"));
    EXPECT_TRUE(holds("certificate leaf[field.2.5.29.37] exists"));
    EXPECT_TRUE(holds("certificate root[extension.1.2.3.4] absent"));
    EXPECT_TRUE(holds("info[CFBundleVersion] = \"12\""));
    EXPECT_FALSE(holds("info[CFBundleVersion] = \"12.0\""));
    EXPECT_TRUE(holds("info[Missing] absent"));
    EXPECT_TRUE(holds("info[CFBundleVersion] < \"2\"")) << "compared as text";
    EXPECT_TRUE(holds("cdhash H\"abababababababababababababababababababab\""));
    EXPECT_FALSE(holds("cdhash H\"abababababababababababababababababababac\""));

    unsigned char* der = nullptr;
    int length = i2d_X509(pki.root.certificate.get(), &der);
    unsigned char sha1[SHA_DIGEST_LENGTH];
    SHA1(der, static_cast<std::size_t>(length), sha1);
    OPENSSL_free(der);
    EXPECT_TRUE(holds("certificate root = H\"" + toHex(ByteView(sha1, sizeof sha1)) + "\""));
    EXPECT_FALSE(holds("certificate leaf = H\"" + toHex(ByteView(sha1, sizeof sha1)) + "\""));

    EXPECT_TRUE(holds("never or identifier \"com.vorlak.tessuro.psvalidation\""));
    EXPECT_FALSE(holds("always and never"));
    EXPECT_TRUE(holds("!never and !(always and never)"));
    EXPECT_TRUE(holds("never and never or always")) << "and binds tighter than or";
    EXPECT_FALSE(holds("never and (never or always)"));

    context.anchorIsApple = false;
    EXPECT_FALSE(holds("anchor apple generic"));
}

TEST_F(RequirementEvaluation, WhatItCannotDecideFailsEvenUnderANegation) {
    for (const char* text :
         {"entitlement [\"x\"] exists", "anchor apple", "certificate leaf trusted",
          "info[CFBundleVersion] ~ \"1.*\"", "certificate leaf[subject.UNKNOWNFIELD] exists",
          "certificate leaf[field.2.5.29.37] = \"x\"", "!entitlement [\"x\"] exists",
          "always or anchor apple", "never and anchor apple", "!(never and anchor apple)"}) {
        EXPECT_THROW(holds(text), UnsupportedRequirement) << text;
    }
}

TEST(RequirementEncoding, DesignatedRequirementHasTheBinaryLayout) {
    Bytes set = encodeDesignatedRequirementSet(*parseRequirement(
        "anchor apple generic and identifier \"ab\" and certificate leaf[subject.OU] = \"T\""));
    BlobReader r(set);
    EXPECT_EQ(r.u32(0), kRequirementSetMagic);
    EXPECT_EQ(r.u32(4), set.size());
    EXPECT_EQ(r.u32(8), 1u);
    EXPECT_EQ(r.u32(12), 3u);  // designated
    EXPECT_EQ(r.u32(20), kRequirementMagic);
    EXPECT_EQ(r.u32(28), 1u);  // expression form
    // and(and(appleGenericAnchor, ident "ab"), certField leaf "subject.OU" equal "T")
    std::vector<std::uint32_t> words;
    for (std::size_t at = 32; at + 4 <= set.size(); at += 4) {
        words.push_back(*r.u32(at));
    }
    std::vector<std::uint32_t> expected{6,          6,          15, 2,  2,
                                        0x61620000, 11,         0,  10, 0x7375626a,
                                        0x6563742e, 0x4f550000, 1,  1,  0x54000000};
    EXPECT_EQ(words, expected);
}

}  // namespace
}  // namespace tessuro::codesign
