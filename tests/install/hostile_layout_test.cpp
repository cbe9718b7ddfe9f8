// Hostile layouts around the destination, through the real transaction and validation: a
// destination folder that is a link is never followed, whoever installs.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "child_process.h"
#include "install/installer_transaction.h"
#include "install/payload_validation.h"
#include "platform/error.h"
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
    const std::string refused =
        "无法安装到“" + (dir / "LinkedApps").string() + "”：它是一个符号链接，安装程序不会跟随";
    EXPECT_EQ(install(dir / "LinkedApps/Tessuro.app"), refused);
    EXPECT_EQ(test::treeSnapshot(outside),
              (std::map<std::string, std::string>{{"secret.txt", "file:untouched"}}));
    if (::geteuid() == 0) {
        EXPECT_EQ(installAsNobody(dir / "LinkedApps/Tessuro.app"), "error: " + refused);
        EXPECT_FALSE(fs::exists(outside / "Tessuro.app"));
    }
}

// Thousands of files copied and verified three times: no descriptor or memory is held per
// file beyond its own step.
TEST_F(Hostile, ABundleWithVeryManyFiles) {
    const int files = std::getenv("TESSURO_LONG_TESTS") != nullptr ? 100000 : 5000;
    test::makeUnsignedBundle(payload);
    for (int i = 0; i < files; ++i) {
        test::writeFile(payload / "Contents/Resources/many" / std::to_string(i / 1000) /
                            (std::to_string(i) + ".txt"),
                        std::to_string(i));
    }
    const auto& pki = test::TestPki::shared();
    codesign::signBundle(payload, pki.identity(pki.leaf));
    EXPECT_EQ(install(apps / "Tessuro.app"), "ok");
    EXPECT_EQ(test::treeSnapshot(apps / "Tessuro.app").size(), test::treeSnapshot(payload).size());
}

}  // namespace
}  // namespace tessuro
