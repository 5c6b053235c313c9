// Digests and random identifiers.
#pragma once

#include <string>
#include <string_view>

namespace lumaro::platform {

// The lower-case hexadecimal SHA-256 digest of the bytes.
std::string sha256Hex(std::string_view bytes);

// A new random UUID: 36 characters, upper-case, without braces.
std::string newUuidString();

}  // namespace lumaro::platform
