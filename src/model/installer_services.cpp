#include "model/installer_services.h"

#include <QCoreApplication>

#include "install/installer_transaction.h"
#include "install/payload_validation.h"
#include "install/product.h"
#include "platform/bundle.h"
#include "platform/desktop_entry.h"
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
                InstallerTransaction::Result result =
                    InstallerTransaction::install(source, destination, verify);
                // Listed by the desktop from now on; an entry that cannot be written takes
                // nothing from the install, which is done.
                try {
                    registerInstalledApplication(result.installed, std::string(payloadDisplayName),
                                                 std::string(payloadBundleIdentifier), inUserFolder,
                                                 desktopUser());
                } catch (...) {
                }
                return result;
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
