#include "ui/installer_view.h"

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

// The bordered prominent style: filled with the accent colour, white title. Disabled, it
// turns pale, and its title stays readable (5.7 : 1 against the pale fill).
QString prominentStyle() {
    return QStringLiteral(
               "QPushButton { background-color: %1; color: white; border: none;"
               " border-radius: 6px; padding: 5px 16px; }"
               "QPushButton:pressed { background-color: %2; }"
               "QPushButton:disabled { background-color: #DCEBFD; color: #245A9E; }")
        .arg(kAccent.name(), kAccent.darker(125).name());
}

// The standard style of a small button: a white face with a thin grey border, evenly
// padded round its title.
constexpr const char* kStandardStyle =
    "QPushButton { background-color: #FFFFFF; color: #1D1D1F; border: 1px solid #BDBDC2;"
    " border-radius: 5px; padding: 3px 10px; }"
    "QPushButton:pressed { background-color: #E4E4E8; }"
    "QPushButton:disabled { background-color: #F5F5F7; color: #8A8A8E; border-color: #D6D6DA; }";

QPushButton* button(const QString& title, QWidget* parent) {
    auto* b = new QPushButton(title, parent);
    // Only Return reaches a button from the keyboard, through the view's own shortcut.
    b->setFocusPolicy(Qt::NoFocus);
    b->setAutoDefault(false);
    return b;
}

}  // namespace

InstallerView::InstallerView(InstallerModel& model, SizeChanged sizeChanged, const QPixmap& icon,
                             QWidget* parent)
    : QWidget(parent), model_(model), sizeChanged_(std::move(sizeChanged)) {
    setFont(viewFont(13));
    layout_ = new QVBoxLayout(this);
    layout_->setContentsMargins(kMargin, kMargin, kMargin, kMargin);
    layout_->setSpacing(kSpacing);
    layout_->setAlignment(Qt::AlignCenter);

    icon_ = new IconView(icon, kIconSide, this);
    check_ = new CheckMark(this);
    title_ = plainLabel(viewFont(23, QFont::DemiBold), this);
    status_ = plainLabel(viewFont(13), this);
    spinner_ = new Spinner(this);
    error_ = new WrappedText(kWidth - 2 * kMargin, this);
    error_->setFont(viewFont(12));
    error_->setTextColor(kRed);
    retry_ = button(QCoreApplication::translate("InstallerView", "重试安装"), this);
    retry_->setStyleSheet(prominentStyle());
    alternative_ =
        button(QCoreApplication::translate("InstallerView", "改为安装到我的应用程序"), this);
    alternative_->setFont(viewFont(11));
    alternative_->setStyleSheet(QString::fromLatin1(kStandardStyle));
    launch_ = button(QString(), this);
    launch_->setStyleSheet(prominentStyle());

    for (QWidget* element : std::initializer_list<QWidget*>{
             icon_, check_, title_, status_, spinner_, error_, retry_, alternative_, launch_}) {
        layout_->addWidget(element, 0, Qt::AlignHCenter);
    }

    connect(retry_, &QPushButton::clicked, this, [this] { model_.startInstallation(); });
    connect(alternative_, &QPushButton::clicked, this, [this] {
        model_.userFolder.set(true);
        model_.startInstallation();
    });
    connect(launch_, &QPushButton::clicked, this, [this] { model_.launchInstalledApp(); });
    for (int key : {Qt::Key_Return, Qt::Key_Enter}) {
        auto* shortcut = new QShortcut(QKeySequence(key), this);
        shortcut->setContext(Qt::WindowShortcut);
        connect(shortcut, &QShortcut::activated, this, [this] { pressDefault(); });
    }

    // The announcement comes before the write is stored: read the fields a moment later.
    subscription_ = model_.objectWillChange.subscribe([this] { scheduleRefresh(); });
    refresh();
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
    error_->setText(QString::fromStdString(error));  // verbatim, never looked up
    error_->setVisible(failed);

    launch_->setVisible(installed);
    launch_->setText(launching ? tr("正在启动…") : tr("立即启动"));
    launch_->setEnabled(!launching);
    retry_->setVisible(!installed && failed);
    retry_->setEnabled(!installing);
    alternative_->setVisible(!installed && failed && !model_.userFolder.get());
    alternative_->setEnabled(!installing);

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
