// A folder's ".directory", the settings file KDE-family file managers draw a folder's icon from.
// Read through the folder's descriptor like "Icon\r"; written by an atomic rename inside the
// folder, so that a crash leaves the old file or the new one, never a mix.
#include <fcntl.h>

#include <cerrno>

#include "platform/file_ops.h"
#include "platform/key_file.h"
#include "records/desktop_form.h"
#include "records/errors.h"
#include "records/identity.h"
#include "records/json.h"
#include "records/json_members.h"

namespace lumaro {

namespace {

using json_members::json;

// Ours alone: a crash may leave it, and the next write replaces it.
constexpr const char* kTemporaryName = ".directory.lumaro-new";
constexpr const char* kUnsafeFile = "文件夹包含无法安全处理的 .directory 文件";

std::optional<DirectoryFile> readDirectoryFile(const platform::ItemHandle& folder) {
    return readChildKeyFile(folder, kDirectoryFileName, kUnsafeFile, "无法读取文件夹的 .directory 文件");
}

void writeDirectoryFile(const platform::ItemHandle& folder, const DirectoryFile& file) {
    writeChildAtomically(folder, kDirectoryFileName, kTemporaryName, file.contents, file.mode,
                         "无法写入文件夹的 .directory 文件");
}

std::optional<DirectoryFile> skinnedFile(const std::optional<DirectoryFile>& original, const IconContext& context) {
    const Bytes empty;
    const Bytes& contents = original ? original->contents : empty;
    const auto skinned = platform::skinnedDirectoryFile(
        std::string_view(reinterpret_cast<const char*>(contents.data()), contents.size()), context.iconFile);
    if (!skinned) {
        return std::nullopt;
    }
    return DirectoryFile{Bytes(skinned->begin(), skinned->end()), original ? original->mode : std::uint16_t{0644}};
}

class DirectoryFileFacet final : public KeyFileFacet {
  public:
    DirectoryFileFacet() : KeyFileFacet(&DesktopIcon::directoryFile, "directoryFile", 53) {}

    void capture(const platform::ItemHandle& item, const IconContext&, IconState& state) const override {
        if (item.isDirectory()) {
            fileOf(state) = readDirectoryFile(item);
        }
    }

    void restore(const platform::ItemHandle& item, const IconContext&, const BackupEntry& entry,
                 const IconState& current) const override {
        if (!item.isDirectory() || !entry.original.desktop || fileOf(current) == fileOf(entry.original)) {
            return;
        }
        if (const auto& original = fileOf(entry.original)) {
            writeDirectoryFile(item, *original);
        } else if (const int err = item.unlinkChild(kDirectoryFileName); err != 0 && err != ENOENT) {
            throw SkinError("无法还原文件夹的 .directory 文件");
        }
    }

    void skin(const platform::ItemHandle& item, const IconContext& context) const override {
        if (!item.isDirectory()) {
            return;
        }
        const auto skinned = skinnedFile(readDirectoryFile(item), context);
        if (!skinned) {
            throw SkinError("文件夹的 .directory 文件格式无效");
        }
        writeDirectoryFile(item, *skinned);
    }

    bool showsNewIcon(const IconState& after, const IconContext& context) const override {
        const auto& file = fileOf(after);
        if (!file) {
            return true;
        }
        const auto parsed = platform::KeyFile::parse(
            std::string_view(reinterpret_cast<const char*>(file->contents.data()), file->contents.size()));
        return parsed && parsed->value("Desktop Entry", "Icon") == context.iconFile;
    }

    // The rename was made durable by the folder's own flush; what remains is a temporary file
    // that a stopped write left in the folder.
    void flush(const platform::ItemHandle& item, const IconContext&) const override {
        if (item.isDirectory()) {
            if (const int err = item.unlinkChild(kTemporaryName); err != 0 && err != ENOENT) {
                throw SkinError("无法写入文件夹的 .directory 文件");
            }
        }
    }

    bool computesPrediction() const override { return true; }

