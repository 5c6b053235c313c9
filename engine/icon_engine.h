// Skins and restores the items of one root folder against one backup directory.
//
// The engine holds only its two fields, fixed at creation; everything durable lives in the
// files of its backup directory: "backup.json" (the pending manifest), "operation.lock",
// "missing-backups/" and short-lived "staging-" folders.
#pragma once

#include <algorithm>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine/batches.h"
#include "engine/manifest_store.h"
#include "engine/rendered_icon.h"
#include "platform/file_system.h"
#include "platform/item_handle.h"
#include "platform/workspace.h"
#include "records/icon_facet.h"
#include "records/records.h"

class QImage;

namespace lumaro {

// How many items of a batch have their metadata writes in flight together by default; each holds
// its item open until its write has been answered.
inline constexpr std::size_t kPipelined = 64;

inline constexpr const char* kManifestFileName = "backup.json";
inline constexpr const char* kEngineLockFileName = "operation.lock";
inline constexpr const char* kPendingSkinMessage = "已有待还原的备份，请先点击“一键还原”。";

// Removes what killed saves left in a backup directory and its skip-record folder: the
// temporary files of "backup.json" and of skip records. The caller holds that directory's
// "operation.lock".
void removeStaleBackupTemporaries(platform::FileSystem& fs, const std::string& directory);

// Which items of a root an apply takes.
enum class ApplyScope : std::uint8_t {
    withoutApplications,  // files and folders; applications are passed over
    withApplications,     // files, folders and applications
    applicationsOnly,     // applications alone (an applications folder of a batch)
};

// A desktop entry to skin: its desktop-file ID (the user copy's name in the applications folder
// the engine works on), the installed file a new copy is made from, and the name a launcher
// shows for it.
struct DesktopEntryItem {
    std::string id;
    std::string sourcePath;
    std::string displayName;
};

class IconEngine {
  public:
    // Creates `directory` (and missing parents) with mode 0700 when needed and checks that it is
    // a folder. Throws SkinError "无法读取毛球图像" for an image without pixels, the platform's
    // error when the folder cannot be created, identifyItem's messages, or "备份目录不可用".
    IconEngine(platform::FileSystem& fs, const std::string& directory, const QImage& image,
               platform::Workspace& workspace);
    // The same with an icon rendered once and shared with other engines.
    IconEngine(platform::FileSystem& fs, const std::string& directory,
               std::shared_ptr<const RenderedIcon> icon, platform::Workspace& workspace);

    const std::string& directory() const { return directory_; }
    // The image's lossless PNG encoding.
    const Bytes& iconData() const { return icon_->png(); }
    platform::FileSystem& fileSystem() const { return fs_; }
    void setProgressHandler(ProgressHandler handler) { progress_ = std::move(handler); }
    // Where an apply keeps the icon file the Linux forms point at ("furball.png"); by default
    // this engine's own directory. Every engine of one state directory shares that one file.
    void setIconFileFolder(std::string folder) { iconFileFolder_ = std::move(folder); }
    // How many items' work is kept in flight together: their metadata writes, held descriptors and
    // syncs (kPipelined by default, at least one). A batch of more items runs as overlapping groups.
    void setGroupSize(std::size_t items) { groupSize_ = std::max<std::size_t>(items, 1); }
    // The most items a batch of an apply or a restore takes (kMaxBatch by default, at least two):
    // tests set less to run several batches over a few items.
    void setBatchLimit(std::size_t items) { batchLimit_ = std::max(items, kMinBatch); }

    // --- Skinning (apply) ---

    // Gives every eligible item of `root` the new icon, recording each item durably in
    // "backup.json" before touching it. Items whose names are not in `only` (when given) are
    // passed over uncounted. Throws only for failures of the run as a whole.
    OperationReport apply(const std::string& root, ApplyScope scope,
                          const std::optional<std::set<std::string>>& only = std::nullopt) const;

    // Gives each desktop entry the new icon through its user copy in `folder` (the user's
    // applications folder), with the same records and guarantees as apply(); one entry per ID.
    OperationReport applyDesktopEntries(const std::string& folder,
                                        const std::vector<DesktopEntryItem>& entries) const;

    // What an apply would work on. The root's identity, once it is known that the root may be
    // skinned against this backup directory.
    FileIdentity validateTarget(const std::string& root) const;
    // The root's visible children, in the order the user's file browser shows them.
    std::vector<std::string> listItems(const std::string& root) const;
    // Whether to skin the item; false counts as skipped. Throws for an item to report.
    bool isEligible(const std::string& item, ApplyScope scope) const;

    // --- Records ---

