#pragma once

#include <filesystem>
#include <functional>
#include <optional>

#include "codesign/code_signing.h"
#include "platform/bundle.h"
#include "platform/file_system.h"

namespace tessuro::InstallerTransaction {

// Checks the bundle whose folder `folder` holds (`shown` names it in messages), in
// `session` when one is given: returns what the check vouched for, or throws why the
// bundle is not acceptable. The staged and the installed copy are checked in the session
// of their installation; the source, which others may write, in none.
using Verify = std::function<VerifiedBundle(int folder, const std::filesystem::path& shown,
                                            codesign::VerificationSession* session)>;

struct Result {
    // The hidden location of the replaced bundle, whose removal has started in the
    // background; nothing for a fresh install.
    std::optional<std::filesystem::path> backup;
    // The installed bundle: the folder that passed the last check, held open.
    HeldBundle installed;
};

// Puts the bundle at `source` in place at `destination`: a staged copy beside it, checked
// with `verify` (as are the source before and the installed bundle after), an atomic swap
// with the bundle it replaces, and a rollback when a step fails. The source is opened once:
// what is checked of it is what is copied. The staged copy is checked through the folder
// the copy made, and it is that folder which must stand at the destination once the swap
// is done and checked; its executables that no seal covers lose their execute bits before
// the swap. What would run beside the copy runs on the calling thread when no thread can
// be had. Fails with an Error in the window's language, whatever failed (see errorOf).
// Blocks; never call it on the main thread.
Result install(const std::filesystem::path& source, const std::filesystem::path& destination,
               const Verify& verify);

// What install() works with: the file operations, and how a job is run after the result
// has been handed back (the removal of the backup).
struct Environment {
    FileSystem& files;
    std::function<void(std::function<void()>)> runLater;
};

Result install(const std::filesystem::path& source, const std::filesystem::path& destination,
               const Verify& verify, const Environment& environment);

// Blocks until the background work that install() started (the removal of a replaced
// bundle) has ended. The application calls it on its way out.
void waitForBackgroundWork();

}  // namespace tessuro::InstallerTransaction
