#include "app/installer_app.h"

#include <QAccessibleObject>
#include <QTimer>

namespace tessuro {
namespace {

// The application as a screen reader names it: by its display name, with no description
// (Qt's own gives the program's path).
class AccessibleInstaller : public QAccessibleApplication {
public:
    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Name) {
            return QGuiApplication::applicationDisplayName();
        }
        return t == QAccessible::Description ? QString() : QAccessibleApplication::text(t);
    }
};

QAccessibleInterface* accessibleApplication(const QString&, QObject* object) {
    if (object != nullptr && object == QCoreApplication::instance()) {
        return new AccessibleInstaller;
    }
    return nullptr;
}

}  // namespace

InstallerApp::InstallerApp(int& argc, char** argv, const std::vector<std::string>& extraAnchorsPem)
    : QApplication(argc, argv) {
    setApplicationName(QStringLiteral("Tessuro Installer"));
    // Also the window's title, which therefore stays as it is.
    setApplicationDisplayName(QStringLiteral("安装Tessuro"));
    QAccessible::installFactory(accessibleApplication);
    setQuitOnLastWindowClosed(true);
    signals_ = std::make_unique<QuitSignals>();
    delegate_ = std::make_unique<InstallerDelegate>(systemServices(extraAnchorsPem));
}

InstallerApp::~InstallerApp() = default;

int InstallerApp::run() {
    QTimer::singleShot(0, this, [this] { delegate_->applicationDidFinishLaunching(); });
    return exec();
}

}  // namespace tessuro
