#include "app/installer_app.h"

#include <QAccessibleObject>
#include <QTimer>
#include <QtGlobal>
#include <cstdlib>
#include <optional>
#include <string>

#include "app/display_platform.h"

namespace tessuro {
namespace {

// The application as a screen reader names it: by the window's title, with no description
// (Qt's own are the program's English name and its path).
class AccessibleInstaller : public QAccessibleApplication {
public:
    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Name) {
            return QString::fromUtf8(kInstallerTitle);
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

// The variables set below for the installer's own window alone.
bool platformChosenHere = false;
bool decorationChosenHere = false;

std::optional<std::string> environmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

// Chooses how the window reaches the screen (see chooseDisplay), before the QApplication
// reads it.
int& chooseDisplayPlatform(int& argc) {
    const DisplayChoice choice = chooseDisplay({
        .waylandDisplay = environmentValue("WAYLAND_DISPLAY"),
        .sessionType = environmentValue("XDG_SESSION_TYPE"),
        .x11Display = environmentValue("DISPLAY"),
        .platform = environmentValue("QT_QPA_PLATFORM"),
        .decoration = environmentValue("QT_WAYLAND_DISABLE_WINDOWDECORATION"),
    });
    if (choice.platform) {
        qputenv("QT_QPA_PLATFORM", QByteArray::fromStdString(*choice.platform));
        platformChosenHere = true;
    }
    if (choice.disableDecoration) {
        qputenv("QT_WAYLAND_DISABLE_WINDOWDECORATION", "1");
        decorationChosenHere = true;
    }
    return argc;
}

}  // namespace

InstallerApp::InstallerApp(int& argc, char** argv, const std::vector<std::string>& extraAnchorsPem)
    : QApplication(chooseDisplayPlatform(argc), argv) {
    // The platform is chosen by now; the application the installer starts chooses its own.
    if (platformChosenHere) {
        qunsetenv("QT_QPA_PLATFORM");
    }
    setApplicationName(QStringLiteral("Tessuro Installer"));
    QAccessible::installFactory(accessibleApplication);
    setQuitOnLastWindowClosed(true);
    signals_ = std::make_unique<QuitSignals>();
    delegate_ = std::make_unique<InstallerDelegate>(systemServices(extraAnchorsPem));
}

InstallerApp::~InstallerApp() = default;

int InstallerApp::run() {
    QTimer::singleShot(0, this, [this] {
        delegate_->applicationDidFinishLaunching();
        // Read when the window was made: the application the installer starts decorates
        // its windows as it likes.
        if (decorationChosenHere) {
            qunsetenv("QT_WAYLAND_DISABLE_WINDOWDECORATION");
        }
    });
    return exec();
}

}  // namespace tessuro
