#pragma once

#include <string>
#include <string_view>

namespace lumaro::platform {

// The text as valid UTF-8, each invalid sequence replaced with U+FFFD.
std::string toValidUtf8(std::string_view bytes);

// Whether the bytes are valid UTF-8.
bool isValidUtf8(std::string_view bytes);

}  // namespace lumaro::platform
