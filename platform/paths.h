// Path text operations. Paths are plain strings; nothing here touches the disk.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace lumaro::platform {

// Lexical standard form: "." and ".." components, repeated and trailing slashes removed.
// No link is resolved. ".." above the root of an absolute path stays at "/". A relative path
// stays relative ("" becomes ".").
std::string standardizePath(std::string_view path);

// The last component ("" for "/"), with trailing slashes ignored.
std::string lastPathComponent(std::string_view path);

// The path without its last component: "/a/b" -> "/a", "/a" -> "/", "a" -> ".".
std::string deletingLastPathComponent(std::string_view path);

// `directory` + "/" + `name`, without doubling a slash.
std::string appendPathComponent(std::string_view directory, std::string_view name);

// The extension of the last component, without the dot; "" when there is none. A leading dot
// does not start an extension (".hidden" has none).
std::string pathExtension(std::string_view path);

// The last component without its extension.
std::string deletingPathExtension(std::string_view name);

// `path` made absolute against the process's current directory, then standardized.
std::string absolutePath(std::string_view path);

// The local path of a "file:" URL (percent-decoded, standardized), or nothing for any other URL.
std::optional<std::string> localPathOfFileUrl(const std::string& url);

// ASCII lower case; other bytes unchanged.
std::string asciiLower(std::string_view text);

}  // namespace lumaro::platform
