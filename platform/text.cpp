#include "platform/text.h"

#include <QString>
#include <cstdint>

namespace lumaro::platform {

std::string toValidUtf8(std::string_view bytes) {
    if (isValidUtf8(bytes)) {
        return std::string(bytes);
    }
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size())).toStdString();
}

bool isValidUtf8(std::string_view bytes) {
    std::size_t i = 0;
    const std::size_t n = bytes.size();
    while (i < n) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        std::size_t length = 0;
        std::uint32_t min = 0;
        std::uint32_t cp = 0;
        if (c < 0x80) {
            ++i;
            continue;
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
            return false;
        }
        if (n - i < length) {
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            const auto d = static_cast<unsigned char>(bytes[i + k]);
            if ((d & 0xC0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (d & 0x3Fu);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}

}  // namespace lumaro::platform
