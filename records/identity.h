// Item identity and the comparisons that decide whether an item still carries a recorded icon.
#pragma once

#include <optional>
#include <string>

#include "platform/file_system.h"
#include "records/records.h"

namespace lumaro {

// The identity of the object at `path`, never following a link. Throws SkinError
// "项目不存在或无法读取：" + name when lstat fails, and "跳过符号链接或特殊文件：" + name for
// anything but a regular file or a folder.
FileIdentity identifyItem(platform::FileSystem& fs, const std::string& path);

// Bit 0x04 of byte 8 of a 32-byte Finder information value.
bool hasCustomIconFlag(const std::optional<Bytes>& finder);

// The fork with its volatile bookkeeping (next-map handle, file reference number, every
// reference's handle) zeroed; unchanged when its map does not parse.
std::optional<Bytes> normalizedResourceFork(const std::optional<Bytes>& fork);

bool forksMatch(const std::optional<Bytes>& a, const std::optional<Bytes>& b);

bool iconFileMatchesEither(const std::optional<IconFile>& current, const std::optional<IconFile>& a,
                           const std::optional<IconFile>& b);

// Whether `current` shows, part by part, the icon of `a` or of `b`.
bool stateMatchesEither(const IconState& current, const IconState& a, const IconState& b);

// Whether `a` visibly carries the icon of `b`: the same custom-icon flag, the same fork byte for
// byte, the same "Icon\r" file.
bool iconStateMatches(const IconState& a, const IconState& b);

}  // namespace lumaro
