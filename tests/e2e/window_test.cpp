// The installer's window on a payload tampered with after the build: the whole test program
// runs inside a sandbox whose /Applications is a temporary folder (see e2e_window.sh), with
// the real services and the development root. The refusal is shown as the window's error,
// and nothing is installed.

#include <gtest/gtest.h>

#include <QTest>

#include "app/installer_delegate.h"
#include "platform/files.h"
#include "temp_dir.h"
#include "tree_snapshot.h"

namespace tessuro {
namespace {

namespace fs = std::filesystem;

TEST(Window, ATamperedPayloadIsRefusedWithItsReason) {
    const char* bundle = std::getenv("TESSURO_E2E_INSTALLER");
    const char* anchor = std::getenv("TESSURO_E2E_ANCHOR");
    if (bundle == nullptr || anchor == nullptr) {
        GTEST_SKIP() << "run through e2e_window.sh, inside the sandbox";
    }
    const fs::path installer = bundle;
    test::writeFile(
        installer / "Contents/Resources/Payload/Tessuro.app/Contents/Resources/about.txt",
        "tampered after the build\n");
    InstallerServices services = systemServices({readFileContents(anchor, 1 << 20)});
    services.installerBundle = installer;
    InstallerDelegate delegate(std::move(services));
    delegate.applicationDidFinishLaunching();

    ASSERT_TRUE(QTest::qWaitFor([&] { return !delegate.view()->errorText()->isHidden(); }, 30000));
    EXPECT_EQ(delegate.view()->errorText()->text(), "安装文件校验未通过，请重新下载安装包");
    EXPECT_FALSE(delegate.model().installing.get());
    EXPECT_FALSE(fs::exists("/Applications/Tessuro.app"));
    EXPECT_TRUE(test::hiddenItems("/Applications").empty());
}

}  // namespace
}  // namespace tessuro
