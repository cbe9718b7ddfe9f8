#include "app/display_platform.h"

namespace tessuro {

DisplayChoice chooseDisplay(const DisplayEnvironment& environment) {
    auto nonEmpty = [](const std::optional<std::string>& value) {
        return value.has_value() && !value->empty();
    };
    const bool waylandSession =
        nonEmpty(environment.waylandDisplay) || environment.sessionType == "wayland";
    // Set empty, either variable is as good as unset to Qt: it is to the choice too.
    const bool platformSet = nonEmpty(environment.platform);
    const bool waylandAskedFor =
        platformSet && environment.platform->find("wayland") != std::string::npos;
    DisplayChoice choice;
    if (!platformSet && waylandSession && nonEmpty(environment.x11Display)) {
        choice.platform = "xcb;wayland";
    }
    choice.disableDecoration =
        (waylandSession || waylandAskedFor) && !nonEmpty(environment.decoration);
    return choice;
}

}  // namespace tessuro
