#include "install/destination_inspection.h"

#include <gtest/gtest.h>

#include "platform/error.h"
#include "platform/property_list.h"
#include "temp_dir.h"

namespace tessuro {
namespace {

using test::TempDir;

std::string failureOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const Error& error) {
        return error.domain() + " " + std::to_string(error.code()) + " " +
               error.localizedDescription();
    }
    return "passed";
}

const std::string kNotADirectory = "TessuroInstaller 1 同名位置不是应用目录，未替换原文件";
const std::string kNotTessuro = "TessuroInstaller 1 同名位置不是Tessuro，未替换原文件";

TEST(DestinationIdentity, TellsNothingAFolderOrARefusalWithoutFollowingLinks) {
    TempDir dir;
    EXPECT_EQ(destinationIdentity(dir / "none"), std::nullopt);
    EXPECT_EQ(destinationIdentity(dir / "file/below"), std::nullopt);

    std::filesystem::create_directory(dir / "app");
    std::optional<std::string> first = destinationIdentity(dir / "app");
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(destinationIdentity(dir / "app"), first);
    EXPECT_NE(first->find('|'), std::string::npos);

    std::filesystem::create_directory(dir / "other");
    std::filesystem::rename(dir / "app", dir / "moved");
    std::filesystem::rename(dir / "other", dir / "app");
    EXPECT_NE(destinationIdentity(dir / "app"), first) << "another folder moved onto the path";

    test::writeFile(dir / "file", "x");
    std::filesystem::create_directory_symlink(dir / "moved", dir / "link-to-dir");
    std::filesystem::create_symlink(dir / "nowhere", dir / "dangling");
    EXPECT_EQ(failureOf([&] { destinationIdentity(dir / "file"); }), kNotADirectory);
    EXPECT_EQ(failureOf([&] { destinationIdentity(dir / "link-to-dir"); }), kNotADirectory);
    EXPECT_EQ(destinationIdentity(dir / "dangling"), std::nullopt);
}

TEST(CheckExistingBundle, PassesOnlyTheExactIdentifierInADictionary) {
    TempDir dir;
    test::writeInfoPlist(dir / "Xml.app",
                         {{"CFBundleIdentifier", "com.vorlak.tessuro.psvalidation"}});
    test::writeInfoPlist(dir / "Bin.app",
                         {{"CFBundleIdentifier", "com.vorlak.tessuro.psvalidation"}},
                         test::PlistFormat::Binary);
    test::writeInfoPlist(dir / "Case.app",
                         {{"CFBundleIdentifier", "com.vorlak.Tessuro.psvalidation"}});
    test::writeInfoPlist(dir / "Other.app", {{"CFBundleIdentifier", "com.example.other"}});
    test::writeInfoPlist(dir / "Empty.app", {});
    test::writeFile(dir / "Array.app/Contents/Info.plist",
                    R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><array>)"
                    R"(<string>com.vorlak.tessuro.psvalidation</string></array></plist>)");
    test::writeFile(dir / "Int.app/Contents/Info.plist",
                    R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict>)"
                    R"(<key>CFBundleIdentifier</key><integer>1</integer></dict></plist>)");
    test::writeFile(dir / "Garbage.app/Contents/Info.plist", "not a property list");
    std::filesystem::create_directories(dir / "Bare.app/Contents");

    EXPECT_EQ(failureOf([&] { checkExistingBundle(dir / "Xml.app"); }), "passed");
    EXPECT_EQ(failureOf([&] { checkExistingBundle(dir / "Bin.app"); }), "passed");
    for (const char* name : {"Case.app", "Other.app", "Empty.app", "Array.app", "Int.app"}) {
        EXPECT_EQ(failureOf([&] { checkExistingBundle(dir / name); }), kNotTessuro) << name;
    }
    EXPECT_EQ(
        failureOf([&] { checkExistingBundle(dir / "Garbage.app"); }).rfind("PropertyList 1 ", 0),
        0u);
    EXPECT_EQ(failureOf([&] { checkExistingBundle(dir / "Bare.app"); }),
              "POSIX 2 无法读取“" + (dir / "Bare.app/Contents/Info.plist").string() +
                  "”：文件或文件夹不存在");
}

}  // namespace
}  // namespace tessuro
