// Skins and restores the items of one root folder against one backup directory.
//
// The engine holds only its two fields, fixed at creation; everything durable lives in the
// files of its backup directory: "backup.json" (the pending manifest), "operation.lock",
// "missing-backups/" and short-lived "staging-" folders.
#pragma once

#include <optional>
#include <string>

#include "platform/file_system.h"
#include "records/records.h"

class QImage;

namespace lumaro {

inline constexpr const char* kManifestFileName = "backup.json";
inline constexpr const char* kEngineLockFileName = "operation.lock";
// The largest manifest file read into memory. Real manifests hold a few kilobytes per item.
inline constexpr std::uint64_t kMaxManifestSize = 256u * 1024 * 1024;

class IconEngine {
public:
    // Creates `directory` (and missing parents) with mode 0700 when needed and checks that it is
    // a folder. Throws SkinError "无法读取毛球图像" for an image without pixels, the platform's
    // error when the folder cannot be created, identifyItem's messages, or "备份目录不可用".
    IconEngine(platform::FileSystem& fs, const std::string& directory, const QImage& image);

    const std::string& directory() const { return directory_; }
    // The image's lossless PNG encoding.
    const Bytes& iconData() const { return iconData_; }
    platform::FileSystem& fileSystem() const { return fs_; }

    std::string manifestPath() const;

    // The pending manifest of "backup.json", or nothing when none is pending.
    std::optional<BackupManifest> loadManifest() const;
    // A validated manifest from `path`, or nothing when no file is there.
    std::optional<BackupManifest> readManifest(const std::string& path) const;
    // Writes durably: the data is on disk before the new name replaces the old file, and the
    // folder is synced after. Default location: "backup.json".
    void saveManifest(const BackupManifest& manifest, const std::optional<std::string>& location = {}) const;
    // Flushes the backup directory's entries; failures are ignored.
    void syncDirectory() const;

private:
    platform::FileSystem& fs_;
    std::string directory_;
    Bytes iconData_;
};

}  // namespace lumaro
