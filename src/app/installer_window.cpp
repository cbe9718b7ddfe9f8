#include "app/installer_window.h"

#include <QAccessibleWidget>
#include <QCloseEvent>
#include <QScreen>
#include <QTimer>
#include <QWindow>

#include "ui/installer_view.h"

namespace tessuro {

namespace {

// A screen reader sees the window as a frame named by its title, not as an unnamed pane.
QAccessibleInterface* accessibleWindow(const QString&, QObject* object) {
    if (auto* window = dynamic_cast<InstallerWindow*>(object)) {
        return new QAccessibleWidget(window, QAccessible::Window);
    }
    return nullptr;
}

}  // namespace

InstallerWindow::InstallerWindow(std::function<bool()> shouldClose)
    : shouldClose_(std::move(shouldClose)) {
    static const bool factoryInstalled = [] {
        QAccessible::installFactory(accessibleWindow);
        return true;
    }();
    (void)factoryInstalled;
    setWindowFlags(flagsWithClose(true));
    setFixedSize(InstallerView::kWidth, kInitialHeight);
}

Qt::WindowFlags InstallerWindow::flagsWithClose(bool enabled) const {
    // Titled, with no minimise or maximise button; the close button only when enabled.
    Qt::WindowFlags flags = Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint;
    if (enabled) {
        flags |= Qt::WindowCloseButtonHint;
    }
    return flags;
}

void InstallerWindow::setCloseControlEnabled(bool enabled) {
    if (QWindow* handle = windowHandle()) {
        // QWindow::setFlags changes the decoration in place; QWidget::setWindowFlags would
        // hide the window to recreate it.
        handle->setFlags(flagsWithClose(enabled));
    } else {
        setWindowFlags(flagsWithClose(enabled));
    }
}

void InstallerWindow::centerOnScreen() {
    QScreen* target = screen();
    if (target == nullptr) {
        return;
    }
    // Placed by its frame: the window manager places a new window's frame at the position
    // asked for, and then the toolkit and the window manager agree on where the window is
    // through every later resize.
    winId();
    const QRect area = target->availableGeometry();
    windowHandle()->setFramePosition(area.center() - QPoint(width() / 2, height() / 2));
}

namespace {

const Qt::WindowStates kRefusedStates =
    Qt::WindowMinimized | Qt::WindowMaximized | Qt::WindowFullScreen;

}  // namespace

void InstallerWindow::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && (windowState() & kRefusedStates)) {
        QTimer::singleShot(0, this, [this] {
            setWindowState(windowState() & ~kRefusedStates);
            show();
            raise();
            activateWindow();
        });
    }
}

void InstallerWindow::closeEvent(QCloseEvent* event) {
    if (shouldClose_ && !shouldClose_()) {
        event->ignore();
        return;
    }
    event->accept();
}

}  // namespace tessuro
