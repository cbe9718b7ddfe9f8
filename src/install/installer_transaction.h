#pragma once

#include <filesystem>
#include <functional>
#include <optional>

#include "platform/file_system.h"

namespace tessuro::InstallerTransaction {

using Verify = std::function<void(const std::filesystem::path&)>;

// Puts the bundle at `source` in place at `destination`: a staged copy beside it, checked
// with `verify` (as are the source before and the installed bundle after), an atomic swap
// with the bundle it replaces, and a rollback when a step fails. Returns the hidden backup
// location of the replaced bundle, whose removal it has started in the background, or
// nothing for a fresh install. Blocks; never call it on the main thread.
std::optional<std::filesystem::path> install(const std::filesystem::path& source,
                                             const std::filesystem::path& destination,
                                             const Verify& verify);

// What install() works with: the file operations, and how a job is run after the result
// has been handed back (the removal of the backup).
struct Environment {
    FileSystem& files;
    std::function<void(std::function<void()>)> runLater;
};

std::optional<std::filesystem::path> install(const std::filesystem::path& source,
                                             const std::filesystem::path& destination,
                                             const Verify& verify, const Environment& environment);

// Blocks until the background work that install() started (the removal of a replaced
// bundle) has ended. The application calls it on its way out.
void waitForBackgroundWork();

}  // namespace tessuro::InstallerTransaction
