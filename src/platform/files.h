#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

namespace tessuro {

// True when something the caller may use stands at the path (symbolic links followed, so a
// dangling link answers false).
bool fileExists(const std::filesystem::path& path) noexcept;

// The current user's home folder: $HOME when it is an absolute path, otherwise the home
// folder that the user database names.
std::filesystem::path homeDirectory();

// The whole content of a regular file. Fails with a POSIX error naming the file, and with
// EFBIG when the file is larger than maxBytes.
std::string readFileContents(const std::filesystem::path& path, std::size_t maxBytes);

}  // namespace tessuro
