// Names as the user's file browser treats them: hidden names, packages and display order.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace lumaro::platform {

// The names listed, one per line, in `folder`/.hidden, the file Linux file managers read for
// names to hide. Empty when the file is missing or unreadable.
std::set<std::string> hiddenNamesIn(FileSystem& fs, const std::string& folder);

// Whether a name is hidden in a folder: it begins with "." or is listed in `hiddenNames`.
bool isHiddenName(const std::string& name, const std::set<std::string>& hiddenNames);

// Whether a folder with this name is a package on this platform (by extension, any case).
bool isPackageExtension(const std::string& extension);

// Sorts names as the user's file browser does: the user's collation, digits by numeric value,
// case-insensitive; names that compare equal keep their order.
void sortNamesForDisplay(std::vector<std::string>& names);

}  // namespace lumaro::platform
