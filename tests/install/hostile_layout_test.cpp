// Hostile layouts around and inside the bundle. Nothing may write outside the destination
// folder or follow a link the installer did not create; the ordinary-user cases run the
// transaction as "nobody".

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "child_process.h"
#include "install/installer_transaction.h"
#include "install/payload_validation.h"
#include "platform/error.h"
#include "platform/files.h"
#include "signing_fixtures.h"
#include "temp_dir.h"
#include "tree_snapshot.h"

namespace tessuro {
namespace {

namespace fs = std::filesystem;

class Hostile : public ::testing::Test {
protected:
    test::TempDir dir;
    fs::path apps = dir / "Applications";
    fs::path payload = dir / "Payload/Tessuro.app";
    fs::path outside = dir / "outside";
    codesign::CodeSigning trust{{test::TestPki::shared().rootPem()}};

    void SetUp() override {
        fs::create_directories(apps);
        test::writeFile(outside / "secret.txt", "untouched");
    }

    void sign(const fs::path& bundle) {
        const auto& pki = test::TestPki::shared();
        codesign::signBundle(bundle, pki.identity(pki.leaf));
    }

    std::string install(const fs::path& destination) {
        try {
            InstallerTransaction::install(payload, destination, [&](const fs::path& bundle) {
                PayloadValidation::validate(bundle, trust);
            });
            InstallerTransaction::waitForBackgroundWork();
        } catch (const Error& error) {
            return error.localizedDescription();
        }
        return "ok";
    }

    // The same as "nobody", in a tree that nobody owns.
    std::string installAsNobody(const fs::path& destination) {
        test::writeFile(dir / "root.pem", test::TestPki::shared().rootPem());
        std::string command = "chown -R nobody '" + dir.path().string() + "' && chmod 755 '" +
                              dir.path().string() + "'";
        EXPECT_EQ(std::system(command.c_str()), 0);
        test::ChildProcess harness(
            TESSURO_TRANSACTION_HARNESS,
            {.arguments = {payload.string(), destination.string(), (dir / "root.pem").string()},
             .runAs = test::nobodyUid()});
        return harness.readLine(60);
    }
};

TEST_F(Hostile, ADestinationFolderThatIsALinkIsNotFollowed) {
    test::makeSignedBundle(payload);
    fs::create_directory_symlink(outside, dir / "LinkedApps");
    std::string result = install(dir / "LinkedApps/Tessuro.app");
    EXPECT_EQ(result, "无法安装到“" + (dir / "LinkedApps").string() +
                          "”：它是一个符号链接，安装程序不会跟随");
    EXPECT_EQ(test::treeSnapshot(outside),
              (std::map<std::string, std::string>{{"secret.txt", "file:untouched"}}));

    if (::geteuid() == 0) {
        EXPECT_EQ(installAsNobody(dir / "LinkedApps/Tessuro.app"),
                  "error: 无法安装到“" + (dir / "LinkedApps").string() +
                      "”：它是一个符号链接，安装程序不会跟随");
        EXPECT_FALSE(fs::exists(outside / "Tessuro.app"));
    }
}

TEST_F(Hostile, LinksInThePayloadStayLinks) {
    test::makeUnsignedBundle(payload);
    fs::create_symlink(outside / "secret.txt", payload / "Contents/Resources/absolute-link");
    fs::create_symlink("../../../../outside/secret.txt",
                       payload / "Contents/Resources/relative-out");
    fs::create_directory_symlink(outside, payload / "Contents/Resources/folder-out");
    test::writeFile(payload / "Contents/Resources/..hidden..name", "dots");
    sign(payload);
    EXPECT_EQ(install(apps / "Tessuro.app"), "ok");
    auto installed = test::treeSnapshot(apps / "Tessuro.app");
    EXPECT_EQ(installed, test::treeSnapshot(payload));
    EXPECT_EQ(installed["Contents/Resources/absolute-link"],
              "link:" + (outside / "secret.txt").string());
    EXPECT_EQ(installed.count("Contents/Resources/folder-out/secret.txt"), 0u) << "never followed";
    EXPECT_EQ(test::treeSnapshot(outside),
              (std::map<std::string, std::string>{{"secret.txt", "file:untouched"}}));

    if (::geteuid() == 0) {
        fs::remove_all(apps / "Tessuro.app");
        EXPECT_EQ(installAsNobody(apps / "Tessuro.app"), "ok");
        EXPECT_EQ(test::treeSnapshot(apps / "Tessuro.app"), test::treeSnapshot(payload));
    }
}

TEST_F(Hostile, SealEntriesThatClimbOutAreNeverOpened) {
    test::makeSignedBundle(payload);
    // A seal that names "../../outside/secret.txt": the verifier walks the bundle, it never
    // opens what an entry names, so the entry is simply missing from the bundle.
    fs::path resources = payload / "Contents/_CodeSignature/CodeResources";
    std::string seal = readFileContents(resources, 1 << 20);
    seal.replace(seal.find("<key>files2</key>\n\t<dict>") + 25, 0,
                 "\n\t\t<key>../../../outside/secret.txt</key>\n\t\t<dict><key>hash2</key>"
                 "<data>AAAA</data></dict>");
    test::writeFile(resources, seal);
    EXPECT_EQ(install(apps / "Tessuro.app"), "安装文件校验未通过，请重新下载安装包");
    EXPECT_TRUE(fs::is_empty(apps));
}

TEST_F(Hostile, HugeOrDeepInfoPlistsAreRefusedWithoutHarm) {
    test::makeSignedBundle(payload);
    // An existing item whose Info.plist is over the size limit, or nested 100 000 deep.
    fs::path existing = apps / "Tessuro.app";
    std::string deep = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
    for (int i = 0; i < 100000; ++i) {
        deep += "<dict><key>k</key>";
    }
    test::writeFile(existing / "Contents/Info.plist", deep);
    std::string result = install(existing);
    EXPECT_NE(result.find("内容不是有效的属性列表"), std::string::npos) << result;
    EXPECT_EQ(readFileContents(existing / "Contents/Info.plist", 1 << 22), deep) << "untouched";

    fs::resize_file(existing / "Contents/Info.plist", (64u << 20) + 1);
    result = install(existing);
    EXPECT_NE(result.find("文件过大"), std::string::npos) << result;

    // The payload's own Info.plist too large: the signature check refuses it.
    fs::remove_all(existing);
    fs::resize_file(payload / "Contents/Info.plist", (64u << 20) + 1);
    EXPECT_EQ(install(existing), "安装文件校验未通过，请重新下载安装包");
    EXPECT_TRUE(test::hiddenItems(apps).empty());
}

TEST_F(Hostile, ABundleWithVeryManyFiles) {
    const int files = std::getenv("TESSURO_LONG_TESTS") != nullptr ? 100000 : 5000;
    test::makeUnsignedBundle(payload);
    for (int i = 0; i < files; ++i) {
        test::writeFile(payload / "Contents/Resources/many" / std::to_string(i / 1000) /
                            (std::to_string(i) + ".txt"),
                        std::to_string(i));
    }
    sign(payload);
    EXPECT_EQ(install(apps / "Tessuro.app"), "ok");
    EXPECT_EQ(test::treeSnapshot(apps / "Tessuro.app").size(), test::treeSnapshot(payload).size());
    std::cout << files << " files installed and verified three times\n";
}

}  // namespace
}  // namespace tessuro
