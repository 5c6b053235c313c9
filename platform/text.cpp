#include "platform/text.h"

#include <cstdint>
#include <cstdio>

namespace lumaro::platform {

namespace {

// The length of the valid UTF-8 sequence starting at `i`, or 0 when none starts there.
std::size_t sequenceLength(std::string_view bytes, std::size_t i) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    std::size_t length = 0;
    std::uint32_t min = 0;
    std::uint32_t cp = 0;
    if (c < 0x80) {
        return 1;
    } else if ((c & 0xE0) == 0xC0) {
        length = 2;
        min = 0x80;
        cp = c & 0x1Fu;
    } else if ((c & 0xF0) == 0xE0) {
        length = 3;
        min = 0x800;
        cp = c & 0x0Fu;
    } else if ((c & 0xF8) == 0xF0) {
        length = 4;
        min = 0x10000;
        cp = c & 0x07u;
    } else {
        return 0;
    }
    if (bytes.size() - i < length) {
        return 0;
    }
    for (std::size_t k = 1; k < length; ++k) {
        const auto d = static_cast<unsigned char>(bytes[i + k]);
        if ((d & 0xC0) != 0x80) {
            return 0;
        }
        cp = (cp << 6) | (d & 0x3Fu);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return 0;
    }
    return length;
}

}  // namespace

std::string toValidUtf8(std::string_view bytes) {
    std::string result;
    result.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        const std::size_t length = sequenceLength(bytes, i);
        if (length == 0) {
            result += "\xEF\xBF\xBD";  // U+FFFD for each byte that starts no valid sequence
            ++i;
        } else {
            result.append(bytes.substr(i, length));
            i += length;
        }
    }
    return result;
}

bool isValidUtf8(std::string_view bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        const std::size_t length = sequenceLength(bytes, i);
        if (length == 0) {
            return false;
        }
        i += length;
    }
    return true;
}

std::string visibleText(std::string_view text, ControlCharacters how) {
    std::string result;
    result.reserve(text.size());
    const auto show = [&](std::uint32_t code) {
        if (how == ControlCharacters::replace) {
            result += '?';
        } else if (code == '\r') {
            result += "\\r";
        } else if (code == '\n') {
            result += "\\n";
        } else if (code == '\t') {
            result += "\\t";
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned>(code));
            result += escaped;
        }
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0u;
        if (c < 0x20 || c == 0x7F) {
            show(c);
        } else if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {  // C1, encoded as two bytes
            show(next);
            ++i;
        } else {
            result += static_cast<char>(c);
        }
    }
    return result;
}

}  // namespace lumaro::platform
