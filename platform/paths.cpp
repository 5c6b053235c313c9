#include "platform/paths.h"

#include <unistd.h>

#include <QString>
#include <QUrl>
#include <array>
#include <vector>

namespace lumaro::platform {

std::string standardizePath(std::string_view path) {
    const bool absolute = !path.empty() && path.front() == '/';
    std::vector<std::string_view> parts;
    std::size_t i = 0;
    while (i < path.size()) {
        while (i < path.size() && path[i] == '/') {
            ++i;
        }
        std::size_t j = i;
        while (j < path.size() && path[j] != '/') {
            ++j;
        }
        const std::string_view part = path.substr(i, j - i);
        i = j;
        if (part.empty() || part == ".") {
            continue;
        }
        if (part == "..") {
            if (!parts.empty() && parts.back() != "..") {
                parts.pop_back();
            } else if (!absolute) {
                parts.push_back(part);
            }
            continue;
        }
        parts.push_back(part);
    }
    std::string result = absolute ? "/" : "";
    for (std::size_t k = 0; k < parts.size(); ++k) {
        if (k > 0) {
            result.push_back('/');
        }
        result.append(parts[k]);
    }
    if (result.empty()) {
        result = ".";
    }
    return result;
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
