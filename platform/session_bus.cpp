#include "platform/session_bus.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <string_view>

namespace lumaro::platform {

bool sessionBusExists() {
    if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
        address != nullptr && *address != '\0') {
        return std::string_view(address).find("autolaunch:") == std::string_view::npos;
    }
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || *runtime != '/') {
        return false;
    }
    struct stat st {};
    const std::string bus = std::string(runtime) + "/bus";
    return ::stat(bus.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_uid == ::geteuid();
}

}  // namespace lumaro::platform
