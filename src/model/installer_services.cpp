#include "model/installer_services.h"

#include "platform/bundle.h"
#include "platform/files.h"

namespace tessuro {

InstallerServices systemServices(InstallOperation install, VerifyOperation verify) {
    return InstallerServices{
        .installerBundle = mainBundlePath(),
        .homeDirectory = homeDirectory,
        .runningApplications = runningApplicationsWithBundleIdentifier,
        .clock = systemClock(),
        .install = std::move(install),
        .verify = std::move(verify),
    };
}

}  // namespace tessuro
