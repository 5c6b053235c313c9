// Application bundles: where an executable's bundle is and what it calls itself.
#pragma once

#include <optional>
#include <string>

#include "platform/file_system.h"

namespace lumaro::platform {

// The bundle of an executable path: the outermost component ending in ".app" (any case),
// or nothing.
std::optional<std::string> applicationBundleOf(const std::string& executablePath);

// "CFBundleIdentifier" from `bundle`/Contents/Info.plist (binary or XML); nothing when the file
// is missing, unreadable, malformed or has no such string.
std::optional<std::string> bundleIdentifier(FileSystem& fs, const std::string& bundle);

}  // namespace lumaro::platform
