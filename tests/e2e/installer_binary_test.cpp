// The real installer binary, started as a user starts it, in a private mount namespace whose
// /Applications is a temporary folder (sandbox.sh), over a copy a previous installation left.
// It installs at once; SIGTERM is refused during the run, so its exit tells the run is over.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <thread>

#include "child_process.h"
#include "platform/bundle.h"
#include "platform/files.h"
#include "temp_dir.h"
#include "tree_snapshot.h"

namespace tessuro {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const fs::path kBuild = TESSURO_BUILD_DIR;

// Polls `condition` until it holds; false after 30 seconds.
bool waitFor(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

// The payload with another build number, signed by the development identity.
void installOlderCopy(const fs::path& payload, const fs::path& installed) {
    fs::copy(payload, installed, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    const fs::path info = installed / "Contents/Info.plist";
    std::string text = readFileContents(info, 1 << 20);
    const std::string key = "<key>CFBundleVersion</key>\n\t<string>";
    const std::size_t at = text.find(key);
    ASSERT_NE(at, std::string::npos);
    text.replace(at + key.size(), text.find("</string>", at) - at - key.size(), "6");
    test::writeFile(info, text);
    const fs::path identity = kBuild / "development-identity";
    const std::string sign = "'" + std::string(TESSURO_CODESIGN_TOOL) + "' sign --key '" +
                             (identity / "leaf-key.pem").string() + "' --certs '" +
                             (identity / "chain.pem").string() + "' '" + installed.string() +
                             "' > /dev/null";
    ASSERT_EQ(std::system(sign.c_str()), 0);
}

TEST(InstallerBinary, UpgradesAnOlderSignedCopyAndLeavesNothingBehind) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root for a private mount namespace";
    }
    test::TempDir dir;
    const fs::path apps = dir / "Applications", installed = apps / "Tessuro.app";
    const fs::path installer = dir / "Tessuro Installer.app";
    const fs::path payload = installer / "Contents/Resources/Payload/Tessuro.app";
    fs::create_directories(apps);
    fs::create_directories(dir / "home");
    fs::permissions(dir.path(),
                    fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read |
                        fs::perms::others_exec,
                    fs::perm_options::add);
    fs::copy(kBuild / "Tessuro Installer.app", installer,
             fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    installOlderCopy(payload, installed);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);

    test::ChildProcess process(
        fs::path(TESSURO_SOURCE_DIR) / "tests/e2e/sandbox.sh",
        {.arguments = {"--home", (dir / "home").string(), apps.string(),
                       (installer / "Contents/MacOS/Tessuro Installer").string()}});
    ASSERT_TRUE(waitFor([&] {
        return bundleInfoString(installed, "CFBundleVersion") ==
               bundleInfoString(payload, "CFBundleVersion");
    }));
    ASSERT_TRUE(waitFor([&] {
        ::kill(process.pid(), SIGTERM);
        return process.waitForExit(1);
    }));
    EXPECT_EQ(test::treeSnapshot(installed), test::treeSnapshot(payload));
    EXPECT_TRUE(test::hiddenItems(apps).empty()) << "no staged copy or backup left behind";
}

}  // namespace
}  // namespace tessuro
