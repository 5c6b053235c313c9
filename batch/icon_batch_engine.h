// Drives the chosen folder and the user's applications as one batch. It holds only fixed
// settings; every operation makes fresh folder engines: one for the chosen folder (backup
// directory: the state directory itself) and one per applications folder (backup directory:
// "application-backups/<sha256 of the folder path>").
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine/icon_engine.h"
#include "platform/file_system.h"
#include "platform/workspace.h"
#include "records/records.h"

class QImage;

namespace lumaro {

class BatchProgress;

inline constexpr const char* kBatchLockFileName = "batch-operation.lock";
inline constexpr const char* kScopeFileName = "scope.json";
inline constexpr const char* kApplicationBackupsFolder = "application-backups";

struct DiscoveredApplications {
    // Folder path (no trailing slash) to the file names of the applications in it.
    std::map<std::string, std::set<std::string>> groups;
    std::vector<ItemError> errors;
    std::int64_t passedOver = 0;  // system applications left alone
};

// What a batch covers besides its chosen folder.
struct BatchOptions {
    // By default "/Applications" and the home folder's "Applications", and then the user's desktop
    // entries are skinned too; given roots leave every entry alone unless `desktopEntries` says
    // otherwise.
    std::optional<std::vector<std::string>> applicationRoots = std::nullopt;
    bool readDock = true;
    // The Dock's application addresses in place of its own list.
    std::optional<std::vector<std::string>> dockApplicationURLs = std::nullopt;
    std::optional<bool> desktopEntries = std::nullopt;
    // How many items' work each engine keeps in flight together (IconEngine::setGroupSize).
    std::size_t groupSize = kPipelined;
    // The most items a batch takes (IconEngine::setBatchLimit).
    std::size_t batchLimit = kMaxBatch;
};

class IconBatchEngine {
  public:
    // Checks the state directory by making its folder engine (which creates it with mode 0700).
    IconBatchEngine(platform::FileSystem& fs, platform::Workspace& workspace, const std::string& directory,
                    const QImage& image, BatchOptions options = {});
    // The same with an icon rendered once and shared with other engines.
    IconBatchEngine(platform::FileSystem& fs, platform::Workspace& workspace, const std::string& directory,
                    std::shared_ptr<const RenderedIcon> icon, BatchOptions options = {});

    const std::string& directory() const { return directory_; }
    const Bytes& iconData() const { return icon_->png(); }
    const std::vector<std::string>& applicationRoots() const { return applicationRoots_; }
    bool readDock() const { return readDock_; }
    const std::optional<std::vector<std::string>>& dockApplicationURLs() const {
        return dockApplicationURLs_;
    }

    // A folder engine of this batch; it reports no progress until given a handler.
    IconEngine makeEngine(const std::string& backupDirectory) const;
    // Told about the items of every operation with positions and a total counted across the
    // whole batch (the total may grow while it runs: skip records are counted as they are read).
    void setProgressHandler(ProgressHandler handler) { progress_ = std::move(handler); }
    // The chosen folder's engine first, then every application backup directory with a
    // "backup.json" (or, with `includeSkipped`, with skip records), in path order.
    std::vector<IconEngine> pendingEngines(bool includeSkipped) const;
    // What the pending skin covers, or nothing when none is pending.
    std::optional<PendingScope> pendingScope() const;
    // The backup directory of one applications folder.
    std::string applicationBackupDirectory(const std::string& folder) const;

    DiscoveredApplications discoverApplications() const;
    std::vector<std::string> dockApplications() const;

    OperationReport apply(const std::string& target, bool includeApplications) const;
    OperationReport restore() const;
    OperationReport retry() const;
    // The restore, then every entry still pending moved into skip records of its engine; the
    // skin is then no longer pending unless a manifest could not be read.
    OperationReport setAside() const;

  private:
    std::string scopePath() const;
    // The shown desktop entries to skin through their user copies in the user's applications
    // folder, with what their discovery reported.
    struct DesktopEntryPlan {
        OperationReport report;
        std::string folder;
        std::vector<DesktopEntryItem> entries;
    };
    DesktopEntryPlan planDesktopEntries() const;
    // Skins the planned entries, one engine for that folder.
    OperationReport applyDesktopEntries(DesktopEntryPlan plan, BatchProgress& progress) const;
    void removeScope() const;
    // Clears what killed writes of "scope.json" left behind; called with the batch lock held.
    void removeStaleTemporaries() const;
    OperationReport restoreLocked() const;
    // Removes "scope.json" once no manifest is pending any more.
    void removeScopeIfDone(const OperationReport& report) const;
    // Removes the furball's theme emblem once no record of any engine names it any more.
    void releaseEmblemIcon() const;

    platform::FileSystem& fs_;
    platform::Workspace& workspace_;
    std::string directory_;
    std::shared_ptr<const RenderedIcon> icon_;  // rendered once, shared by every folder engine
    std::vector<std::string> applicationRoots_;
    bool readDock_;
    bool desktopEntries_;
    std::optional<std::vector<std::string>> dockApplicationURLs_;
    std::size_t groupSize_;
    std::size_t batchLimit_;
    ProgressHandler progress_;
};

}  // namespace lumaro
