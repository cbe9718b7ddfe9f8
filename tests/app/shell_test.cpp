// The application shell on the offscreen platform: the window, the automatic start, and
// every quit route (quit(), the window's close, SIGTERM) refused during an installation
// and taken after it. The routes run inside the real event loop (exec()). The launch's
// quit, through the real services, is the X session test's.

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
        delegate = std::make_unique<InstallerDelegate>(services());
    }
    void TearDown() override {
        transaction.release();
        delegate.reset();
    }

    // Runs the event loop: `script` is called once it runs; returns exec()'s code, or -1
    // when the loop did not end within ten seconds.
    int runLoop(std::function<void()> script) {
        QTimer::singleShot(0, script);
        QTimer watchdog;
        watchdog.setSingleShot(true);
        QObject::connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(-1); });
        watchdog.start(10000);
        return QCoreApplication::exec();
    }

    // Turns the loop for a while, long enough for queued events and signals to arrive.
    static void settle() {
        for (int i = 0; i < 10; ++i) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        }
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

    transaction.outcome = [] { throw installerError("同名位置不是应用目录，未替换原文件"); };
    transaction.release();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !delegate->model().installing.get(); }, 5000));
    EXPECT_TRUE(window->windowHandle()->flags() & Qt::WindowCloseButtonHint);
    EXPECT_TRUE(window->isVisible()) << "changing the close control keeps the window shown";

    // The automatic start happens once; a retry does not depend on it.
    EXPECT_EQ(transaction.calls().size(), 1u);
    transaction.outcome = [] {};
    delegate->model().startInstallation();
    ASSERT_TRUE(QTest::qWaitFor([&] { return delegate->model().installed.get(); }, 5000));
    EXPECT_EQ(transaction.calls().size(), 2u);
}

TEST_F(Shell, QuitAndCloseAreRefusedDuringTheRunAndQuitAfterAFailure) {
    bool quitRefused = false, closeRefused = false;
    transaction.outcome = [] { throw installerError("同名位置不是应用目录，未替换原文件"); };
    int code = runLoop([&] {
        delegate->applicationDidFinishLaunching();
        QCoreApplication::quit();
        settle();
        quitRefused = delegate->window()->isVisible();
        closeRefused = !delegate->window()->close() && delegate->window()->isVisible();
        EXPECT_TRUE(delegate->model().installing.get()) << "the run goes on";
        transaction.release();
        EXPECT_TRUE(QTest::qWaitFor([&] { return !delegate->model().installing.get(); }, 5000));
        QCoreApplication::quit();  // after the failure: quits at once
    });
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(quitRefused);
    EXPECT_TRUE(closeRefused);
    EXPECT_EQ(delegate->model().error.get(), "同名位置不是应用目录，未替换原文件");
}

TEST_F(Shell, ClosingTheWindowAfterTheRunQuits) {
    int code = runLoop([&] {
        delegate->applicationDidFinishLaunching();
        transaction.release();
        EXPECT_TRUE(QTest::qWaitFor([&] { return delegate->model().installed.get(); }, 5000));
        delegate->window()->close();
    });
    EXPECT_EQ(code, 0);
    EXPECT_FALSE(delegate->window()->isVisible());
}

TEST_F(Shell, SigtermTakesTheSameRoute) {
    QuitSignals quitSignals;
    bool survived = false;
    int code = runLoop([&] {
        delegate->applicationDidFinishLaunching();
        ::kill(::getpid(), SIGTERM);
        settle();
        survived = delegate->model().installing.get() && delegate->window()->isVisible();
        transaction.release();
        EXPECT_TRUE(QTest::qWaitFor([&] { return !delegate->model().installing.get(); }, 5000));
        ::kill(::getpid(), SIGTERM);
    });
    EXPECT_TRUE(survived) << "SIGTERM during the run was not refused";
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(delegate->model().installed.get());
}

}  // namespace
}  // namespace tessuro
