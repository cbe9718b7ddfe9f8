// The application shell on the offscreen platform: the window, the automatic start, and
// every quit route refused during an installation and taken after it, inside the real event
// loop (exec()). The launch's quit, through the real services, is the X session test's.

#include <signal.h>

#include <QApplication>
#include <QTimer>
#include <QWindow>

#include "app/installer_delegate.h"
#include "app/quit_signals.h"
#include "model_fakes.h"

namespace tessuro {
namespace {

class Shell : public test::ModelFixture {
protected:
    std::unique_ptr<InstallerDelegate> delegate;

    void SetUp() override {
        ModelFixture::SetUp();
        transaction.holdUntilReleased = true;
        transaction.outcome = [] { throw installerError("同名位置不是应用目录，未替换原文件"); };
        delegate = std::make_unique<InstallerDelegate>(services());
    }
    void TearDown() override {
        transaction.release();
        delegate.reset();
    }

    void finishTheRun() {
        transaction.release();
        ASSERT_TRUE(QTest::qWaitFor([&] { return !delegate->model().installing.get(); }, 5000));
    }
};

TEST_F(Shell, TheWindowAndTheAutomaticStart) {
    delegate->applicationDidFinishLaunching();
    InstallerWindow* window = delegate->window();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->windowTitle(), "安装Tessuro");
    EXPECT_EQ(window->size(), QSize(400, 260)) << "shown at its content's size";
    EXPECT_EQ(window->minimumSize(), window->maximumSize()) << "the user cannot resize it";
    Qt::WindowFlags flags = window->windowHandle()->flags();
    EXPECT_FALSE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);

    // The installation runs at once, and the close control is off until it ends.
    EXPECT_TRUE(delegate->model().installing.get());
    EXPECT_TRUE(delegate->model().automaticInstallationStarted);
    EXPECT_FALSE(flags & Qt::WindowCloseButtonHint);
    finishTheRun();
    EXPECT_TRUE(window->windowHandle()->flags() & Qt::WindowCloseButtonHint);
    EXPECT_TRUE(window->isVisible()) << "changing the close control keeps the window shown";
    EXPECT_EQ(transaction.destinations().size(), 1u) << "started once";
}

struct QuitRoute {
    const char* name;
    void (*take)(InstallerDelegate&);
    friend void PrintTo(const QuitRoute& route, std::ostream* out) { *out << route.name; }
};

class ShellQuit : public Shell, public ::testing::WithParamInterface<QuitRoute> {};

TEST_P(ShellQuit, RefusedDuringTheRunAndTakenAfterIt) {
    QuitSignals quitSignals;
    bool refused = false;
    QTimer::singleShot(0, delegate.get(), [&] {
        delegate->applicationDidFinishLaunching();
        GetParam().take(*delegate);
        // Back in the loop: a quit taken ends it before this runs.
        QTimer::singleShot(200, delegate.get(), [&] {
            refused = delegate->model().installing.get() && delegate->window()->isVisible();
            finishTheRun();
            GetParam().take(*delegate);
        });
    });
    QTimer watchdog;
    QObject::connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(-1); });
    watchdog.start(10000);
    EXPECT_EQ(QCoreApplication::exec(), 0) << "the loop did not end";
    EXPECT_TRUE(refused);
    EXPECT_FALSE(delegate->window()->isVisible());
    EXPECT_EQ(delegate->model().error.get(), "同名位置不是应用目录，未替换原文件");
}

INSTANTIATE_TEST_SUITE_P(
    Routes, ShellQuit,
    ::testing::Values(QuitRoute{"Quit", [](InstallerDelegate&) { QCoreApplication::quit(); }},
                      QuitRoute{"Close", [](InstallerDelegate& d) { d.window()->close(); }},
                      QuitRoute{"Sigterm", [](InstallerDelegate&) { ::kill(::getpid(), SIGTERM); }},
                      QuitRoute{"Sigint", [](InstallerDelegate&) { ::kill(::getpid(), SIGINT); }},
                      QuitRoute{"Sighup", [](InstallerDelegate&) { ::kill(::getpid(), SIGHUP); }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tessuro
