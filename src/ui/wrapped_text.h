#pragma once

#include <QColor>
#include <QFont>
#include <QTextLayout>
#include <QWidget>

namespace tessuro {

// Plain text that wraps at a given width, at word boundaries where it can and anywhere where
// it must, and always shows every line: nothing is interpreted (no markup, no mnemonics)
// and nothing is cut off. Its box is as wide as its widest line and as high as its lines.
class WrappedText : public QWidget {
public:
    WrappedText(int wrapWidth, QWidget* parent = nullptr);

    void setText(const QString& text);
    QString text() const { return text_; }
    void setTextColor(const QColor& color);
    int lineCount() const { return lines_; }

    QSize sizeHint() const override { return size_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void relayout();

    int wrapWidth_;
    QString text_;
    QColor color_;
    QSize size_;
    int lines_ = 0;
};

}  // namespace tessuro
