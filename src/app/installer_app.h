#pragma once

#include <QApplication>
#include <memory>

#include "app/installer_delegate.h"
#include "app/quit_signals.h"

namespace tessuro {

// The application: one delegate, created before the event loop starts, which builds the
// only window once the loop runs.
class InstallerApp : public QApplication {
public:
    // `extraAnchorsPem`: roots trusted besides Apple's (a development build's own).
    InstallerApp(int& argc, char** argv, const std::vector<std::string>& extraAnchorsPem);
    ~InstallerApp() override;

    int run();

private:
    std::unique_ptr<QuitSignals> signals_;
    std::unique_ptr<InstallerDelegate> delegate_;
};

}  // namespace tessuro
