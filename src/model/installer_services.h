#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "install/installer_transaction.h"
#include "model/clock.h"
#include "platform/bundle.h"
#include "platform/running_applications.h"
#include "platform/workspace.h"

namespace tessuro {

// Checks the bundle whose folder `folder` holds (`shown` names it); returns what the check
// vouched for, or throws the reason the bundle is not acceptable.
using VerifyOperation = InstallerTransaction::Verify;

// Puts `source` in place at `destination`, calling `verify` on the bundles it touches;
// returns the installed bundle, held, and the location of a replaced older copy it kept,
// or throws. `inUserFolder`: the destination is the desktop user's own folder, whose files
// are that user's.
using InstallOperation = std::function<InstallerTransaction::Result(
    const std::filesystem::path& source, const std::filesystem::path& destination,
    const VerifyOperation& verify, bool inUserFolder)>;

// What the model asks of the system. The real services come from systemServices(); tests
// substitute the clock, the list of running copies and the file work.
struct InstallerServices {
    std::filesystem::path installerBundle = {};
    std::function<std::filesystem::path()> homeDirectory = {};
    std::function<RunningApplications(std::string_view bundleIdentifier)> runningApplications = {};
    std::shared_ptr<Clock> clock = {};
    InstallOperation install = {};
    VerifyOperation verify = {};
    // Starts the held bundle's program; the completion may run on any thread.
    std::function<void(const HeldBundle& bundle, OpenCompletion completion)> openApplication = {};
    // Asks the application to quit, by the path every quit request takes.
    std::function<void()> terminateApplication = {};
};

// The real services of this system: the installer's own bundle, the desktop user's home
// folder and processes, the system clock, the install transaction (writing into the user's
// folder as that user), the payload validation, the opening of applications as the desktop
// user and the application's own quit. The payload's signature must reach Apple's roots, or
// one of the extra anchors a development build passes (PEM texts).
InstallerServices systemServices(const std::vector<std::string>& extraAnchorsPem = {});

}  // namespace tessuro
