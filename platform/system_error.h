// The error of a failed platform call. It keeps the system's own text: callers pass it on
// unchanged where the program has no message of its own for the failure.
#pragma once

#include <stdexcept>
#include <string>

namespace lumaro::platform {

// strerror text for an errno value; thread-safe.
std::string errorText(int code);

class SystemError : public std::runtime_error {
  public:
    // The description is the system's text for `code`, followed by the path in brackets
    // when one is given.
    SystemError(int code, const std::string& path);
    int code() const noexcept { return code_; }
    const std::string& path() const noexcept { return path_; }

  private:
    int code_;
    std::string path_;
};

// Throws SystemError(code, path) when code is not 0.
void throwIfFailed(int code, const std::string& path);

}  // namespace lumaro::platform
