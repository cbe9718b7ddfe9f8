#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "platform/bundle.h"
#include "platform/desktop_user.h"

namespace tessuro {

// The desktop entry that lists an installed application in the desktop's menus and search:
// named after the bundle identifier, started by its main executable, gone from the lists once
// the executable is (TryExec). Paths are written by the Desktop Entry rules, so that one with
// spaces, quotes or backslashes starts what it names. Fails with an Error when a path cannot
// be written in an entry at all (a line break in it, or not absolute).
std::string desktopEntryText(const std::string& name, const std::filesystem::path& executable,
                             const std::optional<std::filesystem::path>& icon);

// Where entries go: /usr/local/share/applications for an application in /Applications, the
// desktop user's $XDG_DATA_HOME/applications (~/.local/share/applications by default) for one
// in their own folder. The variable counts only when the installer runs as that user.
std::filesystem::path desktopEntryFolder(bool inUserFolder, const DesktopUser& user);

// Writes `text` as `folder`/`fileName` (the folder made when missing): a temporary file,
// synced, renamed into place; an entry that already says the same is left as it is. Never
// follows a link at the entry's name. Fails with an Error in the window's language.
void writeDesktopEntry(const std::filesystem::path& folder, const std::string& fileName,
                       const std::string& text);

// The entry for an installed bundle, with its display name and its icon (CFBundleIconFile in
// Contents/Resources, left out when the bundle names none or it is no regular file), written
// where it belongs.
void registerInstalledApplication(const HeldBundle& installed, const std::string& name,
                                  const std::string& bundleIdentifier, bool inUserFolder,
                                  const DesktopUser& user);

}  // namespace tessuro
