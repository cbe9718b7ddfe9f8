#pragma once

#include <filesystem>
#include <functional>
#include <optional>

#include "platform/error.h"

namespace tessuro {

using OpenCompletion = std::function<void(std::optional<Error> error)>;

// Opens an application bundle: starts "Contents/MacOS/<CFBundleExecutable>" in a session
// of its own, in the user's home folder, with its standard streams on /dev/null, so that it
// outlives the caller. Returns at once; `completion` runs once, on a worker thread, with
// nothing when the program was started and an error a person can act on otherwise.
void openApplication(const std::filesystem::path& bundle, OpenCompletion completion);

// The same, synchronously on the calling thread: returns once the program was started, and
// fails with the error the completion would receive.
void openApplicationNow(const std::filesystem::path& bundle);

}  // namespace tessuro
