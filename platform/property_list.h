// Property lists (binary or XML), read and written with libplist. Only typed answers leave this
// file; no node does.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/file_ops.h"

namespace lumaro::platform {

// The string member `key` of a list whose root is a dictionary; nothing when the bytes are not
// such a list or the member is missing or not a string.
std::optional<std::string> rootStringMember(const Bytes& list, const char* key);

// The Dock's tiles: each tile's "tile-data" / "file-data" / "_CFURLString" from the
// preferences' "persistent-apps", then "recent-apps". An array with any element that is not a
// dictionary gives nothing; tiles without such a string are left out.
std::vector<std::string> dockTileUrls(const Bytes& preferences);

// An XML list holding one dictionary whose "URL" is `url`: a link file a browser opens.
std::string webLinkFile(const std::string& url);

}  // namespace lumaro::platform
