// The install run against real processes: test programs in a temporary Tessuro.app with the
// real bundle identifier, found through /proc, asked to quit with a real SIGTERM, on the real
// clock. ctest runs this under a lock, since every copy of that identifier takes part.

#include <gtest/gtest.h>

#include <QTest>
#include <QTimer>

#include "child_process.h"
#include "install/product.h"
#include "model/installer_model.h"
#include "temp_dir.h"

namespace tessuro {
namespace {

TEST(InstallRunWithProcesses, CopiesAreAskedToQuitAndOneIgnoringItFailsTheRunAfterTheWait) {
    test::TempDir dir;
    const std::filesystem::path installer = dir / "Tessuro Installer.app";
    test::writeInfoPlist(installer, {{"CFBundleVersion", "7"}});
    test::writeInfoPlist(installer / "Contents/Resources/Payload/Tessuro.app",
                         {{"CFBundleVersion", "7"}});
    const auto executable =
        test::makeAppBundle(dir / "Running/Tessuro.app", payloadBundleIdentifier);
    test::ChildProcess polite(executable, {});
    test::ChildProcess stubborn(executable, {.arguments = {"--ignore-term"}});
    ASSERT_EQ(polite.readLine(), "ready");
    ASSERT_EQ(stubborn.readLine(), "ready");
    int ticks = 0;  // the wait must not hold up the event loop
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(20);

    InstallerServices services = systemServices();
    services.installerBundle = installer;
    int transactions = 0;
    services.install = [&](const std::filesystem::path&, const std::filesystem::path&,
                           const VerifyOperation&) -> std::optional<std::filesystem::path> {
        ++transactions;
        return std::nullopt;
    };
    auto model = InstallerModel::create(std::move(services));
    model->startInstallation();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model->installing.get(); }, 20000));
    EXPECT_EQ(model->error.get(), "Tessuro仍在运行，请先退出再重试");
    EXPECT_EQ(transactions, 0);
    EXPECT_TRUE(polite.hasExited());
    EXPECT_FALSE(stubborn.hasExited()) << "never forced to quit";
    EXPECT_GT(ticks, 50) << "the event loop stalled during the wait";
}

}  // namespace
}  // namespace tessuro
