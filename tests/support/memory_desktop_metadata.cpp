#include "tests/support/memory_desktop_metadata.h"

#include <cerrno>

namespace lumaro::test {

int MemoryDesktopMetadata::read(const std::string& path, platform::IconMetadata& out) {
    if (unavailable || failReads != 0) {
        return unavailable ? ENOTSUP : failReads;
    }
    const auto found = keys.find(path);
    out = found == keys.end() ? platform::IconMetadata{} : found->second;
    return 0;
}

int MemoryDesktopMetadata::write(const std::string& path, const platform::IconMetadata& value) {
    if (unavailable || failWrites != 0) {
        return unavailable ? ENOTSUP : failWrites;
    }
    if (value == platform::IconMetadata{}) {
        keys.erase(path);
    } else {
        keys[path] = value;
    }
    return 0;
}

int MemoryDesktopMetadata::clearIfOurs(const std::string& path, const std::string& expectedUri) {
    if (unavailable || failWrites != 0) {
        return unavailable ? ENOTSUP : failWrites;
    }
    const auto found = keys.find(path);
    if (found != keys.end() && found->second.customIcon == expectedUri) {
        found->second.customIcon.reset();
        if (found->second == platform::IconMetadata{}) {
            keys.erase(found);
        }
    }
    return 0;
}

int MemoryDesktopMetadata::flush() {
    if (failFlush != 0) {
        return failFlush;
    }
    ++flushes;
    return 0;
}

}  // namespace lumaro::test
