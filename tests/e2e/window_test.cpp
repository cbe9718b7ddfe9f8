// The installer driven as a user drives it, with key presses and clicks (Qt Test, offscreen):
// the whole test program runs inside a sandbox whose /Applications is a temporary folder,
// once as root and once as an unprivileged user (see e2e_window.sh).

#include <gtest/gtest.h>
#include <signal.h>

#include <QApplication>
#include <QTest>
#include <QTimer>
#include <cstdlib>

#include "app/installer_delegate.h"
#include "platform/files.h"
#include "platform/running_applications.h"
#include "tree_snapshot.h"

namespace tessuro {
namespace {

namespace fs = std::filesystem;

class Window : public ::testing::Test {
protected:
    fs::path installer;
    std::unique_ptr<InstallerDelegate> delegate;

    void SetUp() override {
        const char* bundle = std::getenv("TESSURO_E2E_INSTALLER");
        const char* anchor = std::getenv("TESSURO_E2E_ANCHOR");
        if (bundle == nullptr || anchor == nullptr) {
            GTEST_SKIP() << "run through e2e_window.sh, inside the sandbox";
        }
        installer = bundle;
        InstallerServices services = systemServices({readFileContents(anchor, 1 << 20)});
        services.installerBundle = installer;
        delegate = std::make_unique<InstallerDelegate>(std::move(services));
    }

    fs::path payload() const { return installer / "Contents/Resources/Payload/Tessuro.app"; }

    // Runs the event loop with `script`; exec()'s code, or -1 after a minute.
    static int runLoop(std::function<void()> script) {
        QTimer::singleShot(0, script);
        QTimer watchdog;
        watchdog.setSingleShot(true);
        QObject::connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(-1); });
        watchdog.start(60000);
        return QCoreApplication::exec();
    }
};

TEST_F(Window, ReturnLaunchesTheInstalledAppAndTheInstallerEnds) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "the root run of this program covers it";
    }
    fs::remove_all("/Applications/Tessuro.app");
    int code = runLoop([&] {
        delegate->applicationDidFinishLaunching();
        ASSERT_TRUE(QTest::qWaitFor([&] { return delegate->model().installed.get(); }, 30000))
            << delegate->model().error.get();
        ASSERT_TRUE(QTest::qWaitFor([&] { return !delegate->view()->launchButton()->isHidden(); }));
        // The offscreen platform has no window manager to give the window focus.
        QApplication::setActiveWindow(delegate->window());
        QTest::keyClick(delegate->window(), Qt::Key_Return);  // "立即启动"
    });
    EXPECT_EQ(code, 0) << "the installer ends after the launch";
    EXPECT_EQ(test::treeSnapshot("/Applications/Tessuro.app"), test::treeSnapshot(payload()));

    RunningApplications running;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            running = runningApplicationsWithBundleIdentifier("com.vorlak.tessuro.psvalidation");
            return !running.empty();
        },
        10000));
    auto& demo = static_cast<ProcessApplication&>(*running.front());
    EXPECT_EQ(demo.bundlePath(), "/Applications/Tessuro.app") << "the installed copy runs";
    demo.terminate();
}

TEST_F(Window, UnprivilegedUserInstallsIntoTheirOwnApplications) {
    if (::geteuid() == 0) {
        GTEST_SKIP() << "the unprivileged run of this program covers it";
    }
    const fs::path mine = fs::path(std::getenv("HOME")) / "Applications/Tessuro.app";
    std::string firstError;
    int code = runLoop([&] {
        delegate->applicationDidFinishLaunching();
        ASSERT_TRUE(QTest::qWaitFor([&] { return !delegate->model().error.get().empty(); }, 30000));
        firstError = delegate->model().error.get();
        QApplication::processEvents();
        InstallerView* view = delegate->view();
        ASSERT_FALSE(view->alternativeButton()->isHidden());
        QTest::mouseClick(view->alternativeButton(), Qt::LeftButton);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !delegate->model().installing.get(); }, 30000));
        EXPECT_TRUE(delegate->model().installed.get()) << delegate->model().error.get();
        delegate->window()->close();
    });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(firstError, "无法写入文件夹“/Applications”：没有访问权限");
    EXPECT_FALSE(fs::exists("/Applications/Tessuro.app"));
    EXPECT_TRUE(test::hiddenItems("/Applications").empty());
    EXPECT_EQ(test::treeSnapshot(mine), test::treeSnapshot(payload()));
    std::cout << "error shown first: " << firstError << "\n";
}

}  // namespace
}  // namespace tessuro
