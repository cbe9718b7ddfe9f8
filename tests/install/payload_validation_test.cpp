#include "install/payload_validation.h"

#include <gtest/gtest.h>

#include "install/installer_transaction.h"
#include "platform/error.h"
#include "signing_fixtures.h"
#include "temp_dir.h"
#include "tree_snapshot.h"

namespace tessuro {
namespace {

namespace fs = std::filesystem;

TEST(PayloadValidation, TheRequirementIsTheFixedOne) {
    EXPECT_EQ(PayloadValidation::payloadRequirement(),
              "anchor apple generic and identifier \"com.vorlak.tessuro.psvalidation\" and "
              "certificate leaf[subject.OU] = \"Q7XK4M2LD8\"");
}

TEST(PayloadValidation, EveryFailureIsCodeTwoWithTheSameMessage) {
    test::TempDir dir;
    test::makeSignedBundle(dir / "Tessuro.app");
    const auto service = test::TestPki::shared().service();
    EXPECT_NO_THROW(PayloadValidation::validate(dir / "Tessuro.app", service));

    test::makeUnsignedBundle(dir / "Unsigned.app");
    test::writeFile(dir / "file", "x");
    for (fs::path bundle :
         {dir / "Tessuro.app", dir / "Missing.app", dir / "Unsigned.app", dir / "file"}) {
        try {
            // The built-in service trusts Apple's roots only: the test signature fails there.
            PayloadValidation::validate(bundle);
            ADD_FAILURE() << bundle << " passed";
        } catch (const Error& error) {
            EXPECT_EQ(error.domain(), "TessuroInstaller");
            EXPECT_EQ(error.code(), 2);
            EXPECT_EQ(error.localizedDescription(), "安装文件校验未通过，请重新下载安装包");
        }
    }
}

// The transaction with the real validation: the source, the staged copy and the installed
// copy are all checked, and a tampered payload installs nothing.
TEST(PayloadValidation, GuardsEveryBundleTheTransactionTouches) {
    test::TempDir dir;
    fs::path payload = dir / "Payload/Tessuro.app";
    fs::path destination = dir / "Applications/Tessuro.app";
    test::makeSignedBundle(payload, "2");
    test::makeSignedBundle(destination, "1");
    auto old = test::treeSnapshot(destination);
    const auto service = test::TestPki::shared().service();
    auto verify = [&](const fs::path& bundle) { PayloadValidation::validate(bundle, service); };

    test::writeFile(payload / "Contents/Resources/data/levels/one.dat", "tampered");
    EXPECT_THROW(InstallerTransaction::install(payload, destination, verify), Error);
    EXPECT_EQ(test::treeSnapshot(destination), old);
    EXPECT_TRUE(test::hiddenItems(destination.parent_path()).empty());

    fs::remove_all(payload);
    test::makeSignedBundle(payload, "2");
    auto backup = InstallerTransaction::install(payload, destination, verify);
    EXPECT_TRUE(backup.has_value());
    EXPECT_EQ(test::treeSnapshot(destination), test::treeSnapshot(payload));
    EXPECT_NO_THROW(verify(destination));
}

}  // namespace
}  // namespace tessuro
