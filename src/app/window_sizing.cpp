#include "app/window_sizing.h"

#include <QCoreApplication>
#include <cmath>

namespace tessuro {
namespace {

constexpr int kWindowWidth = 400;

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
    const double h = reported.height();
    if (!(h > 0)) {
        return;  // zero, negative and not-a-number heights change nothing
    }
    const double content = window->height();
    if (std::abs(content - h) <= 0.5) {
        return;
    }
    // A window keeps its top-left corner when it is resized: nothing is moved. (Moving it
    // back to where the toolkit believes its frame stood would move it while the window
    // manager's frame is not yet known.)
    window->setFixedSize(kWindowWidth, static_cast<int>(std::ceil(h)));
}

}  // namespace tessuro
