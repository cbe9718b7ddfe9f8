// The install run against real processes: a test program in a temporary Tessuro.app with
// the real bundle identifier, found through /proc, asked to quit with a real SIGTERM, on
// the real clock. These tests hold a lock in ctest, since every copy of that identifier on
// the machine takes part.

#include <gtest/gtest.h>

#include <QTest>
#include <QTimer>

#include "child_process.h"
#include "install/product.h"
#include "model/installer_model.h"
#include "temp_dir.h"

namespace tessuro {
namespace {

using test::ChildProcess;
using test::TempDir;

class InstallRunWithProcesses : public ::testing::Test {
protected:
    TempDir dir;
    std::filesystem::path installer = dir / "Tessuro Installer.app";
    std::filesystem::path executable =
        test::makeAppBundle(dir / "Running/Tessuro.app", payloadBundleIdentifier);
    std::atomic<int> transactions{0};
    std::function<void()> duringTransaction = [] {};

    void SetUp() override {
        test::writeInfoPlist(installer, {{"CFBundleVersion", "7"}});
        test::writeInfoPlist(installer / "Contents/Resources/Payload/Tessuro.app",
                             {{"CFBundleVersion", "7"}});
    }

    std::shared_ptr<InstallerModel> makeModel() {
        InstallerServices services = systemServices();
        services.install = [this](const std::filesystem::path&, const std::filesystem::path&,
                                  const VerifyOperation&) -> std::optional<std::filesystem::path> {
            ++transactions;
            duringTransaction();
            return std::nullopt;
        };
        services.verify = [](const std::filesystem::path&) {};
        services.installerBundle = installer;
        services.homeDirectory = [this] { return dir / "home"; };
        return InstallerModel::create(std::move(services));
    }
};

TEST_F(InstallRunWithProcesses, RunningCopyIsAskedToQuitAndTheInstallWaitsForIt) {
    ChildProcess copy(executable, {});
    ASSERT_EQ(copy.readLine(), "ready");
    bool exitedBeforeTransaction = false;
    duringTransaction = [&] { exitedBeforeTransaction = copy.hasExited(); };

    auto model = makeModel();
    model->startInstallation();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model->installing.get(); }, 10000));
    EXPECT_TRUE(model->installed.get()) << model->error.get();
    EXPECT_TRUE(exitedBeforeTransaction);
}

TEST_F(InstallRunWithProcesses, CopyIgnoringTheRequestKeepsRunningAndTheRunFails) {
    ChildProcess copy(executable, {.arguments = {"--ignore-term"}});
    ASSERT_EQ(copy.readLine(), "ready");

    // The wait must not hold up the event loop.
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(20);

    auto model = makeModel();
    model->startInstallation();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model->installing.get(); }, 20000));
    EXPECT_EQ(model->error.get(), "Tessuro仍在运行，请先退出再重试");
    EXPECT_FALSE(model->installed.get());
    EXPECT_EQ(transactions, 0);
    EXPECT_FALSE(copy.hasExited()) << "never forced to quit";
    EXPECT_GT(ticks, 50) << "the event loop stalled during the wait";
}

}  // namespace
}  // namespace tessuro
