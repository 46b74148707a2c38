#include "app/DisplayCheck.h"

#include <xcb/xcb.h>

#include <cstdlib>

std::string DisplayProblem() {
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    const std::string chosen = platform ? platform : "";
    // A platform chosen explicitly (offscreen, vnc, wayland, ...) is Qt's to check.
    if (!chosen.empty() && chosen.rfind("xcb", 0) != 0) return {};

    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) {
        const char* wayland = std::getenv("WAYLAND_DISPLAY");
        if (wayland && *wayland && chosen.empty()) return {};
        return "no display to open a window on (DISPLAY is not set)";
    }
    // Qt aborts when it cannot reach the X server; find out first and say so plainly.
    xcb_connection_t* connection = xcb_connect(display, nullptr);
    const int error = xcb_connection_has_error(connection);
    xcb_disconnect(connection);
    if (error != 0) return std::string("cannot connect to the X display \"") + display + "\"";
    return {};
}
