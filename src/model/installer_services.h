#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/clock.h"
#include "platform/running_applications.h"
#include "platform/workspace.h"

namespace tessuro {

// Checks one bundle; returns, or throws the reason it is not acceptable.
using VerifyOperation = std::function<void(const std::filesystem::path& bundle)>;

// Puts `source` in place at `destination`, calling `verify` on the bundles it touches;
// returns the location of a replaced older copy it kept, or throws.
using InstallOperation = std::function<std::optional<std::filesystem::path>(
    const std::filesystem::path& source, const std::filesystem::path& destination,
    const VerifyOperation& verify)>;

// What the model asks of the system. The real services come from systemServices(); tests
// substitute the clock, the list of running copies and the file work.
struct InstallerServices {
    std::filesystem::path installerBundle = {};
    std::function<std::filesystem::path()> homeDirectory = {};
    std::function<RunningApplications(std::string_view bundleIdentifier)> runningApplications = {};
    std::shared_ptr<Clock> clock = {};
    InstallOperation install = {};
    VerifyOperation verify = {};
    // Starts the bundle's program; the completion may run on any thread.
    std::function<void(const std::filesystem::path& bundle, OpenCompletion completion)>
        openApplication = {};
    // Asks the application to quit, by the path every quit request takes.
    std::function<void()> terminateApplication = {};
};

// The real services of this system: the installer's own bundle, the user's home folder,
// the processes of the machine, the system clock, the install transaction, the payload
// validation, the opening of applications and the application's own quit. The payload's
// signature must reach Apple's roots, or one of the extra anchors a development build
// passes (PEM texts).
InstallerServices systemServices(const std::vector<std::string>& extraAnchorsPem = {});

}  // namespace tessuro
