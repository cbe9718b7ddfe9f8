// The real installer binary, started as a user starts it, in a private mount namespace
// whose /Applications is a temporary folder. It takes no input: it installs at once, and
// afterwards a SIGTERM ends it (during an installation SIGTERM is refused, so its exit also
// tells that the run is over).

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "child_process.h"
#include "e2e_support.h"
#include "platform/bundle.h"
#include "platform/files.h"
#include "temp_dir.h"
#include "tree_snapshot.h"

namespace tessuro {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class InstallerBinary : public ::testing::Test {
protected:
    test::TempDir dir;
    fs::path apps = dir / "Applications";
    fs::path home = dir / "home";
    fs::path installer;
    std::unique_ptr<test::ChildProcess> process;

    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root for a private mount namespace";
        }
        fs::create_directories(apps);
        fs::create_directories(home);
        fs::permissions(dir.path(),
                        fs::perms::all & ~fs::perms::others_write & ~fs::perms::group_write);
        installer = e2e::copyInstaller(dir.path());
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }

    fs::path payload() const { return installer / "Contents/Resources/Payload/Tessuro.app"; }
    fs::path installed() const { return apps / "Tessuro.app"; }

    // Starts the installer; `before` runs in the sandbox first, in the background.
    void start(const std::string& before = "") {
        std::string program = (installer / "Contents/MacOS/Tessuro Installer").string();
        process = std::make_unique<test::ChildProcess>(
            e2e::sandboxScript(),
            test::ChildProcess::Options{.arguments = {"--home", home.string(), apps.string(),
                                                      "/bin/sh", "-c", before + " exec \"$0\"",
                                                      program}});
    }

    // Waits until `condition` holds, at most `limit`.
    static bool waitFor(const std::function<bool()>& condition, std::chrono::seconds limit = 30s) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (!condition()) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(50ms);
        }
        return true;
    }

    // Asks the installer to quit until it does; false if it never does.
    bool quitInstaller() {
        for (int i = 0; i < 150; ++i) {
            ::kill(process->pid(), SIGTERM);
            std::this_thread::sleep_for(200ms);
            if (process->hasExited()) {
                return true;
            }
        }
        return false;
    }

    std::string disk() const {
        std::string text;
        for (const auto& name : std::vector<std::string>{"Tessuro.app"}) {
            text += name + (fs::exists(apps / name) ? " present" : " absent");
        }
        for (const auto& hidden : test::hiddenItems(apps)) {
            text += ", " + hidden;
        }
        return text;
    }
};

TEST_F(InstallerBinary, FreshInstall) {
    start();
    ASSERT_TRUE(waitFor([&] { return fs::exists(installed() / "Contents/_CodeSignature"); }));
    ASSERT_TRUE(quitInstaller());
    EXPECT_EQ(test::treeSnapshot(installed()), test::treeSnapshot(payload()));
    EXPECT_TRUE(e2e::passesValidation(installed()));
    EXPECT_TRUE(test::hiddenItems(apps).empty()) << disk();
    std::cout << "disk after a fresh install: " << disk() << "\n";
}

TEST_F(InstallerBinary, UpgradeOverAnOlderSignedCopy) {
    e2e::makeOlderSignedPayload(installer, installed(), "6");
    ASSERT_TRUE(e2e::passesValidation(installed()));
    start();
    ASSERT_TRUE(waitFor([&] {
        return bundleInfoString(installed(), "CFBundleVersion") ==
                   bundleInfoString(payload(), "CFBundleVersion") &&
               test::hiddenItems(apps).empty();
    })) << disk();
    ASSERT_TRUE(quitInstaller());
    EXPECT_EQ(test::treeSnapshot(installed()), test::treeSnapshot(payload()));
    EXPECT_TRUE(e2e::passesValidation(installed()));
    std::cout << "disk after an upgrade: " << disk() << "\n";
}

TEST_F(InstallerBinary, ARunningCopyIsAskedToQuitFirst) {
    e2e::makeOlderSignedPayload(installer, installed(), "6");
    fs::path marker = dir / "demo-ran";
    // The old copy runs (headless) in the same sandbox, as a user's open application would.
    start("/Applications/Tessuro.app/Contents/MacOS/Tessuro & echo $! > '" + marker.string() +
          "'; sleep 1;");
    ASSERT_TRUE(waitFor([&] {
        return bundleInfoString(installed(), "CFBundleVersion") ==
               bundleInfoString(payload(), "CFBundleVersion");
    })) << disk();
    ASSERT_TRUE(quitInstaller());
    pid_t demo = 0;
    ASSERT_TRUE(std::ifstream(marker) >> demo);
    std::string state;
    try {
        std::string stat = readFileContents("/proc/" + std::to_string(demo) + "/stat", 4096);
        state = stat.substr(stat.rfind(')') + 2, 1);
    } catch (...) {
        state = "gone";
    }
    EXPECT_TRUE(state == "gone" || state == "Z") << "the old copy still runs: " << state;
    EXPECT_TRUE(e2e::passesValidation(installed()));
    EXPECT_TRUE(test::hiddenItems(apps).empty()) << "the backup's removal ends before the process";
    std::cout << "disk after upgrading a running copy: " << disk() << "\n";
}

TEST_F(InstallerBinary, ATamperedPayloadInstallsNothing) {
    e2e::makeOlderSignedPayload(installer, installed(), "6");
    auto before = test::treeSnapshot(installed());
    test::writeFile(payload() / "Contents/Resources/about.txt", "tampered after the build\n");
    start();
    std::this_thread::sleep_for(3s);  // ample for a run that stops at the first verification
    ASSERT_TRUE(quitInstaller()) << "the installer never stopped installing";
    EXPECT_EQ(test::treeSnapshot(installed()), before) << "the previous copy is intact";
    EXPECT_TRUE(test::hiddenItems(apps).empty()) << disk();
    std::cout << "disk after a tampered payload: " << disk() << " (version 6 kept)\n";
}

}  // namespace
}  // namespace tessuro
