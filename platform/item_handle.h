// One item held open. Every read and write of an item's icon state goes through its descriptor,
// so an object that another process renames or exchanges into the item's place after the open is
// never read or written: the calls follow the object, not the name.
#pragma once

#include <string>

#include "platform/file_ops.h"
#include "platform/file_system.h"

namespace lumaro::platform {

class ItemHandle {
  public:
    ItemHandle() = default;
    ItemHandle(ItemHandle&&) noexcept = default;
    ItemHandle& operator=(ItemHandle&&) noexcept = default;

    // Opens the object at `path` without following a final link, without blocking and without
    // becoming its controlling terminal; a folder with O_DIRECTORY. 0, or the errno of the open;
    // EINVAL when the object is neither a regular file nor a folder (it is closed again at once).
    // A file its owner may not read is opened for writing instead, without truncating it.
    static int open(FileSystem& fs, const std::string& path, ItemHandle& out);

    FileSystem& fs() const { return *fs_; }
    int fd() const { return fd_.get(); }
    const std::string& path() const { return path_; }
    // What fstat said at the open.
    const FileStatus& status() const { return status_; }
    bool isDirectory() const { return status_.isDirectory(); }

    // Opens one name inside this folder through its descriptor, never following a final link.
    int openChild(const std::string& name, int flags, unsigned mode, Descriptor& out) const;
    int unlinkChild(const std::string& name) const;
    int renameChild(const std::string& from, const std::string& to, Rename how) const;
    // Whether `path` still names this object (same device and inode).
    bool stillAtPath() const;
    // Flushes the object: its contents, attributes and, for a folder, its names.
    int sync() const;

  private:
    FileSystem* fs_ = nullptr;
    std::string path_;
    Descriptor fd_;
    FileStatus status_;
};

}  // namespace lumaro::platform
