#include "engine/manifest_store.h"

#include <fcntl.h>

#include <array>
#include <cerrno>
#include <istream>
#include <streambuf>

#include "platform/file_ops.h"
#include "platform/paths.h"
#include "platform/system_error.h"
#include "records/errors.h"
#include "records/identity.h"

namespace lumaro {

namespace {
constexpr const char* kBackupUnavailable = "备份文件不可用";

// An open file read through the file system in chunks, as a stream for the parser; at most
// `limit` bytes. A failed read ends the stream early and is kept in `error`.
class ChunkReader final : public std::streambuf {
  public:
    ChunkReader(platform::FileSystem& fs, int fd, std::uint64_t limit) : fs_(fs), fd_(fd), left_(limit) {}
    int error = 0;

  protected:
    int_type underflow() override {
        if (gptr() < egptr()) {
            return traits_type::to_int_type(*gptr());
        }
        for (;;) {
            std::size_t got = 0;
            const int err = fs_.read(fd_, chunk_.data(), chunk_.size(), got);
            if (err == EINTR) {
                continue;
            }
            error = err != 0 ? err : got > left_ ? EFBIG : 0;
            if (error != 0 || got == 0) {
                return traits_type::eof();
            }
            left_ -= got;
            setg(chunk_.data(), chunk_.data(), chunk_.data() + got);
            return traits_type::to_int_type(chunk_[0]);
        }
    }

  private:
    platform::FileSystem& fs_;
    int fd_;
    std::uint64_t left_;
    std::array<char, 64 * 1024> chunk_{};
};

}  // namespace

ManifestStore::ManifestStore(platform::FileSystem& fs, std::string directory)
    : fs_(fs), directory_(std::move(directory)) {}

bool ManifestStore::open(const std::string& path, platform::Descriptor& fd,
                         platform::FileStatus& opened) const {
    platform::FileStatus st;
    const int statErr = fs_.lstat(path, st);
    if (statErr == ENOENT) {
        return false;
    }
    if (statErr != 0) {
        throw SkinError("无法读取备份，请保留备份目录。");
    }
    if (identifyItem(fs_, path).type != kTypeRegular) {
        throw SkinError(kBackupUnavailable);
    }
    int err = platform::openDescriptor(fs_, path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK, 0, fd);
    if (err == 0) {
        err = fs_.fstat(fd.get(), opened);
    }
    if (err == ELOOP || err == EINVAL || (err == 0 && !opened.isRegular())) {
        // Swapped for something else since the check above.
        throw SkinError(kBackupUnavailable);
    }
    platform::throwIfFailed(err != 0 ? err : opened.size > kMaxManifestSize ? EFBIG : 0, path);
    return true;
}

std::optional<BackupManifest> ManifestStore::read(const std::string& path) const {
    platform::Descriptor fd;
    platform::FileStatus opened;
    if (!open(path, fd, opened)) {
        return std::nullopt;
    }
    ChunkReader reader(fs_, fd.get(), kMaxManifestSize);
    std::istream stream(&reader);
    std::optional<BackupManifest> manifest;
    try {
        manifest = decodeManifestFrom(stream);
    } catch (const DecodingError&) {
        platform::throwIfFailed(reader.error, path);  // the read failed, not the document
        throw;
    }
    platform::throwIfFailed(reader.error, path);
    checkManifest(*manifest);
    return manifest;
}

std::optional<BackupManifest> ManifestStore::readForUpdate(const std::string& path) {
    platform::Descriptor fd;
    platform::FileStatus opened;
    if (!open(path, fd, opened)) {
        return std::nullopt;
    }
    std::string text;
    // With room for the entries' phases to grow in place.
    const auto size = static_cast<std::size_t>(opened.size);
    text.reserve(size + size / 8);
    platform::throwIfFailed(platform::readToEnd(fs_, fd.get(), kMaxManifestSize, opened.size, text), path);
    BackupManifest manifest = decodeManifest(text);
    checkManifest(manifest);
    encoders_.clear();
    ManifestEncoder& encoder = encoders_[path];
    encoder.expectSize(text.size());
    encoder.adopt(std::move(text), manifest);
    return manifest;
}

std::optional<std::size_t> ManifestStore::countEntries(const std::string& path) const {
    platform::Descriptor fd;
    platform::FileStatus opened;
    if (!open(path, fd, opened)) {
        return std::nullopt;
    }
    std::string text;
    platform::throwIfFailed(platform::readToEnd(fs_, fd.get(), kMaxManifestSize, opened.size, text), path);
    if (const std::optional<std::size_t> count = countEncodedEntries(text)) {
        return count;
    }
    BackupManifest manifest = decodeManifest(text);
    checkManifest(manifest);
    return manifest.entries.size();
}

void ManifestStore::save(const BackupManifest& manifest, const std::string& path,
                         const std::set<std::string>* changed, const std::set<std::string>* rephased) {
    try {
        write(encoders_[path].encode(manifest, changed, rephased), path);
        if (changed == nullptr) {
            encoders_.erase(path);
        }
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
