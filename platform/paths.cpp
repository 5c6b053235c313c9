#include "platform/paths.h"

#include <unistd.h>

#include <QString>
#include <QUrl>
#include <array>
#include <filesystem>
#include <vector>

namespace lumaro::platform {

std::string standardizePath(std::string_view path) {
    std::string result = std::filesystem::path(path).lexically_normal().native();
    // The normal form keeps a trailing slash (an empty last element); the standard form does not.
    while (result.size() > 1 && result.back() == '/') {
        result.pop_back();
    }
    return result.empty() ? "." : result;
}

namespace {
std::string_view trimTrailingSlashes(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') {
        path.remove_suffix(1);
    }
    return path;
}
}  // namespace

std::string lastPathComponent(std::string_view path) {
    path = trimTrailingSlashes(path);
    if (path == "/") {
        return "";
    }
    const std::size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string deletingLastPathComponent(std::string_view path) {
    path = trimTrailingSlashes(path);
    const std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) {
        return ".";
    }
    if (slash == 0) {
        return "/";
    }
    return std::string(trimTrailingSlashes(path.substr(0, slash)));
}

std::string appendPathComponent(std::string_view directory, std::string_view name) {
    std::string result(directory);
    if (result.empty() || result.back() != '/') {
        result.push_back('/');
    }
    result.append(name);
    return result;
}

std::string pathExtension(std::string_view path) {
    const std::string name = lastPathComponent(path);
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) {
        return "";
    }
    return name.substr(dot + 1);
}

std::string deletingPathExtension(std::string_view name) {
    const std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || name.find('/', dot) != std::string_view::npos) {
        return std::string(name);
    }
    return std::string(name.substr(0, dot));
}

std::string absolutePath(std::string_view path) {
    if (!path.empty() && path.front() == '/') {
        return standardizePath(path);
    }
    std::array<char, 4096> buffer{};
    const std::string base = ::getcwd(buffer.data(), buffer.size()) != nullptr ? buffer.data() : "/";
    return standardizePath(appendPathComponent(base, path));
}

std::string asciiLower(std::string_view text) {
    std::string result(text);
    for (char& c : result) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return result;
}

std::optional<std::string> localPathOfFileUrl(const std::string& url) {
    const QUrl parsed(QString::fromStdString(url), QUrl::StrictMode);
    if (!parsed.isValid() || !parsed.isLocalFile()) {
        return std::nullopt;
    }
    const std::string path = parsed.toLocalFile().toStdString();
    if (path.empty() || path.front() != '/') {
        return std::nullopt;
    }
    return standardizePath(path);
}

}  // namespace lumaro::platform
