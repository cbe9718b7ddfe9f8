#pragma once

#include <QObject>
#include <QPointer>
#include <memory>

#include "app/installer_window.h"
#include "app/sleep_inhibitor.h"
#include "model/installer_model.h"
#include "ui/installer_view.h"

class QSessionManager;

namespace tessuro {

// The window's title, and the name a screen reader gives the application.
inline constexpr const char* kInstallerTitle = "安装Tessuro";

// Owns the model, the window and the subscription that keeps the window's close control
// in step with `installing`. Every quit request (QCoreApplication::quit, the last window
// closing, a signal, a session logout) reaches applicationShouldTerminate(); while an
// installation runs the answer is no, and nothing is interrupted.
class InstallerDelegate : public QObject {
public:
    explicit InstallerDelegate(InstallerServices services);
    ~InstallerDelegate() override;

    // Builds and shows the window, then starts the installation once.
    void applicationDidFinishLaunching();

    bool applicationShouldTerminate() const;
    bool windowShouldClose() const;

    InstallerModel& model() { return *model_; }
    InstallerWindow* window() { return window_.get(); }
    InstallerView* view() { return view_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void commitDataRequest(QSessionManager& manager);

    std::shared_ptr<InstallerModel> model_;
    std::unique_ptr<InstallerWindow> window_;
    InstallerView* view_ = nullptr;  // owned by the window
    Subscription subscription_;
    // Shutdown, reboot and sleep wait while an install runs.
    std::unique_ptr<SleepInhibitor> inhibitor_;
};

}  // namespace tessuro
