// A folder's "Icon\r" file: its contents, attributes and mode, reached only through the folder's
// open descriptor.
#include <fcntl.h>

#include <cerrno>
#include <set>

#include "platform/file_ops.h"
#include "platform/paths.h"
#include "platform/system_error.h"
#include "records/attributes.h"
#include "records/errors.h"
#include "records/identity.h"
#include "records/json.h"
#include "records/json_members.h"
#include "records/mac_form.h"

namespace lumaro {

namespace {

using json_members::json;

constexpr const char* kUnsafeIconFile = "文件夹包含无法安全处理的 Icon 文件";

std::string iconFilePath(const platform::ItemHandle& folder) {
    return platform::appendPathComponent(folder.path(), kIconFileName);
}

// The folder's "Icon\r", read through one descriptor so that nothing swapped in after the checks
// (a link, a FIFO, another file) is ever read.
std::optional<IconFile> captureIconFile(const platform::ItemHandle& folder) {
    platform::FileSystem& fs = folder.fs();
    const std::string path = iconFilePath(folder);
    platform::Descriptor fd;
    platform::FileStatus st;
    if (!openSafeChild(folder, kIconFileName, platform::kMaxValueSize, kUnsafeIconFile,
                       "无法读取文件夹的图标文件", fd, st)) {
        return std::nullopt;
    }
    IconFile file;
    const int err = platform::readToEnd(fs, fd.get(), platform::kMaxValueSize, st.size, file.contents);
    if (err == EFBIG) {
        throw SkinError(kUnsafeIconFile);
    }
    platform::throwIfFailed(err, path);
    file.attributes = readAllAttributes(fs, fd.get());
    file.mode = static_cast<std::uint16_t>(st.mode & 0777);
    return file;
}

// Whether the open file already holds exactly `contents`. Rewriting identical contents would
// only open a window in which a crash leaves the file truncated.
bool holdsContents(platform::FileSystem& fs, int fd, std::uint64_t size, const Bytes& contents) {
    if (size != contents.size()) {
        return false;
    }
    Bytes current;
    return platform::readToEnd(fs, fd, contents.size(), size, current) == 0 && current == contents;
}

// Makes the folder's "Icon\r" hold exactly `file` (contents, attributes, mode). Nothing is synced:
// flushing is the caller's step.
void writeIconFile(const platform::ItemHandle& folder, const IconFile& file) {
    platform::FileSystem& fs = folder.fs();
    constexpr int kFlags = O_CREAT;
    platform::Descriptor fd;
    // Never blocks on a FIFO, never follows a link, never truncates before the checks below.
    // Read access only serves the comparison; a file its owner may not read is written blind.
    bool readable = folder.openChild(kIconFileName, O_RDWR | kFlags, file.mode, fd) == 0;
    if (!readable && folder.openChild(kIconFileName, O_WRONLY | kFlags, file.mode, fd) != 0) {
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
    const AttributeMap current = readAllAttributes(fs, fd.get());
    std::set<std::string> names;
    for (const auto& [name, value] : current) {
        names.insert(name);
    }
    for (const auto& [name, value] : file.attributes) {
        names.insert(name);
    }
    for (const std::string& name : names) {
        const auto it = file.attributes.find(name);
        writeIconAttribute(fs, fd.get(), name,
                           it == file.attributes.end() ? std::nullopt : std::optional<Bytes>(it->second),
                           kIconFileName);
    }
    if (fs.fchmod(fd.get(), file.mode & 0777u) != 0) {
        throw SkinError("无法同步还原的图标文件");
    }
}

const Bytes* attributeValue(const std::optional<IconFile>& file, const std::string& name) {
    if (!file) {
        return nullptr;
    }
    const auto it = file->attributes.find(name);
    return it == file->attributes.end() ? nullptr : &it->second;
}

bool sameOptional(const Bytes* x, const Bytes* y) {
    if (!x || !y) {
        return !x && !y;
    }
    return *x == *y;
}

const std::optional<IconFile>& fileOf(const IconState& state) {
    return state.get<FolderIconFile>().file;
}

class FolderIconFileFacet final : public IconFacet {
  public:
    void capture(const platform::ItemHandle& item, const IconContext&, IconState& state) const override {
        state.edit<FolderIconFile>().file = item.isDirectory() ? captureIconFile(item) : std::nullopt;
    }

    bool matches(const IconState& current, const IconState& expected) const override {
        return fileOf(current) == fileOf(expected);
    }

    bool matchesEither(const IconState& current, const IconState& a, const IconState& b) const override {
        return iconFileMatchesEither(fileOf(current), fileOf(a), fileOf(b));
    }

    void writeExact(const platform::ItemHandle& item, const IconState& state) const override {
        if (const auto& file = fileOf(state)) {
            writeIconFile(item, *file);
        }
    }

    void restore(const platform::ItemHandle& item, const IconContext&, const BackupEntry& entry,
                 const IconState& current) const override {
        if (!item.isDirectory()) {
            return;
        }
        if (const auto& original = fileOf(entry.original)) {
            writeIconFile(item, *original);
        } else if (fileOf(current)) {
            // unlink only: whatever stands there now that is not a file (a folder someone put in
            // its place) is never deleted; the entry fails and keeps its backup.
            platform::throwIfFailed(item.unlinkChild(kIconFileName), iconFilePath(item));
        }
    }

    void skin(const platform::ItemHandle& item, const IconContext& context, const IconState&) const override {
        if (item.isDirectory() && context.writer->writeFolderIconFile(item) != 0) {
            throw SkinError("系统未允许更改图标，请检查文件夹权限");
        }
    }

    void flush(const platform::ItemHandle& item, const IconContext&,
               std::vector<FlushTarget>& out) const override {
        if (!item.isDirectory()) {
            return;
        }
        platform::Descriptor fd;
        const int err = item.openChild(kIconFileName, O_RDONLY, 0, fd);
        if (err == ENOENT) {
            return;
        }
        platform::throwIfFailed(err, iconFilePath(item));
        const int raw = fd.get();
        out.push_back({std::move(fd), raw, iconFilePath(item)});
    }

    void encode(const IconState& state, json& object) const override {
        const auto& iconFile = fileOf(state);
        if (!iconFile) {
            return;
        }
        json attributes = json::object();
        for (const auto& [name, value] : iconFile->attributes) {
            attributes[name] = encodeBase64(value);
        }
        json file = json::object();
        file["attributes"] = std::move(attributes);
        file["contents"] = encodeBase64(iconFile->contents);
        file["mode"] = iconFile->mode;
        object["iconFile"] = std::move(file);
    }

    void decode(const json& object, const std::string& parent, IconState& state) const override {
        using namespace json_members;
        const json* value = optionalMember(object, "iconFile");
        if (value == nullptr) {
            return;
        }
        const std::string path = parent + ".iconFile";
        requireObject(*value, path);
        IconFile file;
        const std::string attributesPath = path + ".attributes";
        const json& attributes = requireObject(require(*value, path, "attributes"), attributesPath);
        for (const auto& [name, encoded] : attributes.items()) {
            file.attributes.emplace(name, readBytes(encoded, attributesPath + "." + name));
        }
        file.contents = readBytes(require(*value, path, "contents"), path + ".contents");
        file.mode = readInteger<std::uint16_t>(require(*value, path, "mode"), path + ".mode");
        state.edit<FolderIconFile>().file = std::move(file);
    }

    bool withinBounds(const IconState& state) const override {
        const auto& file = fileOf(state);
        if (!file) {
            return true;
        }
        if (file->contents.size() > platform::kMaxValueSize) {
            return false;
        }
        for (const auto& [name, value] : file->attributes) {
            if (value.size() > platform::kMaxValueSize) {
                return false;
            }
        }
        return true;
    }

    std::uint64_t hash(const IconState& state, std::uint64_t h) const override {
        const auto& file = fileOf(state);
        if (!file) {
            return h * 41;
        }
        h = mixHash(h, file->contents) ^ file->mode;
        for (const auto& [name, value] : file->attributes) {
            h = mixHash(mixHash(h, Bytes(name.begin(), name.end())), value);
        }
        return h;
    }
};

}  // namespace

const IconFacet& folderIconFileFacet() {
    static const FolderIconFileFacet facet;
    return facet;
}

bool iconFileMatchesEither(const std::optional<IconFile>& current, const std::optional<IconFile>& a,
                           const std::optional<IconFile>& b) {
    if (!current) {
        return !a || !b;
    }
    if ((a && *current == *a) || (b && *current == *b)) {
        return true;
    }
    if (!a && !b) {
        return false;
    }
    static const Bytes kEmpty;
    const Bytes& contentsA = a ? a->contents : kEmpty;
    const Bytes& contentsB = b ? b->contents : kEmpty;
    if (current->contents != contentsA && current->contents != contentsB) {
        return false;
    }
    const std::uint16_t expectedMode = a ? a->mode : b->mode;
    if (current->mode != expectedMode && !(b && current->mode == b->mode)) {
        return false;
    }
    std::set<std::string> names;
    for (const auto* file : {&current, &a, &b}) {
        if (*file) {
            for (const auto& [name, value] : (*file)->attributes) {
                names.insert(name);
            }
        }
    }
    for (const std::string& name : names) {
        const Bytes* v = attributeValue(current, name);
        const Bytes* va = attributeValue(a, name);
        const Bytes* vb = attributeValue(b, name);
        if (name == kResourceForkAttribute) {
            if (!v) {
                continue;
            }
            const auto normalized = normalizedResourceFork(*v);
            const bool matchesA = va && normalizedResourceFork(*va) == normalized;
            const bool matchesB = vb && normalizedResourceFork(*vb) == normalized;
            if (!matchesA && !matchesB) {
                return false;
            }
        } else if (!sameOptional(v, va) && !sameOptional(v, vb)) {
            return false;
        }
    }
    return true;
}

}  // namespace lumaro
