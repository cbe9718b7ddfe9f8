#include "ui/wrapped_text.h"

#include <QPainter>
#include <QTextOption>
#include <cmath>

namespace tessuro {
namespace {

// Lays the text out at the width; answers the height and the widest line.
QSizeF layOut(QTextLayout& layout, int width, int* lines) {
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    option.setAlignment(Qt::AlignLeft);
    layout.setTextOption(option);
    layout.beginLayout();
    double y = 0;
    double widest = 0;
    int count = 0;
    for (;;) {
        QTextLine line = layout.createLine();
        if (!line.isValid()) {
            break;
        }
        line.setLineWidth(width);
        line.setPosition(QPointF(0, y));
        y += line.height();
        widest = std::max(widest, line.naturalTextWidth());
        ++count;
    }
    layout.endLayout();
    *lines = count;
    return {widest, y};
}

}  // namespace

WrappedText::WrappedText(int wrapWidth, QWidget* parent) : QWidget(parent), wrapWidth_(wrapWidth) {
    relayout();
}

void WrappedText::setText(const QString& text) {
    text_ = text;
    setAccessibleName(text);  // what a screen reader reads: the whole text
    relayout();
    update();
}

void WrappedText::setTextColor(const QColor& color) {
    color_ = color;
    update();
}

void WrappedText::relayout() {
    // Line breaks in the text are kept as line breaks.
    QString shown = text_;
    shown.replace(QLatin1Char('\n'), QChar::LineSeparator);
    QTextLayout layout(shown, font());
    QSizeF size = layOut(layout, wrapWidth_, &lines_);
    size_ = QSize(std::min(wrapWidth_, static_cast<int>(std::ceil(size.width()))),
                  static_cast<int>(std::ceil(size.height())));
    setFixedSize(size_);
    updateGeometry();
}

void WrappedText::paintEvent(QPaintEvent*) {
    QString shown = text_;
    shown.replace(QLatin1Char('\n'), QChar::LineSeparator);
    QTextLayout layout(shown, font());
    int lines = 0;
    layOut(layout, size_.width(), &lines);
    QPainter painter(this);
    painter.setPen(color_.isValid() ? color_ : palette().color(QPalette::WindowText));
    layout.draw(&painter, QPointF(0, 0));
}

}  // namespace tessuro
