// Reading and writing an item's extended attributes through its open descriptor. Every call
// bounds every size before allocating; none goes by path.
#pragma once

#include <optional>
#include <string>

#include "platform/bounds.h"
#include "platform/file_system.h"
#include "platform/icon_writer.h"
#include "records/records.h"

namespace lumaro {

using platform::kFinderInfoAttribute;
using platform::kFinderInfoSize;
using platform::kIconFileName;
using platform::kResourceForkAttribute;

// The value, or nothing when the object has no such attribute. `itemName` names the item in
// messages.
std::optional<Bytes> readIconAttribute(platform::FileSystem& fs, int fd, const std::string& name,
                                       const std::string& itemName);

// Sets the attribute, or removes it when `value` is absent. A resource fork is removed before
// the new one is written, so it never lands on top of a longer old one.
void writeIconAttribute(platform::FileSystem& fs, int fd, const std::string& name,
                        const std::optional<Bytes>& value, const std::string& itemName);

AttributeMap readAllAttributes(platform::FileSystem& fs, int fd);

}  // namespace lumaro
