#include "ui/painted_widgets.h"

#include <QFont>
#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <cmath>

namespace tessuro {

Spinner::Spinner(QWidget* parent) : QWidget(parent) {
    setFixedSize(sizeHint());
    timer_.setInterval(80);
    connect(&timer_, &QTimer::timeout, this, [this] {
        step_ = (step_ + 1) % 12;
        update();
    });
}

void Spinner::showEvent(QShowEvent*) {
    timer_.start();
}

void Spinner::hideEvent(QHideEvent*) {
    timer_.stop();
}

void Spinner::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(width() / 2.0, height() / 2.0);
    for (int i = 0; i < 12; ++i) {
        // The spoke at the current step is darkest; the ones behind it fade.
        int age = (step_ - i + 12) % 12;
        QColor color(0x55, 0x55, 0x55);
        color.setAlphaF(1.0 - age / 13.0);
        QPen pen(color, 1.6, Qt::SolidLine, Qt::RoundCap);
        painter.setPen(pen);
        painter.save();
        painter.rotate(i * 30.0);
        painter.drawLine(QPointF(0, -3.5), QPointF(0, -7.0));
        painter.restore();
    }
}

CheckMark::CheckMark(QWidget* parent) : QWidget(parent) {
    QFont font = this->font();
    font.setPixelSize(42);
    side_ = static_cast<int>(std::ceil(QFontMetricsF(font).height()));
    setFixedSize(side_, side_);
}

void CheckMark::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const double s = side_;
    const double inset = s * 0.06;
    painter.setPen(Qt::NoPen);
    painter.setBrush(kGreen);
    painter.drawEllipse(QRectF(inset, inset, s - 2 * inset, s - 2 * inset));
    QPainterPath tick;
    tick.moveTo(s * 0.30, s * 0.52);
    tick.lineTo(s * 0.44, s * 0.66);
    tick.lineTo(s * 0.71, s * 0.36);
    painter.setPen(QPen(Qt::white, s * 0.085, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(tick);
}

IconView::IconView(const QPixmap& picture, int side, QWidget* parent)
    : QWidget(parent), picture_(picture), side_(side) {
    setFixedSize(side_, side_);
}

void IconView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawPixmap(rect(), picture_);  // stretched, neither tiled nor cropped
}

}  // namespace tessuro
