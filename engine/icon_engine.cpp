#include "engine/icon_engine.h"

#include <fcntl.h>

#include <QBuffer>
#include <QImage>
#include <cerrno>

#include "platform/file_ops.h"
#include "platform/paths.h"
#include "platform/system_error.h"
#include "records/errors.h"
#include "records/identity.h"
#include "records/json.h"

namespace lumaro {

namespace {

std::optional<Bytes> encodePng(const QImage& image) {
    if (image.isNull() || image.width() <= 0 || image.height() <= 0) {
        return std::nullopt;
    }
    QByteArray encoded;
    QBuffer buffer(&encoded);
    if (!buffer.open(QIODevice::WriteOnly) || !image.save(&buffer, "PNG") || encoded.isEmpty()) {
        return std::nullopt;
    }
    return Bytes(encoded.begin(), encoded.end());
}

constexpr const char* kBackupUnavailable = "备份文件不可用";

}  // namespace

IconEngine::IconEngine(platform::FileSystem& fs, const std::string& directory, const QImage& image,
                       platform::Workspace& workspace)
    : fs_(fs), workspace_(workspace), directory_(platform::standardizePath(directory)) {
    auto data = encodePng(image);
    if (!data) {
        throw SkinError("无法读取毛球图像");
    }
    iconData_ = std::move(*data);
    writer_ = std::make_shared<const platform::IconWriter>(image);
    platform::throwIfFailed(platform::createDirectories(fs_, directory_, 0700), directory_);
    if (!identifyItem(fs_, directory_).isDirectory()) {
        throw SkinError("备份目录不可用");
    }
}

std::string IconEngine::manifestPath() const {
    return platform::appendPathComponent(directory_, kManifestFileName);
}

std::optional<BackupManifest> IconEngine::loadManifest() const {
    return readManifest(manifestPath());
}

std::optional<BackupManifest> IconEngine::readManifest(const std::string& path) const {
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

void IconEngine::saveManifest(const BackupManifest& manifest,
                              const std::optional<std::string>& location) const {
    const std::string path = location.value_or(manifestPath());
    const std::string text = (*encoders_)[path].encode(manifest);
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

void IconEngine::syncDirectory() const {
    platform::syncDirectory(fs_, directory_);
}

}  // namespace lumaro
