#pragma once

#include <QPixmap>
#include <QTimer>
#include <QWidget>

namespace tessuro {

// The small indeterminate activity indicator: twelve spokes, fading round, 16 × 16.
class Spinner : public QWidget {
public:
    explicit Spinner(QWidget* parent = nullptr);
    QSize sizeHint() const override { return {16, 16}; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    QTimer timer_;
    int step_ = 0;
};

// A filled green circle with a white check mark, as large as a line of a 42-point font.
class CheckMark : public QWidget {
public:
    explicit CheckMark(QWidget* parent = nullptr);
    QSize sizeHint() const override { return {side_, side_}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int side_;
};

// The application's icon, stretched to a fixed size in points and drawn from the full
// picture at the screen's device pixel ratio, so that it stays sharp at any scale.
class IconView : public QWidget {
public:
    IconView(const QPixmap& picture, int side, QWidget* parent = nullptr);
    QSize sizeHint() const override { return {side_, side_}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QPixmap picture_;
    int side_;
};

// A box that a screen reader announces when it appears: an alert, named after what it
// holds. Showing it again announces it again.
class AlertBox : public QWidget {
public:
    using QWidget::QWidget;
};

// The colours of the window. Every text is at least 4.5 : 1 against what lies behind it,
// every control's edge and the focus ring at least 3 : 1 (the view's test computes each
// pair): the hues are the platform's, darkened where they were too light.
inline const QColor kWindowBackground(0xEF, 0xEF, 0xEF);
inline const QColor kText(0x1D, 0x1D, 0x1F);
inline const QColor kGreen(0x34, 0xC7, 0x59);
inline const QColor kRed(0xC8, 0x28, 0x1E);
inline const QColor kAccent(0x00, 0x64, 0xD2);
inline const QColor kAccentPressed(0x00, 0x50, 0xA8);
inline const QColor kOnAccent(0xFF, 0xFF, 0xFF);
inline const QColor kAccentDisabled(0xDC, 0xEB, 0xFD);
inline const QColor kOnAccentDisabled(0x24, 0x5A, 0x9E);
inline const QColor kButtonFace(0xFF, 0xFF, 0xFF);
inline const QColor kButtonFacePressed(0xE4, 0xE4, 0xE8);
inline const QColor kButtonBorder(0x7C, 0x7C, 0x80);
// Drawn round the button that has the keyboard focus, in place of its edge.
inline const QColor kFocusRing(0x00, 0x00, 0x00);

}  // namespace tessuro
