// Reading and writing an item's icon: its two extended attributes and a folder's "Icon\r" file.
// Every call works on one path, never follows a link and bounds every size before allocating.
#pragma once

#include <optional>
#include <string>

#include "platform/file_system.h"
#include "records/records.h"

namespace lumaro {

inline constexpr const char* kFinderInfoAttribute = "com.apple.FinderInfo";
inline constexpr const char* kResourceForkAttribute = "com.apple.ResourceFork";
inline constexpr const char* kIconFileName = "Icon\r";
inline constexpr std::size_t kFinderInfoSize = 32;
// The largest attribute value, attribute-name list or "Icon\r" file read into memory.
inline constexpr std::uint64_t kMaxAttributeRead = 16777216;

// The value, or nothing when the item has no such attribute.
std::optional<Bytes> readIconAttribute(platform::FileSystem& fs, const std::string& path,
                                       const std::string& name);

// Sets the attribute, or removes it when `value` is absent. A resource fork is removed before
// the new one is written, so it never lands on top of a longer old one.
void writeIconAttribute(platform::FileSystem& fs, const std::string& path, const std::string& name,
                        const std::optional<Bytes>& value);

AttributeMap readAllAttributes(platform::FileSystem& fs, const std::string& path);

// The item's current icon state; refuses an item whose identity is not `recorded`.
IconState captureIconState(platform::FileSystem& fs, const std::string& path, const FileIdentity& recorded);

// Makes the file at `path` hold exactly `file` (contents, attributes, mode), durably unless
// `durable` is false (a throw-away copy needs no sync).
void writeIconFile(platform::FileSystem& fs, const std::string& path, const IconFile& file,
                   bool durable = true);

}  // namespace lumaro
