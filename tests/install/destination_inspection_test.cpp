#include "install/destination_inspection.h"

#include <gtest/gtest.h>

#include "install/product.h"
#include "platform/bundle.h"
#include "platform/error.h"
#include "platform/property_list.h"
#include "temp_dir.h"

namespace tessuro {
namespace {

namespace fs = std::filesystem;

// What the transaction decides about the item at the path: "nothing", "replace", or the
// failure as "<domain> <code> <text>".
std::string decision(const fs::path& at) {
    try {
        FileSystem& files = systemFileSystem();
        UniqueFd folder = files.openDirectory(at.parent_path());
        std::optional<DestinationItem> item =
            inspectDestination(files, folder.get(), at.filename().string());
        if (!item) {
            return "nothing";
        }
        checkExistingBundle(files, *item);
        return "replace";
    } catch (const Error& error) {
        return error.domain() + " " + std::to_string(error.code()) + " " +
               error.localizedDescription();
    }
}

TEST(DestinationInspection, ReplacesOnlyAFolderThatCarriesThePayloadsIdentifier) {
    test::TempDir dir;
    const std::string id(payloadBundleIdentifier);
    std::string upper = id;
    upper[0] = static_cast<char>(std::toupper(upper[0]));
    const std::string notAFolder = "TessuroInstaller 1 同名位置不是应用目录，未替换原文件";
    const std::string notTessuro = "TessuroInstaller 1 同名位置不是Tessuro，未替换原文件";
    const std::string plistHead = R"(<?xml version="1.0"?><plist version="1.0">)";
    struct Case {
        std::string name;
        std::function<void(const fs::path&)> make;
        std::string expected;  // the whole decision, or its beginning when it ends in " "
    };
    const std::vector<Case> cases{
        {"Missing.app", [](const fs::path&) {}, "nothing"},
        {"Dangling.app", [&](const fs::path& p) { fs::create_symlink(dir / "nowhere", p); },
         "nothing"},
        {"File.app", [](const fs::path& p) { test::writeFile(p, "x"); }, notAFolder},
        {"Linked.app",
         [&](const fs::path& p) {
             test::writeInfoPlist(dir / "Real.app", {{"CFBundleIdentifier", id}});
             fs::create_directory_symlink(dir / "Real.app", p);
         },
         notAFolder},
        {"Xml.app",
         [&](const fs::path& p) {
             test::writeInfoPlist(p, {{"CFBundleIdentifier", id}});
         },
         "replace"},
        {"Bin.app",
         [&](const fs::path& p) {
             test::writeInfoPlist(p, {{"CFBundleIdentifier", id}}, test::PlistFormat::Binary);
         },
         "replace"},
        {"Case.app",
         [&](const fs::path& p) {
             test::writeInfoPlist(p, {{"CFBundleIdentifier", upper}});
         },
         notTessuro},
        {"Empty.app", [](const fs::path& p) { test::writeInfoPlist(p, {}); }, notTessuro},
        {"Array.app",
         [&](const fs::path& p) {
             test::writeFile(bundleInfoPlistPath(p),
                             plistHead + "<array><string>" + id + "</string></array></plist>");
         },
         notTessuro},
        {"Garbage.app",
         [](const fs::path& p) { test::writeFile(bundleInfoPlistPath(p), "not a plist"); },
         "PropertyList 1 "},
        {"Bare.app", [](const fs::path& p) { fs::create_directories(p / "Contents"); },
         "POSIX 2 无法读取“" + bundleInfoPlistPath(dir / "Bare.app").string() +
             "”：文件或文件夹不存在"},
        {"Huge.app",
         [&](const fs::path& p) {
             test::writeInfoPlist(p, {{"CFBundleIdentifier", id}});
             fs::resize_file(bundleInfoPlistPath(p), PropertyList::kMaxSize + 1);
         },
         "POSIX 27 无法读取“" + bundleInfoPlistPath(dir / "Huge.app").string() + "”：文件过大"},
    };
    for (const Case& c : cases) {
        c.make(dir / c.name);
        std::string found = decision(dir / c.name);
        EXPECT_EQ(c.expected.ends_with(" ") ? found.substr(0, c.expected.size()) : found,
                  c.expected)
            << c.name;
    }
}

}  // namespace
}  // namespace tessuro
