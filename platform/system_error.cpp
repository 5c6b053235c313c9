#include "platform/system_error.h"

#include <cstring>

namespace lumaro::platform {

std::string errorText(int code) {
    char buffer[256];
    // GNU strerror_r: returns a pointer to the text, which may or may not be `buffer`.
    const char* text = ::strerror_r(code, buffer, sizeof buffer);
    return text ? std::string(text) : "Unknown error " + std::to_string(code);
}

namespace {
std::string describe(int code, const std::string& path) {
    std::string text = errorText(code);
    if (!path.empty()) {
        text += "（" + path + "）";
    }
    return text;
}
}  // namespace

SystemError::SystemError(int code, const std::string& path)
    : std::runtime_error(describe(code, path)), code_(code), path_(path) {}

void throwIfFailed(int code, const std::string& path) {
    if (code != 0) {
        throw SystemError(code, path);
    }
}

}  // namespace lumaro::platform
