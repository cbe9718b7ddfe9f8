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

// The standard colours of the window: green for success, red for errors, and the accent
// colour that fills the prominent buttons.
inline const QColor kGreen(0x34, 0xC7, 0x59);
inline const QColor kRed(0xFF, 0x3B, 0x30);
inline const QColor kAccent(0x00, 0x7A, 0xFF);

}  // namespace tessuro
