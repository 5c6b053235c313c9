// Skins and restores the items of one root folder against one backup directory.
//
// The engine holds only its two fields, fixed at creation; everything durable lives in the
// files of its backup directory: "backup.json" (the pending manifest), "operation.lock",
// "missing-backups/" and short-lived "staging-" folders.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "platform/icon_writer.h"
#include "platform/workspace.h"
#include "records/json.h"
#include "records/records.h"

class QImage;

namespace lumaro {

inline constexpr const char* kManifestFileName = "backup.json";
inline constexpr const char* kEngineLockFileName = "operation.lock";
// The largest manifest file read into memory. Real manifests hold a few kilobytes per item.
inline constexpr std::uint64_t kMaxManifestSize = 256u * 1024 * 1024;

// Told about each item an operation is about to work on (its position from 1, the number of
// items, its name). It only observes: it never changes an operation's results.
using ProgressHandler = std::function<void(std::size_t index, std::size_t total, const std::string& name)>;

// Removes what killed saves left in a backup directory and its skip-record folder: the
// temporary files of "backup.json" and of skip records. The caller holds that directory's
// "operation.lock".
void removeStaleBackupTemporaries(platform::FileSystem& fs, const std::string& directory);

class IconEngine {
  public:
    // Creates `directory` (and missing parents) with mode 0700 when needed and checks that it is
    // a folder. Throws SkinError "无法读取毛球图像" for an image without pixels, the platform's
    // error when the folder cannot be created, identifyItem's messages, or "备份目录不可用".
    IconEngine(platform::FileSystem& fs, const std::string& directory, const QImage& image,
               platform::Workspace& workspace = platform::Workspace::real());

    const std::string& directory() const { return directory_; }
    // The image's lossless PNG encoding.
    const Bytes& iconData() const { return iconData_; }
    platform::FileSystem& fileSystem() const { return fs_; }

    // --- Skinning (apply) ---

    // Gives every eligible item of `root` the new icon, recording each item durably in
    // "backup.json" before touching it. Items whose names are not in `only` (when given) are
    // passed over uncounted. Throws only for failures of the run as a whole.
    OperationReport apply(const std::string& root, bool includeApplications, bool applicationsOnly,
                          const std::optional<std::set<std::string>>& only = std::nullopt) const;

    // The root's identity, once it is known that the root may be skinned against this backup
    // directory.
    FileIdentity validateTarget(const std::string& root) const;
    // The root's visible children, in the order the user's file browser shows them.
    std::vector<std::string> listItems(const std::string& root) const;
    // Whether to skin the item; false counts as skipped. Throws for an item to report.
    bool isEligible(const std::string& item, bool includeApplications, bool applicationsOnly) const;

    // The state the item will carry once skinned, rehearsed on a staging copy of `original`.
    IconState predictAppliedState(const FileIdentity& identity, const IconState& original) const;
    // Sets the new icon on the item and returns the state it then carries.
    IconState setItemIcon(const std::string& item, const FileIdentity& identity) const;

    std::string manifestPath() const;
    void setProgressHandler(ProgressHandler handler) { progress_ = std::move(handler); }

    // The pending manifest of "backup.json", or nothing when none is pending.
    std::optional<BackupManifest> loadManifest() const;
    // A validated manifest from `path`, or nothing when no file is there.
    std::optional<BackupManifest> readManifest(const std::string& path) const;
    // Writes durably: the data is on disk before the new name replaces the old file, and the
    // folder is synced after. Default location: "backup.json".
    void saveManifest(const BackupManifest& manifest, const std::optional<std::string>& location = {}) const;
    // Flushes the backup directory's entries; failures are ignored.
    void syncDirectory() const;

    // --- Restoring ---

    // Puts the original icon back on every item recorded in "backup.json"; items that have
    // gone move into skip records. Holds the operation lock throughout.
    OperationReport restore() const;
    // Restores the items of one manifest file. With `recordSkips`, gone items move into skip
    // records; without, they stay in the file and are only counted.
    OperationReport restoreManifest(const std::string& file, bool recordSkips) const;
    // Writes one item's original icon state back and verifies it.
    void restoreItem(const BackupEntry& entry, const std::string& item) const;
    // True when the item has really gone (its nearest existing ancestor is a folder on `device`);
    // false when it is there; SkinError when that cannot be told.
    bool itemIsMissing(const std::string& path, std::int32_t device) const;

    // Stores a manifest as a new skip record in "missing-backups", durably.
    void archiveMissing(const BackupManifest& manifest) const;
    // Runs the restore over every skip record; records whose items all came back disappear.
    OperationReport retrySkipped() const;
    // Moves every entry still in "backup.json" into skip records, one entry at a time: its
    // record is durable before the entry leaves the manifest. An entry that a crash left in both
    // places is not recorded twice. Names the moved items in `setAsideItems`; throws when the
    // manifest cannot be read (it then stays as it is).
    OperationReport setAsideRemaining() const;

    std::string missingBackupsPath() const;

  private:
    bool isEligible(const std::string& item, bool includeApplications, bool applicationsOnly,
                    const std::set<std::string>& hiddenNames) const;
    std::vector<std::string> listItems(const std::string& root,
                                       const std::set<std::string>& hiddenNames) const;
    std::set<std::string> runningApplicationPaths() const;
    // Lists an application that was running, by its name without the extension, for relaunch.
    static void noteRelaunch(const std::string& name, const std::string& item,
                             const std::set<std::string>& running, OperationReport& report);
    void reportProgress(std::size_t index, std::size_t total, const std::string& name) const;
    // Flushes an item's attributes (and a folder's entries) to disk; throws on failure.
    void syncItem(const std::string& item, bool folder) const;
    // Removes an emptied manifest file durably.
    void removeManifestFile(const std::string& file) const;

    platform::FileSystem& fs_;
    platform::Workspace& workspace_;
    std::string directory_;
    Bytes iconData_;
    std::shared_ptr<const platform::IconWriter> writer_;  // rendered once per engine
    ProgressHandler progress_;
    // One encoder per manifest file, so a save re-encodes only the entries that changed.
    std::shared_ptr<std::map<std::string, ManifestEncoder>> encoders_ =
        std::make_shared<std::map<std::string, ManifestEncoder>>();
};

}  // namespace lumaro
