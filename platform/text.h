#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace lumaro::platform {

// The text as valid UTF-8, each invalid sequence replaced with U+FFFD.
std::string toValidUtf8(std::string_view bytes);

// Whether the bytes are valid UTF-8.
bool isValidUtf8(std::string_view bytes);

// Strict standard Base64: RFC 4648 alphabet, "=" padding, no whitespace or line breaks.
std::string encodeBase64(const std::vector<std::uint8_t>& bytes);
// Returns false for anything malformed.
bool decodeBase64(std::string_view text, std::vector<std::uint8_t>& out);

// How a control character (C0, DEL, C1) is to be shown.
enum class ControlCharacters {
    escape,   // as "\r", "\n", "\t" or "\xNN": nothing is lost, so a message can name "Icon\r"
    replace,  // as "?"
};

// The text with every control character made visible; everything else, invalid UTF-8 included,
// stays as it is. Safe to print on a terminal.
std::string visibleText(std::string_view text, ControlCharacters how = ControlCharacters::escape);

}  // namespace lumaro::platform
