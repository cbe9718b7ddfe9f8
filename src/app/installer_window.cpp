#include "app/installer_window.h"

#include <QAccessibleWidget>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QWindow>

#include "ui/installer_view.h"

namespace tessuro {

namespace {

// A screen reader sees the window as a frame named by its title, not as an unnamed pane.
QAccessibleInterface* accessibleWindow(const QString&, QObject* object) {
    if (auto* window = dynamic_cast<InstallerWindow*>(object)) {
        return new QAccessibleWidget(window, QAccessible::Window);
    }
    return nullptr;
}

}  // namespace

InstallerWindow::InstallerWindow(std::function<bool()> shouldClose)
    : shouldClose_(std::move(shouldClose)) {
    static const bool factoryInstalled = [] {
        QAccessible::installFactory(accessibleWindow);
        return true;
    }();
    (void)factoryInstalled;
    setWindowFlags(flagsWithClose(true));
    setFixedSize(InstallerView::kWidth, kInitialHeight);
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
    if (titleRowClose_ != nullptr) {
        titleRowClose_->setEnabled(enabled);
    }
    if (QWindow* handle = windowHandle()) {
        // QWindow::setFlags changes the decoration in place; QWidget::setWindowFlags would
        // hide the window to recreate it.
        handle->setFlags(flagsWithClose(enabled));
    } else {
        setWindowFlags(flagsWithClose(enabled));
    }
}

void InstallerWindow::centerOnScreen() {
    QScreen* target = screen();
    if (target == nullptr) {
        return;
    }
    // Placed by its frame: the window manager places a new window's frame at the position
    // asked for, and then the toolkit and the window manager agree on where the window is
    // through every later resize.
    winId();
    const QRect area = target->availableGeometry();
    windowHandle()->setFramePosition(area.center() - QPoint(width() / 2, height() / 2));
}

namespace {

// The title row: dragging it (anywhere but its button) moves the window, as a title bar does.
class TitleRow : public QWidget {
public:
    using QWidget::QWidget;

protected:
    void mousePressEvent(QMouseEvent* event) override {
        QWindow* handle = window()->windowHandle();
        if (event->button() == Qt::LeftButton && handle != nullptr) {
            handle->startSystemMove();
        }
    }
};

bool toolkitDrawsNoTitleBar() {
    return QGuiApplication::platformName().startsWith(QLatin1String("wayland")) &&
           qEnvironmentVariableIntValue("QT_WAYLAND_DISABLE_WINDOWDECORATION") != 0;
}

}  // namespace

QWidget* InstallerWindow::ownTitleRow() {
    if (titleRow_ != nullptr || !toolkitDrawsNoTitleBar()) {
        return titleRow_;
    }
    titleRow_ = new TitleRow(this);
    titleRow_->setFixedHeight(kTitleRowHeight);
    titleRow_->setAutoFillBackground(true);
    QPalette colours = titleRow_->palette();
    colours.setColor(QPalette::Window, QColor(0xDC, 0xDC, 0xDE));
    colours.setColor(QPalette::WindowText, QColor(0x1D, 0x1D, 0x1F));
    titleRow_->setPalette(colours);
    auto* row = new QHBoxLayout(titleRow_);
    row->setContentsMargins(6, 0, 6, 0);
    auto* title = new QLabel(windowTitle(), titleRow_);
    QFont font(QStringLiteral("Noto Sans CJK SC"));
    font.setPixelSize(13);
    font.setWeight(QFont::DemiBold);
    title->setFont(font);
    title->setAlignment(Qt::AlignCenter);
    auto* close = new QPushButton(QStringLiteral("×"), titleRow_);
    close->setAccessibleName(QCoreApplication::translate("InstallerWindow", "关闭"));
    close->setFixedSize(24, 24);
    close->setAutoDefault(false);
    close->setFocusPolicy(Qt::TabFocus);
    close->setStyleSheet(QStringLiteral(
        "QPushButton { border: 1px solid transparent; border-radius: 12px; font-size: 16px;"
        " color: #1D1D1F; background: transparent; }"
        "QPushButton:hover { background: #C4C4C8; }"
        "QPushButton:focus { border: 2px solid #000000; }"
        "QPushButton:disabled { color: #8A8A8E; }"));
    connect(close, &QPushButton::clicked, this, [this] { this->close(); });
    titleRowClose_ = close;
    // The title centred over the whole row: a space as wide as the button on the left.
    row->addSpacing(close->width());
    row->addWidget(title, 1);
    row->addWidget(close);
    return titleRow_;
}

namespace {

const Qt::WindowStates kRefusedStates =
    Qt::WindowMinimized | Qt::WindowMaximized | Qt::WindowFullScreen;

}  // namespace

void InstallerWindow::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && (windowState() & kRefusedStates)) {
        QTimer::singleShot(0, this, [this] {
            setWindowState(windowState() & ~kRefusedStates);
            show();
            raise();
            activateWindow();
        });
    }
}

void InstallerWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (minimumSize() == maximumSize() && size() != minimumSize() && !sizeRestorePending_) {
        sizeRestorePending_ = true;
        QTimer::singleShot(0, this, [this] {
            sizeRestorePending_ = false;
            if (minimumSize() == maximumSize() && size() != minimumSize()) {
                resize(minimumSize());
            }
        });
    }
}

void InstallerWindow::closeEvent(QCloseEvent* event) {
    if (shouldClose_ && !shouldClose_()) {
        event->ignore();
        return;
    }
    event->accept();
}

}  // namespace tessuro
