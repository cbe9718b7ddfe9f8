#include "app/installer_delegate.h"

#include <QApplication>
#include <QEvent>
#include <QSessionManager>
#include <QVBoxLayout>

#include "app/window_sizing.h"
#include "platform/bundle.h"
#include "ui/app_icon.h"
#include "ui/installer_view.h"

namespace tessuro {

InstallerDelegate::InstallerDelegate(InstallerServices services)
    : model_(InstallerModel::create(std::move(services))),
      inhibitor_(std::make_unique<SleepInhibitor>(*model_)) {
    if (QCoreApplication* app = QCoreApplication::instance()) {
        app->installEventFilter(this);
    }
    if (auto* gui = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        connect(gui, &QGuiApplication::commitDataRequest, this,
                [this](QSessionManager& manager) { commitDataRequest(manager); });
    }
}

InstallerDelegate::~InstallerDelegate() {
    subscription_.cancel();
}

void InstallerDelegate::applicationDidFinishLaunching() {
    window_ = std::make_unique<InstallerWindow>([this] { return windowShouldClose(); });
    window_->setWindowTitle(QString::fromUtf8(kInstallerTitle));
    window_->setAttribute(Qt::WA_DeleteOnClose, false);  // closing hides, the delegate owns it
    auto* layout = new QVBoxLayout(window_.get());
    layout->setContentsMargins(0, 0, 0, 0);

    // The view reports its size; each report becomes its own later task on the window.
    QPointer<QWidget> sizedWindow(window_.get());
    const QPixmap icon = installerIcon(model_->installerBundle());
    window_->setWindowIcon(icon);
    QWidget* titleRow = window_->ownTitleRow();
    const QSizeF chrome(0, titleRow != nullptr ? titleRow->height() : 0);
    if (titleRow != nullptr) {
        layout->setSpacing(0);
        layout->addWidget(titleRow);
    }
    view_ = new InstallerView(
        *model_,
        [sizedWindow, chrome](QSizeF size) { scheduleWindowSizing(sizedWindow, size + chrome); },
        icon, window_.get());
    layout->addWidget(view_);
    // Shown at its content's size from the start, and centred by it: the window manager
    // places it once, and no resize follows right upon the placement.
    applyWindowSizing(window_.get(), view_->measuredSize() + chrome);
    window_->centerOnScreen();

    QPointer<InstallerWindow> weakWindow(window_.get());
    subscription_ = model_->installing.subscribe([weakWindow](const bool& installing) {
        if (weakWindow) {
            weakWindow->setCloseControlEnabled(!installing);
        }
    });

    window_->show();
    window_->raise();
    window_->activateWindow();

    if (!model_->automaticInstallationStarted) {
        model_->automaticInstallationStarted = true;
        model_->startInstallation();
    }
}

bool InstallerDelegate::applicationShouldTerminate() const {
    return !model_->installing.get();
}

bool InstallerDelegate::windowShouldClose() const {
    return !model_->installing.get();
}

bool InstallerDelegate::eventFilter(QObject* watched, QEvent* event) {
    if (watched == QCoreApplication::instance() && event->type() == QEvent::Quit &&
        !applicationShouldTerminate()) {
        event->ignore();
        return true;  // refused: the installation goes on
    }
    return QObject::eventFilter(watched, event);
}

void InstallerDelegate::commitDataRequest(QSessionManager& manager) {
    // A logout while installing would cut the installation short: ask to cancel it.
    if (model_->installing.get() && manager.allowsInteraction()) {
        manager.cancel();
        manager.release();
    }
}

}  // namespace tessuro