    std::string manifestPath() const;
    std::string missingBackupsPath() const;
    // The pending manifest of "backup.json", or nothing when none is pending.
    std::optional<BackupManifest> loadManifest() const;
    // A validated manifest from `path`, or nothing when no file is there.
    std::optional<BackupManifest> readManifest(const std::string& path) const;
    // How many items "backup.json" holds, or nothing when none is pending; for a restore's progress.
    // Throws as loadManifest() for a file it cannot read.
    std::optional<std::size_t> pendingItemCount() const;

    // Whether "backup.json" or a skip record holds an entry for which `test` holds; true also
    // when one of them cannot be read (it may).
    bool anyRecordedEntry(const std::function<bool(const BackupEntry&)>& test) const;

    // --- Restoring ---

    // Puts the original icon back on every item recorded in "backup.json"; items that have
    // gone move into skip records. Holds the operation lock throughout.
    OperationReport restore() const;
    // Runs the restore over every skip record; records whose items all came back disappear.
    OperationReport retrySkipped() const;
    // Moves every entry still in "backup.json" into skip records, one entry at a time: its
    // record is durable before the entry leaves the manifest. An entry that a crash left in both
    // places is not recorded twice. Names the moved items in `setAsideItems`; throws when the
    // manifest cannot be read (it then stays as it is).
    OperationReport setAsideRemaining() const;

  private:
    class PredictionCache;
    // One apply's pending manifest, where it is saved, and the predictions made so far.
    struct ApplyRun;
    // With the operation lock held: clears killed saves' leftovers, then refuses while a manifest
    // is pending.
    void refuseWhilePending() const;
    // An empty run over the root, once the icon file the Linux forms point at is in place.
    ApplyRun startRun(const std::string& rootPath, const FileIdentity& rootIdentity,
                      const IconContext& context) const;
    // One item of an apply, from its capture to its "applied" entry.
    struct ApplyItem;
    // Captures the item and predicts its skinned state; throws for an item to report.
    void captureItem(ApplyRun& run, ApplyItem& item, const IconContext& context) const;
    // The transaction of one batch of captured items: their "prepared" entries in one durable
    // save; each item rechecked, skinned and flushed through one checked handle, a group of
    // items' staged files synced together, their metadata writes in flight together (each checked
    // before its item goes on) and their flushes made together; the shared stores flushed; the "applied"
    // entries of the items that got this far in one save. Marks each item applied or gives its error; an
    // entry once saved stays in the manifest.
    void applyBatch(ApplyRun& run, std::vector<ApplyItem>& batch, const IconContext& context) const;
    // The recheck through the item opened and checked into `target`, and what its skin puts in
    // place written ahead through it into `staging`; throws for an item to report.
    void checkItem(ApplyRun& run, ApplyItem& item, const IconContext& context, platform::ItemHandle& target,
                   Staging& staging) const;
    // The skin, with what was staged and synced for it (its metadata write answered by then).
    // Throws for an item to report.
    void skinItem(ApplyRun& run, const ApplyItem& item, const platform::ItemHandle& target,
                  const IconContext& context, Staging& staging) const;
    bool isEligible(const std::string& item, ApplyScope scope,
                    const std::set<std::string>& hiddenNames) const;
    std::vector<std::string> listItems(const std::string& root,
                                       const std::set<std::string>& hiddenNames) const;
    std::set<std::string> runningApplicationPaths() const;
    // Lists an application that was running, by its name without the extension, for relaunch.
    static void noteRelaunch(const std::string& name, const std::string& item,
                             const std::set<std::string>& running, OperationReport& report);

