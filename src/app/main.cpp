// The installer takes no command line and reads no configuration: it installs the payload
// its own bundle carries.

#include "app/build_anchors.h"
#include "app/installer_app.h"

int main(int argc, char** argv) {
    tessuro::InstallerApp app(argc, argv, tessuro::buildTimeAnchors());
    return app.run();
}
