// How the installer's window reaches the screen, for each session it may be started in.

#include "app/display_platform.h"

#include <gtest/gtest.h>

namespace tessuro {
namespace {

TEST(DisplayPlatform, XWaylandWhereOfferedAndNeverQtsTitleBarOnWayland) {
    using V = std::optional<std::string>;
    const V unset;
    struct Row {
        const char* name;
        DisplayEnvironment environment;
        V platform;
        bool disableDecoration;
    };
    const Row rows[] = {
        {"an X11 session", {unset, V("x11"), V(":0"), unset, unset}, unset, false},
        {"Wayland with XWayland",
         {V("wayland-0"), V("wayland"), V(":0"), unset, unset},
         V("xcb;wayland"),
         true},
        {"Wayland told by the session type alone, with XWayland",
         {unset, V("wayland"), V(":1"), unset, unset},
         V("xcb;wayland"),
         true},
        {"Wayland without X11", {V("wayland-0"), V("wayland"), unset, unset, unset}, unset, true},
        {"Wayland with an empty DISPLAY",
         {V("wayland-0"), unset, V(""), unset, unset},
         unset,
         true},
        {"an empty WAYLAND_DISPLAY is no Wayland session",
         {V(""), unset, V(":0"), unset, unset},
         unset,
         false},
        {"the user's own Wayland platform, kept, without Qt's bar",
         {V("wayland-0"), V("wayland"), V(":0"), V("wayland"), unset},
         unset,
         true},
        {"the user's own X11 platform, kept",
         {V("wayland-0"), V("wayland"), V(":0"), V("xcb"), unset},
         unset,
         true},
        {"Wayland asked for on an X11 session",
         {unset, V("x11"), V(":0"), V("wayland"), unset},
         unset,
         true},
        {"the user's own decoration setting, kept",
         {V("wayland-0"), V("wayland"), unset, unset, V("0")},
         unset,
         false},
        {"an empty QT_QPA_PLATFORM is no choice of the user's",
         {V("wayland-0"), V("wayland"), V(":0"), V(""), unset},
         V("xcb;wayland"),
         true},
        {"an empty decoration setting is no choice of the user's",
         {V("wayland-0"), V("wayland"), unset, unset, V("")},
         unset,
         true},
        {"sudo's environment: DISPLAY alone", {unset, unset, V(":0"), unset, unset}, unset, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const DisplayChoice choice = chooseDisplay(row.environment);
        EXPECT_EQ(choice.platform, row.platform);
        EXPECT_EQ(choice.disableDecoration, row.disableDecoration);
    }
}

}  // namespace
}  // namespace tessuro
