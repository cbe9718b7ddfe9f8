#include "model/installer_services.h"

#include <QCoreApplication>

#include "install/installer_transaction.h"
#include "install/payload_validation.h"
#include "platform/bundle.h"
#include "platform/files.h"

namespace tessuro {

InstallerServices systemServices(const std::vector<std::string>& extraAnchorsPem) {
    auto trust = std::make_shared<const codesign::CodeSigning>(extraAnchorsPem);
    return InstallerServices{
        .installerBundle = mainBundlePath(),
        .homeDirectory = homeDirectory,
        .runningApplications = runningApplicationsWithBundleIdentifier,
        .clock = systemClock(),
        .install =
            [](const std::filesystem::path& source, const std::filesystem::path& destination,
               const VerifyOperation& verify) {
                return InstallerTransaction::install(source, destination, verify);
            },
        .verify =
            [trust](const std::filesystem::path& bundle) {
                PayloadValidation::validate(bundle, *trust);
            },
        .openApplication = openApplication,
        .terminateApplication = [] { QCoreApplication::quit(); },
    };
}

}  // namespace tessuro
