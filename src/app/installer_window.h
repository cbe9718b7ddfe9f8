#pragma once

#include <QWidget>
#include <functional>

namespace tessuro {

// The installer's one window: titled, closable, never minimised, zoomed or resized by the
// user, as wide as its view. A close request asks `shouldClose` first and is refused when
// it answers false.
class InstallerWindow : public QWidget {
public:
    static constexpr int kInitialHeight = 320;
    static constexpr int kTitleRowHeight = 30;

    explicit InstallerWindow(std::function<bool()> shouldClose);

    // Shows or hides the close control. A window manager may still draw one; the refusal
    // in closeEvent holds either way.
    void setCloseControlEnabled(bool enabled);

    // Centres the window on its screen's available area.
    void centerOnScreen();

    // On a Wayland display where the toolkit draws no title bar (see InstallerApp), the
    // window draws a row of its own: the title and a close button, which obeys the same
    // refusal and is disabled with the close control; the window is moved by dragging the
    // row. Made once, at the top of the window; nullptr where the window has a title bar.
    QWidget* ownTitleRow();

protected:
    void closeEvent(QCloseEvent* event) override;
    // The window offers no minimise or maximise, but a window manager may allow them
    // anyway: such a change is undone at once.
    void changeEvent(QEvent* event) override;
    // A window manager may also give the window a size it did not ask for (weston's, for
    // X11 windows, maximises on a double click on the title bar and keeps the size after
    // the maximise is undone): the window asks for its own size again.
    void resizeEvent(QResizeEvent* event) override;

private:
    Qt::WindowFlags flagsWithClose(bool enabled) const;

    std::function<bool()> shouldClose_;
    QWidget* titleRow_ = nullptr;
    bool sizeRestorePending_ = false;
    QWidget* titleRowClose_ = nullptr;
};

}  // namespace tessuro
