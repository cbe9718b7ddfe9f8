// The installer takes no command line and reads no configuration: it installs the payload
// its own bundle carries.

#include "app/build_anchors.h"
#include "app/installer_app.h"
#include "install/installer_transaction.h"

int main(int argc, char** argv) {
    int code = 0;
    {
        tessuro::InstallerApp app(argc, argv, tessuro::buildTimeAnchors());
        code = app.run();
    }
    // The window is gone: let the removal of a replaced version finish before the process.
    tessuro::InstallerTransaction::waitForBackgroundWork();
    return code;
}
