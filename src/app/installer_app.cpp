#include "app/installer_app.h"

#include <QAccessibleObject>
#include <QTimer>
#include <QtGlobal>

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

// Chooses how the window reaches the screen, before the QApplication reads it. On Wayland,
// Qt draws the window's title bar itself, with minimise and maximise whatever the window's
// flags: a maximise is answered by a size the fixed-size window does not take (a strict
// compositor ends the connection, and the process with it), and a minimised window cannot
// be brought back. Where the session offers X11 too (XWayland), the window is an X11 window
// that asks for neither, decorated by the compositor, as on an X11 desktop. On Wayland
// itself (no X11, an X11 display that cannot be reached, or Wayland asked for by the user's
// QT_QPA_PLATFORM, which is kept) Qt draws no title bar, and the window draws a row of its
// own (InstallerWindow::ownTitleRow). A QT_WAYLAND_DISABLE_WINDOWDECORATION the user set is
// kept too.
int& chooseDisplayPlatform(int& argc) {
    const bool waylandSession =
        !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
        qEnvironmentVariable("XDG_SESSION_TYPE") == QLatin1String("wayland");
    const bool platformSet = qEnvironmentVariableIsSet("QT_QPA_PLATFORM");
    const bool waylandAskedFor =
        qEnvironmentVariable("QT_QPA_PLATFORM").contains(QLatin1String("wayland"));
    if (!platformSet && waylandSession && !qEnvironmentVariableIsEmpty("DISPLAY")) {
        qputenv("QT_QPA_PLATFORM", "xcb;wayland");
        platformChosenHere = true;
    }
    if ((waylandSession || waylandAskedFor) &&
        !qEnvironmentVariableIsSet("QT_WAYLAND_DISABLE_WINDOWDECORATION")) {
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
