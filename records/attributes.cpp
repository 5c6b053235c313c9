#include "records/attributes.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <set>

#include "platform/file_ops.h"
#include "platform/paths.h"
#include "platform/system_error.h"
#include "platform/text.h"
#include "records/errors.h"
#include "records/identity.h"

namespace lumaro {

using platform::lastPathComponent;

std::optional<Bytes> readIconAttribute(platform::FileSystem& fs, const std::string& path,
                                       const std::string& name) {
    std::size_t size = 0;
    int err = fs.getAttribute(path, name, nullptr, 0, size);
    if (err == ENODATA) {
        return std::nullopt;
    }
    if (err != 0 || size > kMaxAttributeRead) {
        throw SkinError("无法备份图标属性或属性过大：" + lastPathComponent(path));
    }
    Bytes value(size);
    std::size_t length = 0;
    // A zero-sized buffer still needs a valid address, or the call would be a size query.
    std::uint8_t placeholder = 0;
    err = fs.getAttribute(path, name, size > 0 ? value.data() : &placeholder, size, length);
    if (err != 0 || length != size) {
        throw SkinError("读取图标时项目发生变化：" + lastPathComponent(path));
    }
    return value;
}

void writeIconAttribute(platform::FileSystem& fs, const std::string& path, const std::string& name,
                        const std::optional<Bytes>& value) {
    identifyItem(fs, path);
    if (!value) {
        const int err = fs.removeAttribute(path, name);
        if (err != 0 && err != ENODATA) {
            throw SkinError("无法清除图标属性：" + lastPathComponent(path));
        }
        return;
    }
    if (name == kResourceForkAttribute && readIconAttribute(fs, path, name)) {
        if (fs.removeAttribute(path, name) != 0) {
            throw SkinError("无法替换旧图标资源");
        }
    }
    const int err = fs.setAttribute(path, name, value->data(), value->size());
    if (err != 0) {
        throw SkinError("无法写入图标属性：" + lastPathComponent(path) + "（" + platform::errorText(err) +
                        "）");
    }
}

AttributeMap readAllAttributes(platform::FileSystem& fs, const std::string& path) {
    std::size_t size = 0;
    int err = fs.listAttributes(path, nullptr, 0, size);
    if (err != 0 || size > kMaxAttributeRead) {
        throw SkinError("无法读取图标文件属性");
    }
    std::string list(size > 0 ? size : 1, '\0');
    std::size_t length = 0;
    err = fs.listAttributes(path, list.data(), size, length);
    if (err != 0 || length != size) {
        throw SkinError("图标文件属性发生变化");
    }
    list.resize(size);
    AttributeMap attributes;
    std::size_t start = 0;
    while (start < list.size()) {
        std::size_t end = list.find('\0', start);
        if (end == std::string::npos) {
            end = list.size();
        }
        if (end > start) {
            const std::string name = platform::toValidUtf8(std::string_view(list).substr(start, end - start));
            if (auto value = readIconAttribute(fs, path, name)) {
                attributes.insert_or_assign(name, std::move(*value));
            }
        }
        start = end + 1;
    }
    return attributes;
}

namespace {

constexpr const char* kUnsafeIconFile = "文件夹包含无法安全处理的 Icon 文件";

bool safeIconFile(const platform::FileStatus& st) {
    return st.isRegular() && st.linkCount == 1 && st.size <= kMaxAttributeRead;
}

// The folder's "Icon\r" file, read through one descriptor so that nothing swapped in after the
// checks (a link, a FIFO, another file) is ever read.
std::optional<IconFile> captureIconFile(platform::FileSystem& fs, const std::string& folder) {
    const std::string path = platform::appendPathComponent(folder, kIconFileName);
    platform::FileStatus st;
    int err = fs.lstat(path, st);
    if (err == ENOENT) {
        return std::nullopt;
    }
    if (err != 0) {
        throw SkinError("无法读取文件夹的图标文件");
    }
    if (!safeIconFile(st)) {
        throw SkinError(kUnsafeIconFile);
    }
    platform::Descriptor fd;
    err = platform::openDescriptor(fs, path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK, 0, fd);
    if (err == ELOOP || err == ENXIO) {
        throw SkinError(kUnsafeIconFile);
    }
    platform::throwIfFailed(err, path);
    err = fs.fstat(fd.get(), st);
    platform::throwIfFailed(err, path);
    if (!safeIconFile(st)) {
        throw SkinError(kUnsafeIconFile);
    }
    IconFile file;
    err = platform::readToEnd(fs, fd.get(), kMaxAttributeRead, st.size, file.contents);
    if (err == EFBIG) {
        throw SkinError(kUnsafeIconFile);
    }
    platform::throwIfFailed(err, path);
    file.attributes = readAllAttributes(fs, path);
    // The attributes were read by path: they belong to the contents only if the same file is
    // still there.
    platform::FileStatus now;
    if (fs.lstat(path, now) != 0 || now.device != st.device || now.inode != st.inode) {
        throw SkinError("读取图标时项目发生变化：" + platform::lastPathComponent(folder));
    }
    file.mode = static_cast<std::uint16_t>(st.mode & 0777);
    return file;
}

}  // namespace

IconState captureIconState(platform::FileSystem& fs, const std::string& path, const FileIdentity& recorded) {
    if (identifyItem(fs, path) != recorded) {
        throw SkinError("原位置的项目已被替换");
    }
    IconState state;
    state.finder = readIconAttribute(fs, path, kFinderInfoAttribute);
    if (state.finder && state.finder->size() != kFinderInfoSize) {
        throw SkinError("Finder 图标属性格式不受支持");
    }
    state.fork = readIconAttribute(fs, path, kResourceForkAttribute);
    if (recorded.isDirectory()) {
        state.iconFile = captureIconFile(fs, path);
    }
    return state;
}

namespace {

// Whether the open file already holds exactly `contents`. Rewriting identical contents would
// only open a window in which a crash leaves the file truncated.
bool holdsContents(platform::FileSystem& fs, int fd, std::uint64_t size, const Bytes& contents) {
    if (size != contents.size()) {
        return false;
    }
    Bytes current;
    return platform::readToEnd(fs, fd, contents.size(), size, current) == 0 && current == contents;
}

}  // namespace

void writeIconFile(platform::FileSystem& fs, const std::string& path, const IconFile& file, bool durable) {
    constexpr int kFlags = O_CREAT | O_NOFOLLOW | O_NONBLOCK;
    platform::Descriptor fd;
    // Never blocks on a FIFO, never follows a link, never truncates before the checks below.
    // Read access only serves the comparison; a file its owner may not read is written blind.
    bool readable = platform::openDescriptor(fs, path, O_RDWR | kFlags, file.mode, fd) == 0;
    if (!readable && platform::openDescriptor(fs, path, O_WRONLY | kFlags, file.mode, fd) != 0) {
        throw SkinError("无法恢复文件夹图标文件");
    }
    platform::FileStatus st;
    if (fs.fstat(fd.get(), st) != 0 || !st.isRegular() || st.linkCount != 1) {
        throw SkinError("图标文件已被替换");
    }
    if (!readable || !holdsContents(fs, fd.get(), st.size, file.contents)) {
        if (fs.ftruncate(fd.get(), 0) != 0 || fs.seek(fd.get(), 0) != 0) {
            throw SkinError("无法还原图标文件");
        }
        if (!file.contents.empty() &&
            platform::writeFully(fs, fd.get(), file.contents.data(), file.contents.size(), false) != 0) {
            throw SkinError("写入图标备份失败");
        }
    }
    // The attributes are written by path: only while the path still names the open file.
    platform::FileStatus now;
    if (fs.lstat(path, now) != 0 || now.device != st.device || now.inode != st.inode) {
        throw SkinError("图标文件已被替换");
    }
    const AttributeMap current = readAllAttributes(fs, path);
    std::set<std::string> names;
    for (const auto& [name, value] : current) {
        names.insert(name);
    }
    for (const auto& [name, value] : file.attributes) {
        names.insert(name);
    }
    for (const std::string& name : names) {
        const auto it = file.attributes.find(name);
        writeIconAttribute(fs, path, name,
                           it == file.attributes.end() ? std::nullopt : std::optional<Bytes>(it->second));
    }
    if (fs.fchmod(fd.get(), file.mode & 0777u) != 0 || (durable && fs.fsync(fd.get()) != 0)) {
        throw SkinError("无法同步还原的图标文件");
    }
}

}  // namespace lumaro
