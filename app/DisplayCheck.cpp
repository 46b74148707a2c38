#include "app/DisplayCheck.h"

#include <xcb/xcb.h>

#include <cstdlib>

namespace {

xcb_connection_t* g_checkConnection = nullptr;

}  // namespace

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
    if (xcb_connection_has_error(connection) != 0) {
        xcb_disconnect(connection);
        return std::string("cannot connect to the X display \"") + display + "\"";
    }
    ReleaseDisplayCheck();
    g_checkConnection = connection;
    return {};
}

void ReleaseDisplayCheck() {
    if (g_checkConnection)
        xcb_disconnect(g_checkConnection);
    g_checkConnection = nullptr;
}
