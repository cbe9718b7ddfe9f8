#include "app/installer_window.h"

#include <QCloseEvent>
#include <QScreen>
#include <QWindow>

namespace tessuro {

InstallerWindow::InstallerWindow(std::function<bool()> shouldClose)
    : shouldClose_(std::move(shouldClose)) {
    setWindowFlags(flagsWithClose(true));
    setFixedSize(kWidth, kInitialHeight);
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
    closeEnabled_ = enabled;
    if (QWindow* handle = windowHandle()) {
        // QWindow::setFlags changes the decoration in place; QWidget::setWindowFlags would
        // hide the window to recreate it.
        handle->setFlags(flagsWithClose(enabled));
    } else {
        setWindowFlags(flagsWithClose(enabled));
    }
}

bool InstallerWindow::closeControlEnabled() const {
    return closeEnabled_;
}

void InstallerWindow::centerOnScreen() {
    QScreen* target = screen();
    if (target == nullptr) {
        return;
    }
    QRect area = target->availableGeometry();
    QRect frame = frameGeometry();
    move(area.center() - QPoint(frame.width() / 2, frame.height() / 2) + (pos() - frame.topLeft()));
}

void InstallerWindow::closeEvent(QCloseEvent* event) {
    if (shouldClose_ && !shouldClose_()) {
        event->ignore();
        return;
    }
    event->accept();
}

}  // namespace tessuro
