#include "batch/icon_batch_engine.h"

#include <QImage>
#include <algorithm>
#include <cerrno>

#include "batch/batch_progress.h"
#include "platform/browser_names.h"
#include "platform/desktop_entries.h"
#include "platform/file_ops.h"
#include "platform/identifiers.h"
#include "platform/key_file.h"
#include "platform/paths.h"
#include "platform/system_error.h"
#include "platform/text.h"
#include "records/desktop_form.h"
#include "records/errors.h"
#include "records/identity.h"
#include "records/json.h"
#include "records/operation_lock.h"

namespace lumaro {

namespace {

constexpr std::uint64_t kMaxScopeSize = 1024 * 1024;

void sortUnique(std::vector<std::string>& names) {
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
}

}  // namespace

IconBatchEngine::IconBatchEngine(platform::FileSystem& fs, platform::Workspace& workspace,
                                 const std::string& directory, const QImage& image, BatchOptions options)
    : IconBatchEngine(fs, workspace, directory, std::make_shared<const RenderedIcon>(image),
                      std::move(options)) {}

IconBatchEngine::IconBatchEngine(platform::FileSystem& fs, platform::Workspace& workspace,
                                 const std::string& directory, std::shared_ptr<const RenderedIcon> icon,
                                 BatchOptions options)
    : fs_(fs),
      workspace_(workspace),
      directory_(directory),
      icon_(std::move(icon)),
      readDock_(options.readDock),
      desktopEntries_(options.desktopEntries.value_or(!options.applicationRoots.has_value())),
      dockApplicationURLs_(std::move(options.dockApplicationURLs)),
      groupSize_(options.groupSize),
      batchLimit_(options.batchLimit) {
    // Checks the state directory, creating it when needed.
    const IconEngine stateEngine(fs_, directory_, icon_, workspace_);
    applicationRoots_ =
        options.applicationRoots
            ? std::move(*options.applicationRoots)
            : std::vector<std::string>{
                  "/Applications", platform::appendPathComponent(workspace_.homeDirectory(), "Applications")};
}

IconEngine IconBatchEngine::makeEngine(const std::string& backupDirectory) const {
    IconEngine engine(fs_, backupDirectory, icon_, workspace_);
    engine.setIconFileFolder(directory_);
    engine.setGroupSize(groupSize_);
    engine.setBatchLimit(batchLimit_);
    return engine;
}

std::string IconBatchEngine::applicationBackupDirectory(const std::string& folder) const {
    return platform::appendPathComponent(platform::appendPathComponent(directory_, kApplicationBackupsFolder),
                                         platform::sha256Hex(folder));
}

std::vector<IconEngine> IconBatchEngine::pendingEngines(bool includeSkipped) const {
    std::vector<IconEngine> engines;
    engines.push_back(makeEngine(directory_));
    const std::string backups = platform::appendPathComponent(directory_, kApplicationBackupsFolder);
    platform::FileStatus st;
    if (fs_.stat(backups, st) != 0) {
        return engines;
    }
    std::vector<std::string> names;
    platform::throwIfFailed(fs_.listDirectory(backups, names), backups);
    const std::set<std::string> hidden = platform::hiddenNamesIn(fs_, backups);
    std::vector<std::string> entries;
    for (const std::string& name : names) {
        if (!platform::isHiddenName(name, hidden)) {
            entries.push_back(platform::appendPathComponent(backups, name));
        }
    }
    std::sort(entries.begin(), entries.end());
    for (const std::string& entry : entries) {
        try {
            if (!identifyItem(fs_, entry).isDirectory()) {
                continue;
            }
        } catch (const SkinError&) {
            continue;
        }
        if (fs_.stat(platform::appendPathComponent(entry, kManifestFileName), st) == 0 ||
            (includeSkipped && fs_.stat(platform::appendPathComponent(entry, "missing-backups"), st) == 0)) {
            engines.push_back(makeEngine(entry));
        }
    }
    return engines;
}

std::optional<PendingScope> IconBatchEngine::pendingScope() const {
    std::optional<BackupManifest> first;
    for (const IconEngine& engine : pendingEngines(false)) {
        auto manifest = engine.loadManifest();
        if (manifest && !first) {
            first = std::move(manifest);
        }
    }
    if (!first) {
        return std::nullopt;
    }
    Bytes data;
    if (platform::readRegularFile(fs_, scopePath(), kMaxScopeSize, data) == 0) {
        try {
            return decodeScope(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
        } catch (const DecodingError&) {
        }
    }
    return PendingScope{first->rootPath, false};
}

std::string IconBatchEngine::scopePath() const {
    return platform::appendPathComponent(directory_, kScopeFileName);
}

void IconBatchEngine::removeScope() const {
    fs_.unlink(scopePath());
}

void IconBatchEngine::removeStaleTemporaries() const {
    platform::removeStaleTemporaries(fs_, directory_,
                                     [](const std::string& target) { return target == kScopeFileName; });
    // A backup directory whose first save was killed holds no "backup.json", so no engine
    // operation of the batch would clear it.
    std::vector<std::string> folders{directory_};
    const std::string backups = platform::appendPathComponent(directory_, kApplicationBackupsFolder);
    std::vector<std::string> names;
    if (fs_.listDirectory(backups, names) == 0) {
        for (const std::string& name : names) {
            folders.push_back(platform::appendPathComponent(backups, name));
        }
    }
    for (const std::string& folder : folders) {
        platform::FileStatus st;
        if (fs_.lstat(folder, st) != 0 || !st.isDirectory()) {
            continue;
        }
        try {
            const OperationLock lock(fs_, folder, kEngineLockFileName);
            removeStaleBackupTemporaries(fs_, folder);
        } catch (const std::exception&) {
            // Busy elsewhere: that operation clears its own folder.
        }
    }
}

OperationReport IconBatchEngine::apply(const std::string& target, bool includeApplications) const {
    const OperationLock lock(fs_, directory_, kBatchLockFileName);
    removeStaleTemporaries();
    if (pendingScope()) {
        throw SkinError(kPendingSkinMessage);
    }
    const std::string targetPath = platform::standardizePath(target);
    const std::string scope = encodeScope({targetPath, includeApplications});
    platform::throwIfFailed(platform::writeFileAtomically(fs_, scopePath(), scope.data(), scope.size(), 0600),
                            scopePath());

    // What the applications add is counted before the chosen folder runs, so the batch's count
    // of items grows only once, when that folder's own listing is known.
    BatchProgress progress(progress_);
    DiscoveredApplications found;
    DesktopEntryPlan entries;
    if (includeApplications) {
        found = discoverApplications();
        for (const auto& [folder, names] : found.groups) {
            progress.reserve(folder == targetPath ? 0 : names.size());
        }
        if (desktopEntries_) {
            entries = planDesktopEntries();
            progress.reserve(entries.entries.size());
        }
    }

    OperationReport merged;
    // The root folder has no last component; it is named by its path.
    const std::string lastComponent = platform::lastPathComponent(targetPath);
    const std::string targetName = lastComponent.empty() ? targetPath : lastComponent;
    try {
        IconEngine engine = makeEngine(directory_);
        engine.setProgressHandler(progress.engine(std::nullopt));
        merged.merge(engine.apply(targetPath, includeApplications ? ApplyScope::withApplications
                                                                  : ApplyScope::withoutApplications));
    } catch (const std::exception& error) {
        merged.errors.push_back(itemError(targetName, error));
    }
    progress.engineDone();
    if (includeApplications) {
        merged.errors.insert(merged.errors.end(), found.errors.begin(), found.errors.end());
        merged.skipped += found.passedOver;
        for (const auto& [folder, names] : found.groups) {
            if (folder == targetPath) {
                continue;  // the chosen folder's applications were covered above
            }
            try {
                IconEngine engine = makeEngine(applicationBackupDirectory(folder));
                engine.setProgressHandler(progress.engine(names.size()));
                merged.merge(engine.apply(folder, ApplyScope::applicationsOnly, names));
            } catch (const std::exception& error) {
                merged.errors.push_back(itemError(folder, error));
            }
            progress.engineDone();
        }
        if (desktopEntries_) {
            merged.merge(applyDesktopEntries(std::move(entries), progress));
        }
    }
    sortUnique(merged.relaunchApplications);
    if (merged.remaining == 0) {
        removeScope();
    }
    return merged;
}

IconBatchEngine::DesktopEntryPlan IconBatchEngine::planDesktopEntries() const {
    DesktopEntryPlan plan;
    OperationReport& report = plan.report;
    const platform::DesktopDataFolders folders = workspace_.desktopDataFolders();
    if (folders.user.empty()) {
        return plan;
    }
    const platform::DesktopEntryDiscovery found =
        platform::discoverDesktopEntries(fs_, folders, platform::messageLocale());
    for (const platform::DesktopEntryProblem& problem : found.problems) {
        const bool entry = problem.path.ends_with(".desktop");
        report.errors.push_back(
            {platform::toValidUtf8(platform::lastPathComponent(problem.path)), ErrorKind::item,
             !entry                                          ? "无法读取应用的启动项文件夹"
             : problem.reason == platform::kNotARegularEntry ? "应用的启动项不是普通文件，已跳过"
             : problem.reason == platform::kUnusableEntryId
                 ? "应用的启动项名称不是有效的 UTF-8 或过长，已跳过"
                 : "应用的启动项格式无效，已跳过"});
    }
    plan.folder = platform::appendPathComponent(folders.user, "applications");
    for (const platform::DesktopEntry& entry : found.entries) {
        // A user copy in a subfolder of its own is the user's arrangement: left as it is.
        if (entry.userPath != platform::appendPathComponent(plan.folder, entry.id)) {
            ++report.skipped;
            continue;
        }
        plan.entries.push_back({entry.id, entry.path, entry.name});
    }
    return plan;
}

OperationReport IconBatchEngine::applyDesktopEntries(DesktopEntryPlan plan, BatchProgress& progress) const {
    OperationReport report = std::move(plan.report);
    if (plan.entries.empty()) {
        return report;
    }
    const std::string& folder = plan.folder;
    try {
        // Missing data folders are made private, as the XDG base directories ask.
        platform::throwIfFailed(platform::createDirectories(fs_, folder, 0700), folder);
        IconEngine engine = makeEngine(applicationBackupDirectory(folder));
        engine.setProgressHandler(progress.engine(plan.entries.size()));
        report.merge(engine.applyDesktopEntries(folder, plan.entries));
    } catch (const std::exception& error) {
        report.errors.push_back(itemError(folder, error));
    }
    progress.engineDone();
    return report;
}

OperationReport IconBatchEngine::restore() const {
    const OperationLock lock(fs_, directory_, kBatchLockFileName);
    removeStaleTemporaries();
    OperationReport merged = restoreLocked();
    removeScopeIfDone(merged);
    releaseEmblemIcon();
    return merged;
}

OperationReport IconBatchEngine::restoreLocked() const {
    // Every manifest is read first, so the batch's count of items is known before the first one.
    struct Run {
        IconEngine engine;
        std::size_t items = 0;
        std::string failure;
    };
    BatchProgress progress(progress_);
    std::vector<Run> runs;
    for (IconEngine& engine : pendingEngines(false)) {
        try {
            if (const std::optional<std::size_t> items = engine.pendingItemCount()) {
                progress.reserve(*items);
                runs.push_back({std::move(engine), *items, {}});
            }
        } catch (const std::exception& error) {
            runs.push_back({std::move(engine), 0, describe(error)});
        }
    }
    OperationReport merged;
    for (Run& run : runs) {
        if (!run.failure.empty()) {
            merged.errors.push_back(operationError(run.failure));
            continue;
        }
        try {
            run.engine.setProgressHandler(progress.engine(run.items));
            merged.merge(run.engine.restore());
        } catch (const std::exception& error) {
            merged.errors.push_back(operationError(describe(error)));
        }
        progress.engineDone();
    }
    sortUnique(merged.relaunchApplications);
    return merged;
}

void IconBatchEngine::removeScopeIfDone(const OperationReport& report) const {
    if (report.remaining != 0) {
        return;
    }
    bool stillPending = false;
    try {
        stillPending = pendingScope().has_value();
    } catch (const std::exception&) {
    }
    if (!stillPending) {
        removeScope();
    }
}

void IconBatchEngine::releaseEmblemIcon() const {
    const std::string icon = platform::emblemIconPath(workspace_.applicationSupportFolder());
    platform::FileStatus st;
    if (fs_.lstat(icon, st) != 0 || !st.isRegular()) {
        return;
    }
    try {
        for (const IconEngine& engine : pendingEngines(true)) {
            if (engine.anyRecordedEntry(leftFurballEmblem)) {
                return;
            }
        }
    } catch (const std::exception&) {
        return;  // the records could not all be read: the icon stays for the next run
    }
    // A failure leaves it for the next restore, retry or set-aside.
    if (fs_.unlink(icon) == 0) {
        (void)platform::syncDirectory(fs_, platform::deletingLastPathComponent(icon));
    }
}

OperationReport IconBatchEngine::setAside() const {
    const OperationLock lock(fs_, directory_, kBatchLockFileName);
    removeStaleTemporaries();
    OperationReport merged = restoreLocked();
    merged.remaining = 0;
    for (const IconEngine& engine : pendingEngines(false)) {
        try {
            merged.merge(engine.setAsideRemaining());
        } catch (const std::exception& error) {
            // The manifest stays where it is and still blocks a new skin.
            merged.errors.push_back(operationError(describe(error)));
            merged.remaining += 1;
        }
    }
    removeScopeIfDone(merged);
    releaseEmblemIcon();
    return merged;
}

OperationReport IconBatchEngine::retry() const {
    const OperationLock lock(fs_, directory_, kBatchLockFileName);
    removeStaleTemporaries();
    if (pendingScope()) {
        throw SkinError("请先完成当前还原，再重试已跳过的项目。");
    }
    OperationReport merged;
    BatchProgress progress(progress_);
    for (IconEngine& engine : pendingEngines(true)) {
        engine.setProgressHandler(progress.engine(std::nullopt));
        merged.merge(engine.retrySkipped());
        progress.engineDone();
    }
    sortUnique(merged.relaunchApplications);
    sortUnique(merged.missingItems);
    releaseEmblemIcon();
    return merged;
}

}  // namespace lumaro
