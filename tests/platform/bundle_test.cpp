#include "platform/bundle.h"

#include <gtest/gtest.h>

#include "child_process.h"
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
    EXPECT_EQ(bundlePathForExecutable(bundleExecutablePath("/opt/Y.app", "y")), "/opt/Y.app");

    TempDir dir;
    std::filesystem::path executable = test::makeAppBundle(dir / "Some App.app", "x.y");
    test::ChildProcess child(executable, {.arguments = {"--print-bundle"}});
    EXPECT_EQ(child.readLine(), (dir / "Some App.app").string());
}

// A binary property list of `count` arrays, each holding the next one (the last holds
// `lastRef` if given: a reference back makes a cycle).
std::string chainedBinaryPlist(std::uint32_t count, std::optional<std::uint32_t> lastRef = {}) {
    std::string out = "bplist00";
    std::vector<std::uint32_t> offsets;
    auto put32 = [&](std::uint32_t v) {
        for (int s = 24; s >= 0; s -= 8) {
            out.push_back(static_cast<char>(v >> s));
        }
    };
    for (std::uint32_t i = 0; i < count; ++i) {
        offsets.push_back(static_cast<std::uint32_t>(out.size()));
        std::optional<std::uint32_t> next = i + 1 < count ? std::optional(i + 1) : lastRef;
        out.push_back(static_cast<char>(next ? 0xA1 : 0xA0));
        if (next) {
            put32(*next);
        }
    }
    std::uint32_t table = static_cast<std::uint32_t>(out.size());
    for (std::uint32_t offset : offsets) {
        put32(offset);
    }
    out.append(6, '\0');
    out.push_back(4);
    out.push_back(4);
    for (std::uint64_t v : {std::uint64_t{count}, std::uint64_t{0}, std::uint64_t{table}}) {
        put32(static_cast<std::uint32_t>(v >> 32));
        put32(static_cast<std::uint32_t>(v));
    }
    return out;
}

std::string nestedXmlPlist(int depth) {
    std::string text = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
    for (int i = 0; i < depth; ++i) {
        text += "<array>";
    }
    for (int i = 0; i < depth; ++i) {
        text += "</array>";
    }
    return text + "</plist>";
}

bool parses(const std::string& data) {
    try {
        PropertyList::parse(data, "test");
        return true;
    } catch (const Error&) {
        return false;
    }
}

// Hostile property lists nest deep enough to exhaust the parser's stack (found while
// testing hostile layouts: 200 000 levels crashed it), or refer to themselves.
TEST(PropertyListFile, DeepOrCyclicListsAreRefusedWithoutCrashing) {
    EXPECT_TRUE(parses(nestedXmlPlist(PropertyList::kMaxDepth)));
    EXPECT_FALSE(parses(nestedXmlPlist(PropertyList::kMaxDepth + 1)));
    EXPECT_FALSE(parses(nestedXmlPlist(2'000'000)));
    EXPECT_TRUE(parses(chainedBinaryPlist(200)));
    EXPECT_FALSE(parses(chainedBinaryPlist(300)));
    EXPECT_FALSE(parses(chainedBinaryPlist(200'000)));
    EXPECT_FALSE(parses(chainedBinaryPlist(3, 0))) << "a cycle";
    EXPECT_FALSE(parses(std::string(PropertyList::kMaxSize + 1, ' '))) << "over the size limit";
}

}  // namespace
}  // namespace tessuro
