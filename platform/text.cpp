#include "platform/text.h"

#include <glib.h>

#include <QByteArray>
#include <cstdint>
#include <cstdio>

namespace lumaro::platform {

namespace {

// The length of the longest valid start of `bytes`. GLib counts a NUL byte as invalid; here it is
// valid, as in the rest of UTF-8, so the check goes on after each one.
std::size_t validPrefix(std::string_view bytes) {
    std::size_t at = 0;
    while (at < bytes.size()) {
        const gchar* end = nullptr;
        const gchar* start = bytes.data() + at;
        if (g_utf8_validate_len(start, bytes.size() - at, &end)) {
            return bytes.size();
        }
        at += static_cast<std::size_t>(end - start);
        if (bytes[at] != '\0') {
            return at;
        }
        ++at;
    }
    return at;
}

}  // namespace

std::string toValidUtf8(std::string_view bytes) {
    std::string result;
    result.reserve(bytes.size());
    while (!bytes.empty()) {
        const std::size_t valid = validPrefix(bytes);
        result.append(bytes.substr(0, valid));
        if (valid < bytes.size()) {
            result += "\xEF\xBF\xBD";  // U+FFFD for each byte that starts no valid sequence
            bytes.remove_prefix(valid + 1);
        } else {
            bytes = {};
        }
    }
    return result;
}

bool isValidUtf8(std::string_view bytes) {
    return validPrefix(bytes) == bytes.size();
}

std::string encodeBase64(const std::vector<std::uint8_t>& bytes) {
    return QByteArray::fromRawData(reinterpret_cast<const char*>(bytes.data()),
                                   static_cast<qsizetype>(bytes.size()))
        .toBase64()
        .toStdString();
}

bool decodeBase64(std::string_view text, std::vector<std::uint8_t>& out) {
    out.clear();
    // Qt takes missing padding; whole groups of four keep it required.
    if (text.size() % 4 != 0) {
        return false;
    }
    const auto decoded = QByteArray::fromBase64Encoding(
        QByteArray::fromRawData(text.data(), static_cast<qsizetype>(text.size())),
        QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded) {
        return false;
    }
    out.assign(decoded.decoded.begin(), decoded.decoded.end());
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
