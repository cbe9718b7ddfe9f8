#include "ui/installer_view.h"

#include <QAccessibleWidget>
#include <QApplication>
#include <QCoreApplication>
#include <QShortcut>
#include <algorithm>

namespace tessuro {
namespace {

// Every text is drawn with a Simplified Chinese face, whatever the locale, and the Latin
// text beside it with the same face, so that forms and weights match. Sizes are in points
// (device-independent pixels), as the window's layout is.
constexpr const char* kFontFamily = "Noto Sans CJK SC";

QFont viewFont(int points, QFont::Weight weight = QFont::Normal) {
    QFont font(QString::fromLatin1(kFontFamily));
    font.setPixelSize(points);
    font.setWeight(weight);
    return font;
}

QLabel* plainLabel(const QFont& font, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setFont(font);
    return label;
}

// The bordered prominent style: filled with the accent colour, white title. Its edge is the
// fill's colour until it has the keyboard focus, when the focus ring takes its place (the
// size stays). Disabled, it turns pale, and its title stays readable.
QString prominentStyle() {
    return QStringLiteral(
               "QPushButton { background-color: %1; color: %2; border: 2px solid %1;"
               " border-radius: 6px; padding: 3px 14px; outline: none; }"
               "QPushButton:pressed { background-color: %3; border-color: %3; }"
               "QPushButton:focus { border-color: %4; }"
               "QPushButton:disabled { background-color: %5; border-color: %5; color: %6; }")
        .arg(kAccent.name(), kOnAccent.name(), kAccentPressed.name(), kFocusRing.name(),
             kAccentDisabled.name(), kOnAccentDisabled.name());
}

// The standard style of a small button: a white face with a thin grey border, evenly
// padded round its title; with the keyboard focus, a ring twice as thick in place of it.
QString standardStyle() {
    return QStringLiteral(
               "QPushButton { background-color: %1; color: %2; border: 1px solid %3;"
               " border-radius: 5px; padding: 3px 10px; outline: none; }"
               "QPushButton:pressed { background-color: %4; }"
               "QPushButton:focus { border: 2px solid %5; padding: 2px 9px; }")
        .arg(kButtonFace.name(), kText.name(), kButtonBorder.name(), kButtonFacePressed.name(),
             kFocusRing.name());
}

QPushButton* button(const QString& title, QWidget* parent) {
    auto* b = new QPushButton(title, parent);
    // Tab reaches it and Space presses it; Return presses the view's default button
    // wherever the focus is, through the view's own shortcut, never the focused one. A click
    // gives it no focus: the ring, and the focus kept through a run, are the keyboard's.
    b->setFocusPolicy(Qt::TabFocus);
    b->setAutoDefault(false);
    b->setDefault(false);
    return b;
}

// A container whose hidden children a screen reader does not see: the view holds every
// element of every state, and shows a few.
class VisibleChildrenAccessible : public QAccessibleWidget {
public:
    explicit VisibleChildrenAccessible(QWidget* widget,
                                       QAccessible::Role role = QAccessible::Client)
        : QAccessibleWidget(widget, role) {}

