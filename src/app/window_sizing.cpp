#include "app/window_sizing.h"

#include <QCoreApplication>
#include <QTimer>
#include <QVariant>
#include <QWindow>
#include <chrono>
#include <cmath>

#include "ui/installer_view.h"

namespace tessuro {
namespace {

// Until the window manager has placed a new window, the toolkit's idea of where it stands
// is still the position it asked for, and a resize would move the window there. So the
// sizes reported before the window is first shown on the screen wait for it; only the last
// of them matters, since each update sets the height it was given.
constexpr std::chrono::milliseconds kPlacementWait{5};
constexpr int kMaxPlacementWaits = 200;  // a window never shown is sized after a second
constexpr const char* kWaitingSize = "tessuro.waitingSize";

bool waitsForPlacement(QWidget* window) {
    QWindow* handle = window->windowHandle();
    return handle != nullptr && window->isVisible() && !handle->isExposed();
}

void resize(QWidget* window, QSizeF reported) {
    const double h = reported.height();
    if (!(h > 0)) {
        return;  // zero, negative and not-a-number heights change nothing
    }
    const double content = window->height();
    if (std::abs(content - h) <= 0.5) {
        return;
    }
    // A window keeps its top-left corner when it is resized: nothing is moved.
    window->setFixedSize(InstallerView::kWidth, static_cast<int>(std::ceil(h)));
}

void applyWhenPlaced(QPointer<QWidget> window, int waited) {
    if (!window) {
        return;
    }
    if (waitsForPlacement(window) && waited < kMaxPlacementWaits) {
        QTimer::singleShot(kPlacementWait, window,
                           [window, waited] { applyWhenPlaced(window, waited + 1); });
        return;
    }
    const QSizeF latest = window->property(kWaitingSize).toSizeF();
    window->setProperty(kWaitingSize, QVariant());
    resize(window, latest);
}

}  // namespace

void scheduleWindowSizing(QPointer<QWidget> window, QSizeF reported) {
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [window, reported] {
            if (window) {
                applyWindowSizing(window, reported);
            }
        },
        Qt::QueuedConnection);
}

void applyWindowSizing(QWidget* window, QSizeF reported) {
    const bool waiting = window->property(kWaitingSize).isValid();
    if (waiting || waitsForPlacement(window)) {
        window->setProperty(kWaitingSize, reported);
        if (!waiting) {
            applyWhenPlaced(window, 0);
        }
        return;
    }
    resize(window, reported);
}

}  // namespace tessuro
