// Item identity: which object an item is, and opening it only when it is still that object.
#pragma once

#include <optional>
#include <string>

#include "platform/file_system.h"
#include "platform/item_handle.h"
#include "records/records.h"

namespace lumaro {

// The identity of the object at `path`, never following a link. Throws SkinError
// "项目不存在或无法读取：" + name when lstat fails, and "跳过符号链接或特殊文件：" + name for
// anything but a regular file or a folder.
FileIdentity identifyItem(platform::FileSystem& fs, const std::string& path);
// identifyItem of the status lstat gave for `path`.
FileIdentity identifyItem(const platform::FileStatus& status, const std::string& path);

// The identity fstat or lstat gave.
FileIdentity identityOf(const platform::FileStatus& status);

// Opens the item at `path` (see platform::ItemHandle) and checks that the opened object is
// `recorded`: every later read and write of its icon state goes through the handle. Throws
// SkinError "原位置的项目已被替换" for another object, identifyItem's messages otherwise.
platform::ItemHandle openCheckedItem(platform::FileSystem& fs, const std::string& path,
                                     const FileIdentity& recorded);

// Opens the regular file `name` inside the open folder for reading, never following a link,
// never opening a device or FIFO: a look before the open, and a check of what was opened. False
// when there is none; SkinError `unsafe` for anything but a regular file with one link of at
// most `limit` bytes, `unreadable` when it cannot be read.
bool openSafeChild(const platform::ItemHandle& folder, const std::string& name, std::uint64_t limit,
                   const char* unsafe, const char* unreadable, platform::Descriptor& fd,
                   platform::FileStatus& st);

}  // namespace lumaro
