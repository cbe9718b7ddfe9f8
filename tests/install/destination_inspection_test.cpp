#include "install/destination_inspection.h"

#include <gtest/gtest.h>

#include "hostile_plists.h"
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

// Writes one item of each kind the destination may hold, by name.
void makeDestinations(const fs::path& dir) {
    const std::string id(payloadBundleIdentifier);
    std::string upper = id;
    upper[0] = static_cast<char>(std::toupper(upper[0]));
    fs::create_symlink(dir / "nowhere", dir / "Dangling.app");
    test::writeFile(dir / "File.app", "x");
    test::writeInfoPlist(dir / "Xml.app", {{"CFBundleIdentifier", id}});
    fs::create_directory_symlink(dir / "Xml.app", dir / "Linked.app");
    test::writeInfoPlist(dir / "Bin.app", {{"CFBundleIdentifier", id}}, test::PlistFormat::Binary);
    test::writeInfoPlist(dir / "Case.app", {{"CFBundleIdentifier", upper}});
    test::writeInfoPlist(dir / "Empty.app", {});
    test::writeFile(bundleInfoPlistPath(dir / "Array.app"),
                    R"(<?xml version="1.0"?><plist version="1.0"><array><string>)" + id +
                        "</string></array></plist>");
    test::writeFile(bundleInfoPlistPath(dir / "Garbage.app"), "not a plist");
    fs::create_directories(dir / "Bare.app/Contents");
    test::writeInfoPlist(dir / "Huge.app", {{"CFBundleIdentifier", id}});
    fs::resize_file(bundleInfoPlistPath(dir / "Huge.app"),
                    PropertyList::kInfoPlistLimits.maxSize + 1);
    test::makeFifo(bundleInfoPlistPath(dir / "Fifo.app"));
    // What any user could leave there to crash or stall a parse that trusts it.
    test::writeFile(bundleInfoPlistPath(dir / "HiddenNesting.app"),
                    test::hiddenNestingXmlPlist(30'000, test::HiddenIn::Comment));
    test::writeFile(bundleInfoPlistPath(dir / "Doubling.app"), test::doublingBinaryPlist(40));
}

TEST(DestinationInspection, ReplacesOnlyAFolderThatCarriesThePayloadsIdentifier) {
    test::TempDir dir;
    makeDestinations(dir.path());
    const std::string notAFolder = "TessuroInstaller 1 同名位置不是应用目录，未替换原文件";
    const std::string notTessuro = "TessuroInstaller 1 同名位置不是Tessuro，未替换原文件";
    auto unreadable = [&](const char* name, int code, const std::string& reason) {
        return "POSIX " + std::to_string(code) + " 无法读取“" +
               bundleInfoPlistPath(dir / name).string() + "”：" + reason;
    };
    auto tooLarge = [&](const char* name) {
        return "PropertyList 1 无法读取属性列表“" + bundleInfoPlistPath(dir / name).string() +
               "”：内容过大或嵌套过深";
    };
    // The whole decision, or its beginning when it ends in a space.
    const std::vector<std::pair<const char*, std::string>> cases{
        {"Missing.app", "nothing"},
        {"Dangling.app", "nothing"},
        {"File.app", notAFolder},
        {"Linked.app", notAFolder},
        {"Xml.app", "replace"},
        {"Bin.app", "replace"},
        {"Case.app", notTessuro},
        {"Empty.app", notTessuro},
        {"Array.app", notTessuro},
        {"Garbage.app", "PropertyList 1 "},
        {"Bare.app", unreadable("Bare.app", ENOENT, "文件或文件夹不存在")},
        {"Huge.app", unreadable("Huge.app", EFBIG, "文件过大")},
        {"Fifo.app", unreadable("Fifo.app", EINVAL, "它不是普通文件（可能是管道或设备文件）")},
        {"HiddenNesting.app", tooLarge("HiddenNesting.app")},
        {"Doubling.app", tooLarge("Doubling.app")},
    };
    EXPECT_TRUE(test::endsWithin(2, bundleInfoPlistPath(dir / "Fifo.app"), [&] {
        for (const auto& [name, expected] : cases) {
            std::string found = decision(dir / name);
            EXPECT_EQ(expected.ends_with(" ") ? found.substr(0, expected.size()) : found, expected)
                << name;
        }
    })) << "waited on a FIFO";
}

}  // namespace
}  // namespace tessuro
