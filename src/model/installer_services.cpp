#include "model/installer_services.h"

#include <QCoreApplication>

#include "install/installer_transaction.h"
#include "install/payload_validation.h"
#include "platform/bundle.h"
#include "platform/desktop_user.h"

namespace tessuro {

InstallerServices systemServices(const std::vector<std::string>& extraAnchorsPem) {
    auto trust = std::make_shared<const codesign::CodeSigning>(extraAnchorsPem);
    return InstallerServices{
        .installerBundle = mainBundlePath(),
        .homeDirectory = [] { return desktopUser().home; },
        .runningApplications =
            [](std::string_view bundleIdentifier) {
                return runningApplicationsWithBundleIdentifier(bundleIdentifier, desktopUserId());
            },
        .clock = systemClock(),
        .install =
            [](const std::filesystem::path& source, const std::filesystem::path& destination,
               const VerifyOperation& verify, bool inUserFolder) {
                std::optional<FilesAsUser> asUser;
                if (inUserFolder) {
                    asUser.emplace(desktopUser());
                }
                return InstallerTransaction::install(source, destination, verify);
            },
        .verify =
            [trust](int folder, const std::filesystem::path& shown,
                    codesign::VerificationSession* session) {
                return PayloadValidation::validate(folder, shown, *trust, session);
            },
        .openApplication = openApplication,
        .terminateApplication = [] { QCoreApplication::quit(); },
    };
}

}  // namespace tessuro
