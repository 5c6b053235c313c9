#include "records/identity.h"

#include <cerrno>

#include "platform/paths.h"
#include "records/errors.h"

namespace lumaro {

FileIdentity identifyItem(platform::FileSystem& fs, const std::string& path) {
    platform::FileStatus st;
    if (fs.lstat(path, st) != 0) {
        throw SkinError("项目不存在或无法读取：" + platform::lastPathComponent(path));
    }
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

}  // namespace lumaro
