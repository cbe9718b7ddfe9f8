#pragma once

#include <optional>
#include <string>

namespace tessuro {

// What the process was given of the desktop session, each variable unset or its value.
struct DisplayEnvironment {
    std::optional<std::string> waylandDisplay;  // WAYLAND_DISPLAY
    std::optional<std::string> sessionType;     // XDG_SESSION_TYPE
    std::optional<std::string> x11Display;      // DISPLAY
    std::optional<std::string> platform;        // QT_QPA_PLATFORM
    std::optional<std::string> decoration;      // QT_WAYLAND_DISABLE_WINDOWDECORATION
};

// What the installer sets for its own window before Qt starts.
struct DisplayChoice {
    std::optional<std::string> platform;  // QT_QPA_PLATFORM, when the installer chooses it
    bool disableDecoration = false;       // QT_WAYLAND_DISABLE_WINDOWDECORATION=1
};

// On a Wayland session that offers X11 too (XWayland), the window is an X11 window ("xcb",
// Wayland only when X11 cannot be reached): the compositor decorates a window that asks for
// neither minimise nor maximise. Wherever the window may end on Wayland (a Wayland session,
// or a platform the user chose that names Wayland), Qt's own title bar is turned off, since
// it offers minimise and maximise whatever the window asks; the window draws its own row.
// What the user set is kept.
DisplayChoice chooseDisplay(const DisplayEnvironment& environment);

}  // namespace tessuro