    int childCount() const override { return static_cast<int>(shownChildren().size()); }
    QAccessibleInterface* child(int index) const override {
        const QList<QWidget*> shown = shownChildren();
        return index >= 0 && index < shown.size()
                   ? QAccessible::queryAccessibleInterface(shown[index])
                   : nullptr;
    }
    int indexOfChild(const QAccessibleInterface* child) const override {
        return child == nullptr ? -1
                                : static_cast<int>(shownChildren().indexOf(
                                      qobject_cast<QWidget*>(child->object())));
    }

private:
    QList<QWidget*> shownChildren() const {
        QList<QWidget*> shown;
        for (QObject* object : widget()->children()) {
            auto* child = qobject_cast<QWidget*>(object);
            if (child != nullptr && !child->isWindow() && !child->isHidden()) {
                shown.append(child);
            }
        }
        return shown;
    }
};

// The roles a screen reader needs for the view's own kinds of element.
QAccessibleInterface* accessibleElement(const QString&, QObject* object) {
    auto* widget = qobject_cast<QWidget*>(object);
    if (widget == nullptr) {
        return nullptr;
    }
    if (dynamic_cast<InstallerView*>(widget) != nullptr) {
        return new VisibleChildrenAccessible(widget);
    }
    if (dynamic_cast<Spinner*>(widget) != nullptr) {
        return new QAccessibleWidget(widget, QAccessible::ProgressBar);
    }
    if (dynamic_cast<IconView*>(widget) != nullptr || dynamic_cast<CheckMark*>(widget) != nullptr) {
        return new QAccessibleWidget(widget, QAccessible::Graphic);
    }
    if (dynamic_cast<AlertBox*>(widget) != nullptr) {
        return new VisibleChildrenAccessible(widget, QAccessible::AlertMessage);
    }
    if (dynamic_cast<WrappedText*>(widget) != nullptr) {
        return new QAccessibleWidget(widget, QAccessible::StaticText);
    }
    return nullptr;
}

}  // namespace

InstallerView::InstallerView(InstallerModel& model, SizeChanged sizeChanged, const QPixmap& icon,
                             QWidget* parent)
    : QWidget(parent), model_(model), sizeChanged_(std::move(sizeChanged)) {
    static const bool factoryInstalled = [] {
        QAccessible::installFactory(accessibleElement);
        return true;
    }();
    (void)factoryInstalled;
    auto tr = [](const char* text) { return QCoreApplication::translate("InstallerView", text); };

    setFont(viewFont(13));
    QPalette colours = palette();
    colours.setColor(QPalette::Window, kWindowBackground);
    colours.setColor(QPalette::WindowText, kText);
    setPalette(colours);
    setAutoFillBackground(true);
    layout_ = new QVBoxLayout(this);
    layout_->setContentsMargins(kMargin, kMargin, kMargin, kMargin);
    layout_->setSpacing(kSpacing);
    layout_->setAlignment(Qt::AlignCenter);

    icon_ = new IconView(icon, kIconSide, this);
    icon_->setAccessibleName(QStringLiteral("Tessuro"));
    check_ = new CheckMark(this);
    check_->setAccessibleName(tr("安装成功"));
    title_ = plainLabel(viewFont(23, QFont::DemiBold), this);
    status_ = plainLabel(viewFont(13), this);
    spinner_ = new Spinner(this);
    // The error line inside an alert, which a screen reader reads out each time it shows.
    errorBox_ = new AlertBox(this);
    auto* errorLayout = new QVBoxLayout(errorBox_);
    errorLayout->setContentsMargins(0, 0, 0, 0);
    error_ = new WrappedText(kWidth - 2 * kMargin, errorBox_);
    error_->setFont(viewFont(12));
    error_->setTextColor(kRed);
    errorLayout->addWidget(error_);
    retry_ = button(tr("重试安装"), this);
    retry_->setStyleSheet(prominentStyle());
    alternative_ = button(tr("改为安装到我的应用程序"), this);
    alternative_->setFont(viewFont(11));
    alternative_->setStyleSheet(standardStyle());
    launch_ = button(QString(), this);
    launch_->setStyleSheet(prominentStyle());
    // Tab goes through the buttons in reading order.
    setTabOrder(retry_, alternative_);
    setTabOrder(alternative_, launch_);

    for (QWidget* element : std::initializer_list<QWidget*>{
             icon_, check_, title_, status_, spinner_, errorBox_, retry_, alternative_, launch_}) {
        layout_->addWidget(element, 0, Qt::AlignHCenter);
    }

    // A button acts only while it is shown: one pressed through the accessibility interface
    // while hidden (and disabled) does nothing.
    connect(retry_, &QPushButton::clicked, this, [this] {
        if (!retry_->isHidden()) {
            model_.startInstallation();
        }
    });
    connect(alternative_, &QPushButton::clicked, this, [this] {
        if (!alternative_->isHidden()) {
            model_.installInUserFolderInstead();
        }
    });
    connect(launch_, &QPushButton::clicked, this, [this] {
        if (!launch_->isHidden()) {
            model_.launchInstalledApp();
        }
    });
    for (int key : {Qt::Key_Return, Qt::Key_Enter}) {
        auto* shortcut = new QShortcut(QKeySequence(key), this);
        shortcut->setContext(Qt::WindowShortcut);
        connect(shortcut, &QShortcut::activated, this, [this] { pressDefault(); });
    }

    // Every run started counts, so that a retry failing with the same words is told again.
    runs_ =
        model_.installing.subscribe([this](const bool& installing) { runCount_ += installing; });
    // The announcement comes before the write is stored: read the fields a moment later.
    subscription_ = model_.objectWillChange.subscribe([this] { scheduleRefresh(); });
    refresh();
}

// Once the keyboard has reached the buttons, one of them keeps the focus: when the focused
// one is hidden (a run starts, or ends in another state), the first button shown next takes
// it, so that a keyboard or screen reader user is not left with nothing focused.
void InstallerView::keepKeyboardFocus() {
    QWidget* focused = QApplication::focusWidget();
    if (!keyboardInUse_ || (focused != nullptr && focused->isVisible() && focused->isEnabled())) {
        return;
    }
    for (QPushButton* b : {retry_, alternative_, launch_}) {
        if (!b->isHidden() && b->isEnabled()) {
            b->setFocus(Qt::OtherFocusReason);
            return;
        }
    }
}

void InstallerView::scheduleRefresh() {
    if (refreshPending_) {
        return;
    }
    refreshPending_ = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            refreshPending_ = false;
            refresh();
        },
        Qt::QueuedConnection);
}

