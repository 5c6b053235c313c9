#include "engine/manifest_store.h"

#include <fcntl.h>

#include <cerrno>

#include "platform/file_ops.h"
#include "platform/paths.h"
#include "platform/system_error.h"
#include "records/errors.h"
#include "records/identity.h"

namespace lumaro {

namespace {
constexpr const char* kBackupUnavailable = "备份文件不可用";
}  // namespace

ManifestStore::ManifestStore(platform::FileSystem& fs, std::string directory)
    : fs_(fs), directory_(std::move(directory)) {}

std::optional<BackupManifest> ManifestStore::read(const std::string& path) const {
    platform::FileStatus st;
    const int statErr = fs_.lstat(path, st);
    if (statErr == ENOENT) {
        return std::nullopt;
    }
    if (statErr != 0) {
        throw SkinError("无法读取备份，请保留备份目录。");
    }
    if (identifyItem(fs_, path).type != kTypeRegular) {
        throw SkinError(kBackupUnavailable);
    }
    Bytes document;
    const int err = platform::readRegularFile(fs_, path, kMaxManifestSize, document);
    if (err == EINVAL || err == ELOOP) {
        // Swapped for something else since the check above.
        throw SkinError(kBackupUnavailable);
    }
    platform::throwIfFailed(err, path);
    BackupManifest manifest =
        decodeManifest(std::string_view(reinterpret_cast<const char*>(document.data()), document.size()));
    checkManifest(manifest);
    return manifest;
}

void ManifestStore::save(const BackupManifest& manifest, const std::string& path,
                         const std::set<std::string>* changed) {
    try {
        write(encoders_[path].encode(manifest, changed), path);
    } catch (...) {
        // The caller may take back in memory what this save was to write: the next save to this
        // file encodes every entry afresh.
        encoders_.erase(path);
        throw;
    }
}

void ManifestStore::write(const std::string& text, const std::string& path) {
    platform::throwIfFailed(platform::writeFileAtomically(fs_, path, text.data(), text.size(), 0600), path);
    platform::Descriptor fd;
    if (platform::openDescriptor(fs_, path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK, 0, fd) != 0) {
        throw SkinError("无法保存备份");
    }
    if (fs_.fsync(fd.get()) != 0) {
        throw SkinError("无法同步备份，请保留备份目录。");
    }
    // The new name must be durable in the folder that holds it before anything relies on it: a
    // failed sync of that folder is a failed save.
    const std::string folder = platform::deletingLastPathComponent(path);
    if (platform::syncDirectory(fs_, folder) != 0) {
        throw SkinError("无法同步备份，请保留备份目录。");
    }
    if (folder != directory_) {
        syncDirectory();
    }
}

void ManifestStore::remove(const std::string& path) {
    platform::throwIfFailed(fs_.unlink(path), path);
    encoders_.erase(path);
    const std::string folder = platform::deletingLastPathComponent(path);
    if (folder != directory_) {
        platform::syncDirectory(fs_, folder);
    }
    syncDirectory();
}

void ManifestStore::syncDirectory() const {
    platform::syncDirectory(fs_, directory_);
}

}  // namespace lumaro
