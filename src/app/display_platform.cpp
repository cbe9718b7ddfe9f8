#include "app/display_platform.h"

namespace tessuro {

DisplayChoice chooseDisplay(const DisplayEnvironment& environment) {
    auto nonEmpty = [](const std::optional<std::string>& value) {
        return value.has_value() && !value->empty();
    };
    const bool waylandSession =
        nonEmpty(environment.waylandDisplay) || environment.sessionType == "wayland";
    const bool waylandAskedFor = environment.platform.has_value() &&
                                 environment.platform->find("wayland") != std::string::npos;
    DisplayChoice choice;
    if (!environment.platform.has_value() && waylandSession && nonEmpty(environment.x11Display)) {
        choice.platform = "xcb;wayland";
    }
    choice.disableDecoration =
        (waylandSession || waylandAskedFor) && !environment.decoration.has_value();
    return choice;
}

}  // namespace tessuro
