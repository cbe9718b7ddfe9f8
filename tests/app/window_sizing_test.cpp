#include "app/window_sizing.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTest>
#include <cmath>

#include "app/installer_window.h"

namespace tessuro {
namespace {

class WindowSizing : public ::testing::Test {
protected:
    std::unique_ptr<InstallerWindow> window =
        std::make_unique<InstallerWindow>([] { return true; });

    void SetUp() override {
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }

    static void settle() {
        for (int i = 0; i < 3; ++i) {
            QCoreApplication::processEvents();
        }
    }
};

// The top-left corner under a real window manager is the X session test's (an offscreen
// window has no frame to keep in place).
TEST_F(WindowSizing, FollowsTheReportedHeight) {
    ASSERT_EQ(window->size(), QSize(400, 320));

    applyWindowSizing(window.get(), QSizeF(400, 300.4));
    EXPECT_EQ(window->size(), QSize(400, 301)) << "rounded up to a whole point";
    EXPECT_EQ(window->minimumSize(), window->maximumSize()) << "still not resizable by the user";

    for (double within : {300.8, 301.5}) {
        applyWindowSizing(window.get(), QSizeF(400, within));
        EXPECT_EQ(window->size(), QSize(400, 301)) << within;
    }
    applyWindowSizing(window.get(), QSizeF(400, 300.4));  // 0.6 away: the same size again
    EXPECT_EQ(window->size(), QSize(400, 301));

    for (double nothing : {0.0, -5.0, std::nan("")}) {
        applyWindowSizing(window.get(), QSizeF(400, nothing));
        EXPECT_EQ(window->size(), QSize(400, 301));
    }
    applyWindowSizing(window.get(), QSizeF(250, 480.2));
    EXPECT_EQ(window->size(), QSize(400, 481)) << "the width stays 400";
}

TEST_F(WindowSizing, EachReportIsItsOwnLaterTask) {
    scheduleWindowSizing(window.get(), QSizeF(400, 280));
    EXPECT_EQ(window->size(), QSize(400, 320)) << "never inside the report";
    scheduleWindowSizing(window.get(), QSizeF(400, 500));
    scheduleWindowSizing(window.get(), QSizeF(400, 260));
    settle();
    EXPECT_EQ(window->size(), QSize(400, 260)) << "each applied in turn, the last one last";

    QPointer<QWidget> gone(window.get());
    scheduleWindowSizing(gone, QSizeF(400, 300));
    window.reset();
    settle();  // the window was released before the task ran: nothing happens
    SUCCEED();
}

}  // namespace
}  // namespace tessuro
