#include "platform/item_handle.h"

#include <fcntl.h>

#include <cerrno>

namespace lumaro::platform {

int ItemHandle::open(FileSystem& fs, const std::string& path, ItemHandle& out) {
    constexpr int kFlags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
    FileStatus st;
    int err = fs.lstat(path, st);
    if (err != 0) {
        return err;
    }
    if (!st.isRegular() && !st.isDirectory()) {
        return st.type() == 0120000 ? ELOOP : EINVAL;
    }
    Descriptor fd;
    err = openDescriptor(fs, path, O_RDONLY | kFlags | (st.isDirectory() ? O_DIRECTORY : 0), 0, fd);
    if (err == EACCES && st.isRegular()) {
        err = openDescriptor(fs, path, O_WRONLY | kFlags, 0, fd);
    }
    if (err != 0) {
        return err;
    }
    // What was opened is what counts: the object may have changed since the lstat above.
    err = fs.fstat(fd.get(), st);
    if (err != 0) {
        return err;
    }
    if (!st.isRegular() && !st.isDirectory()) {
        return EINVAL;
    }
    out.fs_ = &fs;
    out.path_ = path;
    out.fd_ = std::move(fd);
    out.status_ = st;
    return 0;
}

int ItemHandle::openChild(const std::string& name, int flags, unsigned mode, Descriptor& out) const {
    int fd = -1;
    const int err = fs_->openAt(fd_.get(), name, flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, mode, fd);
    if (err == 0) {
        out = Descriptor(*fs_, fd);
    }
    return err;
}

int ItemHandle::unlinkChild(const std::string& name) const {
    return fs_->unlinkAt(fd_.get(), name);
}

int ItemHandle::renameChild(const std::string& from, const std::string& to, Rename how) const {
    return fs_->renameAt(fd_.get(), from, to, how);
}

bool ItemHandle::stillAtPath() const {
    FileStatus now;
    return fs_->lstat(path_, now) == 0 && now.device == status_.device && now.inode == status_.inode;
}

int ItemHandle::sync() const {
    return fs_->fsync(fd_.get());
}

}  // namespace lumaro::platform
