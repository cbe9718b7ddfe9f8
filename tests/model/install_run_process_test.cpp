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

class InstallRunWithProcesses : public ::testing::Test {
protected:
    test::TempDir dir;
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

    // A run with the system's services but for the file work; returns once it has ended.
    std::shared_ptr<InstallerModel> runToEnd() {
        InstallerServices services = systemServices();
        services.install = [this](const std::filesystem::path&, const std::filesystem::path&,
                                  const VerifyOperation&) -> std::optional<std::filesystem::path> {
            ++transactions;
            duringTransaction();
            return std::nullopt;
        };
        services.installerBundle = installer;
        auto model = InstallerModel::create(std::move(services));
        model->startInstallation();
        EXPECT_TRUE(QTest::qWaitFor([&] { return !model->installing.get(); }, 20000));
        return model;
    }
};

TEST_F(InstallRunWithProcesses, RunningCopyIsAskedToQuitAndTheInstallWaitsForIt) {
    test::ChildProcess copy(executable, {});
    ASSERT_EQ(copy.readLine(), "ready");
    bool exitedBeforeTransaction = false;
    duringTransaction = [&] { exitedBeforeTransaction = copy.hasExited(); };
    auto model = runToEnd();
    EXPECT_TRUE(model->installed.get()) << model->error.get();
    EXPECT_TRUE(exitedBeforeTransaction);
}

TEST_F(InstallRunWithProcesses, CopyIgnoringTheRequestKeepsRunningAndTheRunFails) {
    test::ChildProcess copy(executable, {.arguments = {"--ignore-term"}});
    ASSERT_EQ(copy.readLine(), "ready");
    int ticks = 0;  // the wait must not hold up the event loop
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(20);

    auto model = runToEnd();
    EXPECT_EQ(model->error.get(), "Tessuro仍在运行，请先退出再重试");
    EXPECT_EQ(transactions, 0);
    EXPECT_FALSE(copy.hasExited()) << "never forced to quit";
    EXPECT_GT(ticks, 50) << "the event loop stalled during the wait";
}

}  // namespace
}  // namespace tessuro
