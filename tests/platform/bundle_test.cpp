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

TEST(BundleInfo, ReadsStringValuesFromXmlAndBinaryInfoPlists) {
    TempDir dir;
    writeInfoPlist(dir / "Xml.app", {{"CFBundleVersion", "12"}}, PlistFormat::Xml);
    writeInfoPlist(dir / "Bin.app", {{"CFBundleVersion", "12.0"}}, PlistFormat::Binary);

    EXPECT_EQ(bundleInfoString(dir / "Xml.app", "CFBundleVersion"), "12");
    EXPECT_EQ(bundleInfoString(dir / "Bin.app", "CFBundleVersion"), "12.0");
    EXPECT_EQ(bundleInfoString(dir / "Xml.app", "CFBundleIdentifier"), std::nullopt);
}

TEST(BundleInfo, EverythingButAStringIsAbsent) {
    TempDir dir;
    writeFile(dir / "Int.app/Contents/Info.plist",
              R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>CFBundleVersion</key><integer>12</integer></dict></plist>)");
    writeFile(dir / "Array.app/Contents/Info.plist",
              R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><array><string>CFBundleVersion</string></array></plist>)");
    writeFile(dir / "Garbage.app/Contents/Info.plist", "CFBundleVersion = 12");
    writeFile(dir / "Empty.app/Contents/Info.plist", "");
    std::filesystem::create_directories(dir / "Folder.app/Contents/Info.plist");

    for (const char* name :
         {"Int.app", "Array.app", "Garbage.app", "Empty.app", "Folder.app", "Missing.app"}) {
        EXPECT_EQ(bundleInfoString(dir / name, "CFBundleVersion"), std::nullopt) << name;
    }
}

TEST(PropertyListFile, FailuresNameTheFileAndKeepTheirSource) {
    TempDir dir;
    writeFile(dir / "bad.plist", "not a property list");

    try {
        PropertyList::readFile(dir / "bad.plist");
        FAIL() << "garbage parsed";
    } catch (const Error& error) {
        EXPECT_EQ(error.domain(), kPropertyListErrorDomain);
        EXPECT_NE(error.localizedDescription().find((dir / "bad.plist").string()),
                  std::string::npos);
    }
    try {
        PropertyList::readFile(dir / "missing.plist");
        FAIL() << "missing file read";
    } catch (const Error& error) {
        EXPECT_EQ(error.domain(), kPosixErrorDomain);
        EXPECT_EQ(error.code(), ENOENT);
        EXPECT_EQ(error.localizedDescription(),
                  "无法读取“" + (dir / "missing.plist").string() + "”：文件或文件夹不存在");
    }
}

TEST(MainBundle, ExecutableInsideABundleStandsForTheBundle) {
    EXPECT_EQ(bundlePathForExecutable("/opt/Tessuro Installer.app/Contents/MacOS/installer"),
              "/opt/Tessuro Installer.app");
    EXPECT_EQ(bundlePathForExecutable("/usr/bin/installer"), "/usr/bin");
    EXPECT_EQ(bundlePathForExecutable("/opt/X.app/Contents/Resources/installer"),
              "/opt/X.app/Contents/Resources");
    EXPECT_EQ(bundlePathForExecutable("/Contents/MacOS/installer"), "/Contents/MacOS");

    TempDir dir;
    std::filesystem::path executable = test::makeAppBundle(dir / "Some App.app", "x.y");
    test::ChildProcess child(executable, {.arguments = {"--print-bundle"}});
    EXPECT_EQ(child.readLine(), (dir / "Some App.app").string());
}

}  // namespace
}  // namespace tessuro