    void predict(const IconState& original, bool isDirectory, const IconContext& context,
                 IconState& predicted) const override {
        if (!isDirectory || !original.desktop) {
            return;
        }
        auto skinned = skinnedFile(fileOf(original), context);
        if (!skinned) {
            throw SkinError("文件夹的 .directory 文件格式无效");
        }
        fileOf(predicted) = std::move(skinned);
    }
};

}  // namespace

std::optional<DirectoryFile> readChildKeyFile(const platform::ItemHandle& folder, const std::string& name,
                                              const char* unsafe, const char* unreadable) {
    platform::Descriptor fd;
    platform::FileStatus st;
    if (!openSafeChild(folder, name, platform::kMaxKeyFileSize, unsafe, unreadable, fd, st)) {
        return std::nullopt;
    }
    DirectoryFile file;
    const int err = platform::readToEnd(folder.fs(), fd.get(), platform::kMaxKeyFileSize, st.size, file.contents);
    if (err != 0) {
        throw SkinError(err == EFBIG ? unsafe : unreadable);
    }
    file.mode = static_cast<std::uint16_t>(st.mode & 0777);
    return file;
}

const std::optional<DirectoryFile>& KeyFileFacet::fileOf(const IconState& state) const {
    static const std::optional<DirectoryFile> kNone;
    return state.desktop ? (*state.desktop).*member_ : kNone;
}

std::optional<DirectoryFile>& KeyFileFacet::fileOf(IconState& state) const {
    return desktopOf(state).*member_;
}

bool KeyFileFacet::matches(const IconState& current, const IconState& expected) const {
    return !expected.desktop || fileOf(current) == fileOf(expected);
}

bool KeyFileFacet::matchesEither(const IconState& current, const IconState& a, const IconState& b) const {
    if (!a.desktop && !b.desktop) {
        return true;
    }
    return (a.desktop && fileOf(current) == fileOf(a)) || (b.desktop && fileOf(current) == fileOf(b));
}

void KeyFileFacet::encode(const IconState& state, json& object) const {
    if (!state.desktop) {
        return;
    }
    json& desktop = desktopObject(object);
    if (const auto& file = fileOf(state)) {
        desktop[jsonName_] = {{"contents", encodeBase64(file->contents)}, {"mode", file->mode}};
    }
}

void KeyFileFacet::decode(const json& object, const std::string& parent, IconState& state) const {
    using namespace json_members;
    std::string path;
    const json* value = desktopMember(object, parent, jsonName_, state, path);
    if (value == nullptr) {
        return;
    }
    DirectoryFile file;
    file.contents = readBytes(require(*value, path, "contents"), path + ".contents");
    file.mode = readInteger<std::uint16_t>(require(*value, path, "mode"), path + ".mode");
    fileOf(state) = std::move(file);
}

bool KeyFileFacet::withinBounds(const IconState& state) const {
    const auto& file = fileOf(state);
    return !file || (file->contents.size() <= platform::kMaxKeyFileSize && file->mode <= 0777);
}

std::uint64_t KeyFileFacet::hash(const IconState& state, std::uint64_t h) const {
    const auto& file = fileOf(state);
    return file ? mixHash(h, file->contents) ^ file->mode : h * absentFactor_;
}

// The contents are synced before the rename, so that a power loss never leaves an empty file in
// the name of one that had contents.
void writeChildAtomically(const platform::ItemHandle& folder, const std::string& name,
                          const std::string& temporaryName, const Bytes& contents, std::uint16_t mode,
                          const char* failure) {
    platform::FileSystem& fs = folder.fs();
    if (const int err = folder.unlinkChild(temporaryName); err != 0 && err != ENOENT) {
        throw SkinError(failure);
    }
    platform::Descriptor fd;
    bool ok = folder.openChild(temporaryName, O_WRONLY | O_CREAT | O_EXCL, 0600, fd) == 0;
    ok = ok && platform::writeFully(fs, fd.get(), contents.data(), contents.size(), false) == 0 &&
         fs.fchmod(fd.get(), mode & 0777u) == 0 && fs.fsync(fd.get()) == 0 && fd.close() == 0;
    if (!ok || folder.renameChild(temporaryName, name) != 0) {
        (void)folder.unlinkChild(temporaryName);
        throw SkinError(failure);
    }
}

const IconFacet& directoryFileFacet() {
    static const DirectoryFileFacet facet;
    return facet;
}

}  // namespace lumaro
