#include "records/identity.h"

#include <fcntl.h>

#include <cerrno>

#include "platform/paths.h"
#include "records/errors.h"

namespace lumaro {

FileIdentity identifyItem(platform::FileSystem& fs, const std::string& path) {
    platform::FileStatus st;
    if (fs.lstat(path, st) != 0) {
        throw SkinError("项目不存在或无法读取：" + platform::lastPathComponent(path));
    }
    return identifyItem(st, path);
}

FileIdentity identifyItem(const platform::FileStatus& st, const std::string& path) {
    if (!st.isRegular() && !st.isDirectory()) {
        throw SkinError("跳过符号链接或特殊文件：" + platform::lastPathComponent(path));
    }
    return identityOf(st);
}

FileIdentity identityOf(const platform::FileStatus& st) {
    FileIdentity identity;
    identity.device = st.device;
    identity.inode = st.inode;
    identity.birthSeconds = st.birthSeconds;
    identity.birthNanos = st.birthNanos;
    identity.type = static_cast<std::uint16_t>(st.type());
    return identity;
}

platform::ItemHandle openCheckedItem(platform::FileSystem& fs, const std::string& path,
                                     const FileIdentity& recorded) {
    platform::ItemHandle item;
    const int err = platform::ItemHandle::open(fs, path, item);
    if (err == ELOOP || err == EINVAL) {
        throw SkinError("跳过符号链接或特殊文件：" + platform::lastPathComponent(path));
    }
    if (err != 0) {
        throw SkinError("项目不存在或无法读取：" + platform::lastPathComponent(path));
    }
    if (identityOf(item.status()) != recorded) {
        throw SkinError("原位置的项目已被替换");
    }
    return item;
}

bool openSafeChild(const platform::ItemHandle& folder, const std::string& name, std::uint64_t limit,
                   const char* unsafe, const char* unreadable, platform::Descriptor& fd,
                   platform::FileStatus& st) {
    const auto safe = [&] { return st.isRegular() && st.linkCount == 1 && st.size <= limit; };
    int err = folder.fs().lstatAt(folder.fd(), name, st);
    if (err == ENOENT) {
        return false;
    }
    if (err != 0) {
        throw SkinError(unreadable);
    }
    if (!safe()) {
        throw SkinError(unsafe);
    }
    err = folder.openChild(name, O_RDONLY, 0, fd);
    if (err == ENOENT) {
        return false;
    }
    if (err == ELOOP || err == ENXIO || err == EISDIR) {
        throw SkinError(unsafe);
    }
    if (err != 0 || folder.fs().fstat(fd.get(), st) != 0) {
        throw SkinError(unreadable);
    }
    if (!safe()) {
        throw SkinError(unsafe);
    }
    return true;
}

}  // namespace lumaro
