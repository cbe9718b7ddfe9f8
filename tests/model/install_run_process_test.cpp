// The install run against real processes: test programs in a temporary Tessuro.app with the
// real bundle identifier, found through /proc, asked to quit with a real SIGTERM, on the real
// clock. ctest runs this under a lock, since every copy of that identifier of the user takes
// part.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QTest>
#include <QTimer>
#include <memory>

#include "child_process.h"
#include "install/product.h"
#include "model/installer_model.h"
#include "temp_dir.h"

namespace tessuro {
namespace {

// The installer's own user's copies are asked to quit and waited for; another user's
// copies, one of them ignoring SIGTERM, are neither signalled nor waited for.
TEST(InstallRunWithProcesses, TheUsersCopiesAreAskedToQuitAndOneIgnoringItFailsTheRun) {
    test::TempDir dir;
    ::chmod(dir.path().c_str(), 0755);  // another user's copies run from here too
    const std::filesystem::path installer = dir / "Tessuro Installer.app";
    test::writeInfoPlist(installer, {{"CFBundleVersion", "7"}});
    test::writeInfoPlist(installer / "Contents/Resources/Payload/Tessuro.app",
                         {{"CFBundleVersion", "7"}});
    const auto executable =
        test::makeAppBundle(dir / "Running/Tessuro.app", payloadBundleIdentifier);
    test::ChildProcess polite(executable, {});
    std::optional<test::ChildProcess> stubborn;
    stubborn.emplace(executable, test::ChildProcess::Options{.arguments = {"--ignore-term"}});
    ASSERT_EQ(polite.readLine(), "ready");
    ASSERT_EQ(stubborn->readLine(), "ready");
    std::vector<std::unique_ptr<test::ChildProcess>> othersCopies;
    if (::geteuid() == 0) {
        for (std::vector<std::string> arguments : {std::vector<std::string>{}, {"--ignore-term"}}) {
            othersCopies.push_back(std::make_unique<test::ChildProcess>(
                executable,
                test::ChildProcess::Options{.arguments = arguments, .user = test::nobodyUid()}));
            ASSERT_EQ(othersCopies.back()->readLine(), "ready");
        }
    }
    int ticks = 0;  // the wait must not hold up the event loop
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(20);

    InstallerServices services = systemServices();
    services.installerBundle = installer;
    int transactions = 0;
    services.install = [&](const std::filesystem::path&, const std::filesystem::path& destination,
                           const VerifyOperation&, bool) {
        ++transactions;
        return InstallerTransaction::Result{std::nullopt, HeldBundle{destination, {}, {}}};
    };
    auto model = InstallerModel::create(std::move(services));
    model->startInstallation();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model->installing.get(); }, 20000));
    EXPECT_EQ(model->error.get(), "Tessuro仍在运行，请先退出再重试");
    EXPECT_EQ(transactions, 0);
    EXPECT_TRUE(polite.hasExited());
    EXPECT_FALSE(stubborn->hasExited()) << "never forced to quit";
    EXPECT_GT(ticks, 50) << "the event loop stalled during the wait";

    // With the user's own copies gone, the other user's do not hold the install up.
    stubborn.reset();
    model->startInstallation();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model->installing.get(); }, 20000));
    EXPECT_TRUE(model->installed.get()) << model->error.get();
    for (const auto& copy : othersCopies) {
        EXPECT_FALSE(copy->hasExited()) << "another user's copy was signalled";
    }
}

}  // namespace
}  // namespace tessuro
