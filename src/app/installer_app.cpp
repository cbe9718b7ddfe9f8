#include "app/installer_app.h"

#include <QTimer>

namespace tessuro {

InstallerApp::InstallerApp(int& argc, char** argv, const std::vector<std::string>& extraAnchorsPem)
    : QApplication(argc, argv) {
    setApplicationName(QStringLiteral("Tessuro Installer"));
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
