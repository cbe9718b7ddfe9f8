#include "platform/bundle.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <string_view>
#include <vector>

#include "child_process.h"
#include "hostile_plists.h"
#include "platform/error.h"
#include "platform/property_list.h"
#include "temp_dir.h"

namespace tessuro {
namespace {

using test::PlistFormat;
using test::TempDir;
using test::writeFile;
using test::writeInfoPlist;

// A string value, from XML or binary; everything else, and every Info.plist reached through
// a link inside the bundle, is absent.
TEST(BundleInfo, ReadsStringValuesOnlyWithoutFollowingLinks) {
    TempDir dir;
    const std::string head = R"(<?xml version="1.0"?><plist version="1.0">)";
    writeInfoPlist(dir / "Xml.app", {{"CFBundleVersion", "12"}}, PlistFormat::Xml);
    writeInfoPlist(dir / "Bin.app", {{"CFBundleVersion", "12.0"}}, PlistFormat::Binary);
    writeFile(bundleInfoPlistPath(dir / "Int.app"),
              head + "<dict><key>CFBundleVersion</key><integer>12</integer></dict></plist>");
    writeFile(bundleInfoPlistPath(dir / "Array.app"),
              head + "<array><string>CFBundleVersion</string></array></plist>");
    writeFile(bundleInfoPlistPath(dir / "Empty.app"), "");
    std::filesystem::create_directories(bundleInfoPlistPath(dir / "Folder.app"));
    std::filesystem::create_directories(dir / "Link.app/Contents");
    std::filesystem::create_symlink(bundleInfoPlistPath(dir / "Xml.app"),
                                    bundleInfoPlistPath(dir / "Link.app"));
    std::filesystem::create_directory(dir / "LinkedContents.app");
    std::filesystem::create_directory_symlink(dir / "Xml.app/Contents",
                                              dir / "LinkedContents.app/Contents");

    EXPECT_EQ(bundleInfoString(dir / "Xml.app", "CFBundleVersion"), "12");
    EXPECT_EQ(bundleInfoString(dir / "Bin.app", "CFBundleVersion"), "12.0");
    EXPECT_EQ(bundleInfoString(dir / "Xml.app", "CFBundleIdentifier"), std::nullopt);
    for (const char* name : {"Int.app", "Array.app", "Empty.app", "Folder.app", "Missing.app",
                             "Link.app", "LinkedContents.app"}) {
        EXPECT_EQ(bundleInfoString(dir / name, "CFBundleVersion"), std::nullopt) << name;
    }
}

TEST(BundleInfo, FailuresNameTheFileAndKeepTheirSource) {
    TempDir dir;
    writeFile(dir / "Bad.app/Contents/Info.plist", "not a property list");
    auto failure = [&](const char* bundle) {
        try {
            readBundleInfo(dir / bundle);
        } catch (const Error& error) {
            return error.domain() + " " + std::to_string(error.code()) + " " +
                   error.localizedDescription();
        }
        return std::string("read");
    };
    EXPECT_EQ(failure("Bad.app"), "PropertyList 1 无法读取属性列表“" +
                                      bundleInfoPlistPath(dir / "Bad.app").string() +
                                      "”：内容不是有效的属性列表");
    EXPECT_EQ(failure("Missing.app"), "POSIX 2 无法读取“" +
                                          bundleInfoPlistPath(dir / "Missing.app").string() +
                                          "”：文件或文件夹不存在");
}

TEST(MainBundle, ExecutableInsideABundleStandsForTheBundle) {
    EXPECT_EQ(bundlePathForExecutable("/opt/Tessuro Installer.app/Contents/MacOS/installer"),
              "/opt/Tessuro Installer.app");
    EXPECT_EQ(bundlePathForExecutable("/usr/bin/installer"), "/usr/bin");
    EXPECT_EQ(bundlePathForExecutable("/opt/X.app/Contents/Resources/installer"),
              "/opt/X.app/Contents/Resources");
    EXPECT_EQ(bundlePathForExecutable("/Contents/MacOS/installer"), "/Contents/MacOS");
    EXPECT_EQ(bundlePathForExecutable("/opt/X.app/Other/MacOS/installer"),
              "/opt/X.app/Other/MacOS");

    TempDir dir;
    std::filesystem::path executable = test::makeAppBundle(dir / "Some App.app", "x.y");
    test::ChildProcess child(executable, {.arguments = {"--print-bundle"}});
    EXPECT_EQ(child.readLine(), (dir / "Some App.app").string());
}

// "parses", or the text of the error the parse fails with.
std::string outcome(const std::string& data, const PropertyListLimits& limits) {
    try {
        PropertyList::parse(data, "test", limits);
        return "parses";
    } catch (const Error& error) {
        return error.localizedDescription();
    }
}

std::string repeated(std::string_view text, std::size_t times) {
    std::string out;
    out.reserve(text.size() * times);
    for (std::size_t i = 0; i < times; ++i) {
        out += text;
    }
    return out;
}

// Hostile property lists nest deep enough to exhaust the parser's stack (200 000 levels
// crashed it), hide their nesting from a reader that counts tags, share one binary object
// until the tree has billions of nodes, or refer to themselves.
TEST(PropertyListFile, HostileListsAreRefusedWithoutCrashing) {
    const PropertyListLimits info = PropertyList::kInfoPlistLimits;
    const PropertyListLimits large{64u << 20, 2'000'000};  // as a bundle's resource seal
    const std::string parses = "parses";
    const std::string tooLarge = "无法读取属性列表“test”：内容过大或嵌套过深";
    const std::string invalid = "无法读取属性列表“test”：内容不是有效的属性列表";
    auto xmlArray = [](std::string_view item, std::size_t times) {
        return "<plist><array>" + repeated(item, times) + "</array></plist>";
    };
    auto xmlString = [](std::string_view text) {
        return "<plist><string>" + std::string(text) + "</string></plist>";
    };
    const std::string manyValues = xmlArray("<true/>", 200'000);
    struct Row {
        const char* name;
        std::string data;
        PropertyListLimits limits;
        const std::string& expected;
    };
    const std::vector<Row> rows{
        {"as deep as allowed", test::nestedXmlPlist(PropertyList::kMaxDepth), info, parses},
        {"a level deeper", test::nestedXmlPlist(PropertyList::kMaxDepth + 1), info, tooLarge},
        {"deep enough to crash", test::nestedXmlPlist(2'000'000), large, tooLarge},
        {"nesting hidden in comments", test::hiddenNestingXmlPlist(30'000, test::HiddenIn::Comment),
         large, tooLarge},
        {"nesting hidden in CDATA", test::hiddenNestingXmlPlist(30'000, test::HiddenIn::Cdata),
         large, tooLarge},
        {"nesting hidden in a DOCTYPE",
         test::hiddenNestingXmlPlist(30'000, test::HiddenIn::Doctype), large, tooLarge},
        {"nesting hidden in instructions",
         test::hiddenNestingXmlPlist(30'000, test::HiddenIn::Instruction), large, tooLarge},
        {"nesting hidden in attributes",
         test::hiddenNestingXmlPlist(30'000, test::HiddenIn::Attribute), large, tooLarge},
        {"hidden nesting as deep as allowed",
         test::hiddenNestingXmlPlist(PropertyList::kMaxDepth, test::HiddenIn::Comment), info,
         parses},
        {"as many nodes as allowed", xmlArray("<true/>", info.maxNodes - 1), info, parses},
        {"a node more", xmlArray("<true/>", info.maxNodes), info, tooLarge},
        {"a seal's many nodes, within the large bounds", manyValues, large, parses},
        {"a seal's many nodes, as an Info.plist", manyValues, info, tooLarge},
        {"over the size limit", std::string(info.maxSize + 1, ' '), info, tooLarge},
        {"a string of a few entities", xmlString(repeated("&amp;", 1'000)), info, parses},
        {"a string of many entities", xmlString(repeated("&amp;", 100'000)), info, tooLarge},
        {"binary chain as deep as allowed", test::chainedBinaryPlist(PropertyList::kMaxDepth), info,
         parses},
        {"binary chain a level deeper", test::chainedBinaryPlist(PropertyList::kMaxDepth + 1), info,
         tooLarge},
        {"binary chain deep enough to crash", test::chainedBinaryPlist(200'000), large, tooLarge},
        {"binary cycle", test::chainedBinaryPlist(3, 0), info, invalid},
        {"binary key holding U+0000", test::nulInKeyBinaryPlist(), info, invalid},
        {"binary objects shared into 65 535 nodes", test::doublingBinaryPlist(16), info, parses},
        {"binary objects shared into 131 071 nodes", test::doublingBinaryPlist(17), info, tooLarge},
        {"binary objects shared into 2^40 nodes", test::doublingBinaryPlist(40), info, tooLarge},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(outcome(row.data, row.limits), row.expected) << row.name;
    }
}

// Its limit applies to the read: a larger file is refused before a byte of it is parsed.
TEST(PropertyListFile, InfoPlistOverItsSizeIsRefusedUnread) {
    TempDir dir;
    const std::size_t limit = PropertyList::kInfoPlistLimits.maxSize;
    auto write = [&](const char* bundle, std::size_t size) {
        std::string text = R"(<?xml version="1.0"?><plist version="1.0"><dict>)"
                           "<key>CFBundleVersion</key><string>12</string></dict></plist>";
        text.resize(size, '\n');
        writeFile(bundleInfoPlistPath(dir / bundle), text);
    };
    write("Limit.app", limit);
    write("Over.app", limit + 1);
    EXPECT_EQ(readBundleInfo(dir / "Limit.app").stringForKey("CFBundleVersion"), "12");
    try {
        readBundleInfo(dir / "Over.app");
        ADD_FAILURE() << "read";
    } catch (const Error& error) {
        EXPECT_EQ(error.domain() + " " + std::to_string(error.code()),
                  "POSIX " + std::to_string(EFBIG));
    }
}

}  // namespace
}  // namespace tessuro