void InstallerView::refresh() {
    const bool installed = model_.installed.get();
    const bool installing = model_.installing.get();
    const bool launching = model_.launching.get();
    const std::string& error = model_.error.get();
    const bool failed = !error.empty();
    auto tr = [](const char* text) { return QCoreApplication::translate("InstallerView", text); };

    icon_->setVisible(!installed);
    check_->setVisible(installed);
    title_->setText(installed ? tr("安装成功") : tr("安装Tessuro"));
    const bool statusRow = !installed && !failed;
    status_->setText(installing ? tr("正在安装…") : tr("正在准备安装…"));
    status_->setVisible(statusRow);
    spinner_->setVisible(statusRow);
    spinner_->setAccessibleName(status_->text());
    const QString errorText = QString::fromStdString(error);  // verbatim, never looked up
    // A new error, or the same one from a later run, is announced: the alert shows afresh.
    const bool announce = failed && (errorText != error_->text() || runCount_ != announcedRun_);
    error_->setText(errorText);
    errorBox_->setAccessibleName(errorText);
    error_->setVisible(failed);
    if (announce) {
        errorBox_->hide();
        announcedRun_ = runCount_;
    }
    errorBox_->setVisible(failed);

    // A button that had the keyboard focus may be hidden below: its successor takes it.
    QWidget* focused = QApplication::focusWidget();
    keyboardInUse_ =
        keyboardInUse_ || focused == retry_ || focused == alternative_ || focused == launch_;

    // Hidden buttons are disabled too: nothing reaches them.
    const bool launchShown = installed;
    const bool retryShown = !installed && failed;
    const bool alternativeShown = !installed && failed && !model_.userFolder.get();
    launch_->setVisible(launchShown);
    launch_->setText(launching ? tr("正在启动…") : tr("立即启动"));
    launch_->setEnabled(launchShown && !launching);
    retry_->setVisible(retryShown);
    retry_->setEnabled(retryShown && !installing);
    alternative_->setVisible(alternativeShown);
    alternative_->setEnabled(alternativeShown && !installing);
    keepKeyboardFocus();

    measureAndReport();
}

void InstallerView::measureAndReport() {
    layout_->invalidate();
    const int content = layout_->sizeHint().height();
    measured_ = QSizeF(kWidth, std::max(kMinimumHeight, content));
    if (reported_ != measured_) {
        reported_ = measured_;
        if (sizeChanged_) {
            sizeChanged_(measured_);
        }
    }
}

QPushButton* InstallerView::activeDefaultButton() const {
    for (QPushButton* candidate : {launch_, retry_}) {
        if (!candidate->isHidden() && candidate->isEnabled()) {
            return candidate;
        }
    }
    return nullptr;
}

void InstallerView::pressDefault() {
    if (QPushButton* target = activeDefaultButton()) {
        target->click();
    }
}

}  // namespace tessuro
