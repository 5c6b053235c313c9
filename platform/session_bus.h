// Whether the desktop session already runs a D-Bus session bus this program may use.
#pragma once

namespace lumaro::platform {

// GLib resolves the session bus from DBUS_SESSION_BUS_ADDRESS, then $XDG_RUNTIME_DIR/bus, and
// as a last resort "autolaunch:", which with $DISPLAY set spawns dbus-launch and so a bus of our
// own. Setting GIO_USE_VFS would only pick the layer, not stop that. So GIO's session bus is
// touched only when one of the first two names a bus the session already runs.
bool sessionBusExists();

}  // namespace lumaro::platform
