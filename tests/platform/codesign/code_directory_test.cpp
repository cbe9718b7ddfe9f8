#include "platform/codesign/code_directory.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <random>

#include "platform/codesign/code_resources.h"

namespace tessuro::codesign {
namespace {

Bytes validBlob() {
    CodeDirectoryContent content;
    content.identifier = "com.vorlak.tessuro.psvalidation";
    content.teamIdentifier = "Q7XK4M2LD8";
    content.infoPlistHash = Bytes(32, 1);
    content.requirementsHash = Bytes(32, 2);
    content.resourcesHash = Bytes(32, 3);
    content.executableHash = Bytes(32, 4);
    content.executableSize = 1234;
    return buildCodeDirectory(content);
}

void put32(Bytes& blob, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        blob[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
    }
}

TEST(CodeDirectoryParse, ReadsWhatTheBuilderWrites) {
    std::optional<CodeDirectory> cd = CodeDirectory::parse(validBlob());
    ASSERT_TRUE(cd.has_value());
    EXPECT_EQ(cd->identifier(), "com.vorlak.tessuro.psvalidation");
    EXPECT_EQ(cd->teamIdentifier(), "Q7XK4M2LD8");
    EXPECT_EQ(cd->codeLimit(), 1234u);
    EXPECT_EQ(cd->hashType(), HashType::Sha256);
    EXPECT_EQ(Bytes(cd->specialSlot(1)->begin(), cd->specialSlot(1)->end()), Bytes(32, 1));
    EXPECT_EQ(Bytes(cd->specialSlot(3)->begin(), cd->specialSlot(3)->end()), Bytes(32, 3));
    EXPECT_EQ(Bytes(cd->codeSlot(0)->begin(), cd->codeSlot(0)->end()), Bytes(32, 4));
    EXPECT_FALSE(cd->specialSlot(4).has_value());
    EXPECT_FALSE(cd->codeSlot(1).has_value());
}

TEST(CodeDirectoryParse, RejectsMalformedBlobsWithoutReadingPastThem) {
    const Bytes good = validBlob();
    struct Case {
        const char* name;
        std::function<void(Bytes&)> edit;
    };
    std::vector<Case> cases{
        {"empty", [](Bytes& b) { b.clear(); }},
        {"short header",
         [](Bytes& b) {
             b.resize(30);
             put32(b, 4, 30);
         }},
        {"length beyond the data",
         [](Bytes& b) { put32(b, 4, static_cast<std::uint32_t>(b.size() + 4)); }},
        {"length short of the data",
         [](Bytes& b) { put32(b, 4, static_cast<std::uint32_t>(b.size() - 4)); }},
        {"wrong magic", [](Bytes& b) { put32(b, 0, kRequirementMagic); }},
        {"version too old", [](Bytes& b) { put32(b, 8, 0x10000); }},
        {"version too new", [](Bytes& b) { put32(b, 8, 0x30000); }},
        {"hash offset past the end", [](Bytes& b) { put32(b, 16, 0xFFFFFFF0); }},
        {"hash offset inside the header", [](Bytes& b) { put32(b, 16, 8); }},
        {"identifier offset past the end", [](Bytes& b) { put32(b, 20, 0x7FFFFFFF); }},
        {"identifier without its NUL",
         [](Bytes& b) {
             put32(b, 20, static_cast<std::uint32_t>(b.size() - 1));
             b.back() = 'x';
         }},
        {"too many special slots", [](Bytes& b) { put32(b, 24, 0x10000000); }},
        {"too many code slots", [](Bytes& b) { put32(b, 28, 0x40000000); }},
        {"hash size not the type's", [](Bytes& b) { b[36] = 20; }},
        {"unknown hash type", [](Bytes& b) { b[37] = 9; }},
        {"team offset past the end", [](Bytes& b) { put32(b, 48, 0xFFFFFFFF); }},
        {"version with codeLimit64 but short",
         [](Bytes& b) {
             put32(b, 8, 0x20300);
             b.resize(60);
             put32(b, 4, 60);
         }},
    };
    for (const Case& c : cases) {
        Bytes blob = good;
        c.edit(blob);
        EXPECT_FALSE(CodeDirectory::parse(blob).has_value()) << c.name;
    }

    // Random damage never reads outside the blob (the sanitizer build checks the reads).
    std::mt19937 random(1);
    for (int i = 0; i < 20000; ++i) {
        Bytes blob = good;
        int flips = 1 + static_cast<int>(random() % 4);
        for (int f = 0; f < flips; ++f) {
            blob[random() % blob.size()] = static_cast<std::uint8_t>(random());
        }
        if (random() % 3 == 0) {
            blob.resize(random() % blob.size());
        }
        if (auto cd = CodeDirectory::parse(blob)) {
            for (std::uint32_t k = 1; k <= std::min<std::uint32_t>(cd->specialSlotCount(), 8);
                 ++k) {
                (void)cd->specialSlot(k);
            }
            (void)cd->codeSlot(0);
            (void)cd->cdhash();
        }
    }
}

}  // namespace
}  // namespace tessuro::codesign

namespace tessuro::codesign {
namespace {

// Found by fuzzing: rule expressions that make the regex compiler build a gigantic
// automaton ("{n}" and nested "+" copy their operand) are refused, quickly.
TEST(CodeResourcesRules, HostileExpressionsMakeTheSealMalformed) {
    char pattern[] = "/tmp/tessuro-rules-XXXXXX";
    std::string root = ::mkdtemp(pattern);
    int contents = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    auto seal = [](const std::string& rule) {
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
               "<key>files2</key><dict/><key>rules2</key><dict><key>" +
               rule + "</key><true/></dict></dict></plist>";
    };
    for (std::string rule : {std::string("a{1000}{1000}"), std::string("^x") + std::string(40, '+'),
                             std::string("(((((((((a+)+)+)+)+)+)+)+)+)+"), std::string(600, 'a'),
                             "^R" + std::string(130, '*'), std::string("a*?b")}) {
        std::string text = seal(rule);
        EXPECT_EQ(verifyResources(asBytes(text), contents, {}).check, ResourceCheck::Malformed)
            << rule.substr(0, 40);
    }
    std::string fine = seal("^[^/]+$");
    EXPECT_EQ(verifyResources(asBytes(fine), contents, {}).check, ResourceCheck::Intact);
    ::close(contents);
    ::rmdir(root.c_str());
}

}  // namespace
}  // namespace tessuro::codesign