    // The state an item of this kind will carry once skinned: rehearsed on a staging copy of
    // `original` for the forms that need it.
    IconState predictAppliedState(std::uint16_t type, const IconState& original,
                                  const IconContext& context) const;
    // The facets' view of the session: the metadata store when it is available here.
    IconContext iconContext() const;
    // The context of one entry: a desktop entry's names its ID and has no metadata.
    IconContext contextFor(const BackupEntry& entry, const IconContext& fileContext) const;
    // Restores the items of one manifest file. With `recordSkips`, gone items move into skip
    // records; without, they stay in the file and are only counted.
    OperationReport restoreManifest(ManifestStore& store, const std::string& file, bool recordSkips) const;
    // One restore of a manifest file: the manifest, what its batches share, and its report so far.
    struct RestoreRun;
    // One entry of a restore's batch.
    struct RestoreItem;
    // The root has gone: every entry counted missing and, with `recordSkips`, moved into one skip
    // record before what the skin kept by path is taken off.
    OperationReport restoreMissingRoot(RestoreRun& run) const;
    // The checks before an entry joins its batch; a vanished or replaced item is dealt with here.
    // False when it does not join (its error, if any, is reported).
    bool checkRestoreItem(RestoreRun& run, RestoreItem& pending) const;
    // For a group of checked entries together (the store's keys read ahead), whether each one's
    // forms go back only under a durable "restoring" entry; those that can go on join the batch,
    // the others fail. The group is left empty.
    void checkRecords(RestoreRun& run, std::vector<RestoreItem>& group,
                      std::vector<RestoreItem>& batch) const;
    // The transaction of one batch: its "restoring" entries in one save, each item put back and
    // flushed, the shared stores flushed, the restored entries out of the manifest in one save;
    // then the batch is counted and its failures reported in order.
    void restoreBatch(RestoreRun& run, std::vector<RestoreItem>& batch) const;
    // Saves the batch's entries that need it as "restoring"; the error when that save failed (the
    // manifest in memory then keeps their phases).
    std::optional<ItemError> recordRestoring(RestoreRun& run, const std::vector<RestoreItem>& batch) const;
    // Puts back and flushes each item (none that needed an unsaved record), a group of them at a time
    // with the group's metadata writes in flight together, then the shared stores; marks each done
    // or fails it.
    void putBack(RestoreRun& run, std::vector<RestoreItem>& batch,
                 const std::optional<ItemError>& unsaved) const;
    // The done entries leave the manifest in one save; the manifest in memory changes only once it
    // succeeded, and otherwise they fail.
    void removeRestored(RestoreRun& run, std::vector<RestoreItem>& batch) const;
    // Saves `manifest` with `entry` in place of the entry `name` (null: without it); the manifest
    // in memory changes only once that save succeeded.
    void saveChanged(ManifestStore& store, const std::string& file, BackupManifest& manifest,
                     const std::string& name, const BackupEntry* entry) const;
    // An entry of a skip record whose item is still gone: what the skin kept by path is taken off
    // it, once the record says "clearing".
    void handleVanished(ManifestStore& store, const std::string& file, BackupManifest& manifest,
                        BackupEntry entry, const std::string& item, const IconContext& context) const;
    // The entries whose items had gone since the last batch: into one skip record, then out of the
    // manifest in one save, then what the skin kept by path is taken off them (the record says
    // "clearing" for those). They fail together when either save fails.
    void archiveVanished(RestoreRun& run) const;
    // The named entries leave the manifest in one save; the manifest in memory changes only once
    // it succeeded, and otherwise that save's error.
    std::optional<ItemError> removeEntries(RestoreRun& run, const std::set<std::string>& leaving) const;
    // Another object at the entry's path: takes our by-path forms off it the same way; true when
    // anything of ours was there.
    bool clearReplaced(ManifestStore& store, const std::string& file, BackupManifest& manifest,
                       BackupEntry entry, const std::string& item, const IconContext& context) const;
    // Whether some form of the entry's item still carries the skin while the entry does not yet
    // say "restoring": that phase must be durable before the item is written.
    bool needsRestoringRecord(const BackupEntry& entry, const std::string& item,
                              const IconContext& context) const;
    // What the check of an item about to be put back found: its checked handle, its state, the
    // facets whose original goes back, and why some form cannot be checked here.
    struct RestoreForms;
    // The check before an item's write-back, under an entry already durable as "restoring"
    // (`recorded`, or a phase read as "restoring" or "clearing"): each Linux form deciding alone
    // and the Mac form by its whole rule (by the entry's phase as read); the identity rechecked
    // and the item opened again; the metadata writes its restore will make noted in `context`'s
    // store. Throws for an item to refuse, before anything of it is written.
    RestoreForms checkForms(const BackupEntry& entry, const std::string& item, const IconContext& context,
                            bool recorded) const;
    // Puts back each form `forms` found carrying the skin (a metadata write answered by then).
    void restoreForms(const BackupEntry& entry, const std::string& item, const IconContext& context,
                      const RestoreForms& forms) const;
    // Verifies the forms restoreForms put back; throws when one is not back, or, once those are,
    // when some form holds someone else's change or cannot be checked here.
    void verifyRestored(const BackupEntry& entry, const IconContext& context,
                        const RestoreForms& forms) const;
    // True when the item has really gone (its nearest existing ancestor is a folder on `device`);
    // false when it is there, its status then in `found` when given; SkinError when that cannot be
    // told.
    bool itemIsMissing(const std::string& path, std::int32_t device,
                       platform::FileStatus* found = nullptr) const;
    // Stores a manifest as a new skip record in "missing-backups", durably.
    void archiveMissing(ManifestStore& store, const BackupManifest& manifest) const;

    platform::FileSystem& fs_;
    platform::Workspace& workspace_;
    std::string directory_;
    std::shared_ptr<const RenderedIcon> icon_;
    ProgressHandler progress_;
    std::string iconFileFolder_;
    std::size_t groupSize_ = kPipelined;
    std::size_t batchLimit_ = kMaxBatch;
};

}  // namespace lumaro
