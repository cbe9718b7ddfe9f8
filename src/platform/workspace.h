#pragma once

#include <filesystem>
#include <functional>
#include <optional>

#include "platform/bundle.h"
#include "platform/desktop_user.h"
#include "platform/error.h"

namespace tessuro {

using OpenCompletion = std::function<void(std::optional<Error> error)>;

// Opens an application held by its folder: starts the main executable its last check
// vouched for, opened through the held folder without following a link, found to be the
// very file the check read, and started from that descriptor, whatever stands at the
// bundle's path by now. A program that begins with "#!" is started by a path through the
// held folder's descriptor ("/proc/self/fd/N/Contents/MacOS/<name>"), which the program
// keeps open, so that its interpreter reads the checked file too.
//
// It runs in a session of its own, in the user's home folder, with its standard streams
// on /dev/null, so that it outlives the caller; no other descriptor of the caller's comes
// along (but the held folder, for a script), and every signal starts at its default.
// When the installer runs as root for another user, it runs as that user (the user's
// groups, group and user ID) with an environment of the user's own: HOME, USER, LOGNAME
// and SHELL from the user database, a plain PATH, DISPLAY, WAYLAND_DISPLAY, XAUTHORITY,
// LANG and LC_* of the installer's session, and XDG_RUNTIME_DIR and the session bus of
// /run/user/<uid> where they exist; nothing else of root's: a session keyring that is not
// the user's is left for a new one. Otherwise it runs as the installer's own user, with
// its environment. Returns once the program was started; fails with an error a person can
// act on otherwise.
void openApplicationNow(const HeldBundle& bundle, const DesktopUser& user);

// The same for the desktop user (desktopUser()), on a worker thread: returns at once, and
// `completion` runs once, on that thread, with nothing when the program was started and the
// error otherwise. Without a thread to be had, both happen on the caller's before it returns.
void openApplication(HeldBundle bundle, OpenCompletion completion);

}  // namespace tessuro
