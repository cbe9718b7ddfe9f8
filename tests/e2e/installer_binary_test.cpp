// The real installer binary, started as a user starts it, in a private mount namespace
// whose /Applications is a temporary folder (sandbox.sh). It takes no input: it installs at
// once, and afterwards a SIGTERM ends it (during an installation SIGTERM is refused, so its
// exit also tells that the run is over).

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

// Polls `condition` until it holds; false after `limit`.
bool waitFor(const std::function<bool()>& condition, std::chrono::seconds limit = 30s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

class InstallerBinary : public ::testing::Test {
protected:
    test::TempDir dir;
    fs::path apps = dir / "Applications";
    fs::path installer = dir / "Tessuro Installer.app";
    fs::path payload = installer / "Contents/Resources/Payload/Tessuro.app";
    fs::path installed = apps / "Tessuro.app";
    std::unique_ptr<test::ChildProcess> process;

    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root for a private mount namespace";
        }
        fs::create_directories(apps);
        fs::create_directories(dir / "home");
        fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::group_exec |
                                        fs::perms::group_read | fs::perms::others_exec |
                                        fs::perms::others_read);
        fs::copy(kBuild / "Tessuro Installer.app", installer,
                 fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }

    void start() {
        process = std::make_unique<test::ChildProcess>(
            fs::path(TESSURO_SOURCE_DIR) / "tests/e2e/sandbox.sh",
            test::ChildProcess::Options{
                .arguments = {"--home", (dir / "home").string(), apps.string(),
                              (installer / "Contents/MacOS/Tessuro Installer").string()}});
    }

    // Asks the installer to quit until it does; false if it never does.
    bool quitInstaller() {
        return waitFor([&] {
            ::kill(process->pid(), SIGTERM);
            return process->waitForExit(1);
        });
    }

    // The payload with another build number, signed by the development identity: what a
    // previous installation left in place.
    void installOlderCopy(const std::string& version) {
        fs::copy(payload, installed, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        const fs::path info = installed / "Contents/Info.plist";
        std::string text = readFileContents(info, 1 << 20);
        const std::string key = "<key>CFBundleVersion</key>\n\t<string>";
        const std::size_t at = text.find(key) + key.size();
        ASSERT_NE(at, std::string::npos + key.size());
        text.replace(at, text.find("</string>", at) - at, version);
        test::writeFile(info, text);
        const fs::path identity = kBuild / "development-identity";
        const std::string sign = "'" + std::string(TESSURO_CODESIGN_TOOL) + "' sign --key '" +
                                 (identity / "leaf-key.pem").string() + "' --certs '" +
                                 (identity / "chain.pem").string() + "' '" + installed.string() +
                                 "' > /dev/null";
        ASSERT_EQ(std::system(sign.c_str()), 0);
    }
};

TEST_F(InstallerBinary, FreshInstall) {
    start();
    ASSERT_TRUE(waitFor([&] { return fs::exists(installed / "Contents/_CodeSignature"); }));
    ASSERT_TRUE(quitInstaller());
    EXPECT_EQ(test::treeSnapshot(installed), test::treeSnapshot(payload));
    EXPECT_TRUE(test::hiddenItems(apps).empty());
}

TEST_F(InstallerBinary, UpgradeOverAnOlderSignedCopy) {
    installOlderCopy("6");
    start();
    ASSERT_TRUE(waitFor([&] {
        return bundleInfoString(installed, "CFBundleVersion") ==
               bundleInfoString(payload, "CFBundleVersion");
    }));
    ASSERT_TRUE(quitInstaller());
    EXPECT_EQ(test::treeSnapshot(installed), test::treeSnapshot(payload));
    EXPECT_TRUE(test::hiddenItems(apps).empty()) << "no staged copy or backup left behind";
}

}  // namespace
}  // namespace tessuro
