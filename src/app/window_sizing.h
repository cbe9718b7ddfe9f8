#pragma once

#include <QPointer>
#include <QSizeF>
#include <QWidget>

namespace tessuro {

// Schedules one update of the window's height to a reported content size, as its own task
// on the main thread; the task holds the window weakly and does nothing once it is gone.
void scheduleWindowSizing(QPointer<QWidget> window, QSizeF reported);

// The update itself: the content becomes the view's width × ceil(height) unless the height
// is not above 0 or differs by at most half a point from the current content height; the
// window's top-left corner stays where it was, and the user still cannot resize it.
void applyWindowSizing(QWidget* window, QSizeF reported);

}  // namespace tessuro
