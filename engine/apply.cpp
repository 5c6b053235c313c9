// The apply transaction: the record on disk always runs ahead of the changes.
#include <unistd.h>

#include <cerrno>
#include <unordered_map>

#include "engine/icon_engine.h"
#include "platform/file_ops.h"
#include "platform/key_file.h"
#include "platform/paths.h"
#include "platform/system_error.h"
#include "records/errors.h"
#include "records/icon_facet.h"
#include "records/identity.h"
#include "records/operation_lock.h"

namespace lumaro {

// The icon writer's result depends on nothing but the item's kind and its original icon state,
// so within one run a rehearsal is made once for each distinct (kind, state) and reused.
class IconEngine::PredictionCache {
  public:
    const IconState* find(std::uint16_t type, const IconState& original) const {
        const auto range = entries_.equal_range(key(type, original));
        for (auto it = range.first; it != range.second; ++it) {
            if (it->second.type == type && it->second.original == original) {
                return &it->second.predicted;
            }
        }
        return nullptr;
    }
    void add(std::uint16_t type, const IconState& original, const IconState& predicted) {
        entries_.emplace(key(type, original), Entry{type, original, predicted});
    }

  private:
    struct Entry {
        std::uint16_t type;
        IconState original;
        IconState predicted;
    };
    static std::uint64_t key(std::uint16_t type, const IconState& state) {
        return hashIconState(state, 14695981039346656037ull ^ type);
    }
    std::unordered_multimap<std::uint64_t, Entry> entries_;
};

struct IconEngine::ApplyRun {
    ManifestStore store;
    std::string file;
    BackupManifest manifest;
    PredictionCache predictions;
};

std::set<std::string> IconEngine::runningApplicationPaths() const {
    std::set<std::string> paths;
    for (const platform::RunningApplication& application : workspace_.runningApplications()) {
        if (!application.bundlePath.empty()) {
            paths.insert(platform::standardizePath(application.bundlePath));
        }
    }
    return paths;
}

void IconEngine::noteRelaunch(const std::string& name, const std::string& item,
                              const std::set<std::string>& running, OperationReport& report) {
    if (platform::asciiLower(platform::pathExtension(name)) == "app" &&
        running.count(platform::standardizePath(item)) > 0) {
        report.relaunchApplications.push_back(platform::deletingPathExtension(name));
    }
}

void IconEngine::reportProgress(std::size_t index, std::size_t total, const std::string& name) const {
    if (progress_) {
        progress_(index, total, name);
    }
}

OperationReport IconEngine::apply(const std::string& root, bool includeApplications, bool applicationsOnly,
                                  const std::optional<std::set<std::string>>& only) const {
    const OperationLock lock(fs_, directory_, kEngineLockFileName);
    refuseWhilePending();
    const std::string rootPath = platform::standardizePath(root);
    const FileIdentity rootIdentity = validateTarget(rootPath);
    const std::set<std::string> hiddenNames = platform::hiddenNamesIn(fs_, rootPath);
    const std::vector<std::string> names = listItems(rootPath, hiddenNames);

    const std::set<std::string> running = runningApplicationPaths();
    const IconContext context = iconContext();
    ApplyRun run = startRun(rootPath, rootIdentity, context);

    OperationReport report;
    report.desktopMetadataUnavailable = context.metadata == nullptr;
    std::size_t position = 0;
    for (const std::string& name : names) {
        ++position;
        if (only && only->count(name) == 0) {
            continue;
        }
        reportProgress(position, names.size(), name);
        const std::string item = platform::appendPathComponent(rootPath, name);
        try {
            if (!isEligible(item, includeApplications, applicationsOnly, hiddenNames)) {
                ++report.skipped;
                continue;
            }
            if (identifyItem(fs_, rootPath) != rootIdentity) {
                throw SkinError("所选文件夹已被替换");
            }
            applyItem(run, name, item, identifyItem(fs_, item), context);
            ++report.succeeded;
            noteRelaunch(name, item, running, report);
        } catch (const std::exception& error) {
            report.errors.push_back(errorLine(name, describe(error)));
        }
    }
    report.remaining = static_cast<std::int64_t>(run.manifest.entries.size());
    return report;
}

void IconEngine::refuseWhilePending() const {
    removeStaleBackupTemporaries(fs_, directory_);
    if (loadManifest()) {
        throw SkinError(kPendingSkinMessage);
    }
}

IconEngine::ApplyRun IconEngine::startRun(const std::string& rootPath, const FileIdentity& rootIdentity,
                                          const IconContext& context) const {
    // Before the first item: every Linux form of every item points at this file.
    platform::throwIfFailed(platform::ensureIconFile(fs_, context.iconFile, icon_->png()), context.iconFile);
    if (context.emblems) {
        // The badge names a theme icon: the furball, installed in the user's icon theme folder.
        const std::string folder = platform::deletingLastPathComponent(context.emblemIcon);
        platform::throwIfFailed(platform::createDirectories(fs_, folder, 0700), folder);
        platform::throwIfFailed(platform::ensureIconFile(fs_, context.emblemIcon, icon_->png()), context.emblemIcon);
    }
    BackupManifest manifest;
    manifest.rootPath = rootPath;
    manifest.rootIdentity = rootIdentity;
    manifest.createdAt = currentReferenceTime();
    return ApplyRun{ManifestStore(fs_, directory_), manifestPath(), std::move(manifest), {}};
}

void IconEngine::applyItem(ApplyRun& run, const std::string& name, const std::string& item,
                           const FileIdentity& identity, const IconContext& context) const {
    const IconState original = captureIconState(openCheckedItem(fs_, item, identity), context);
    // A desktop entry's new copy also depends on the installed entry: computed every time.
    const bool cached = context.kind == ItemKind::fileOrFolder;
    const IconState* known = cached ? run.predictions.find(identity.type, original) : nullptr;
    const IconState predicted = known ? *known : predictAppliedState(identity.type, original, context);
    if (cached && !known) {
        run.predictions.add(identity.type, original, predicted);
    }

    // Once saved, the entry stays in the manifest, whatever happens to this item; an entry whose
    // save failed never goes into the next item's save.
    run.manifest.entries.push_back(
        {name, identity, original, predicted, kPhasePrepared, context.kind});
    const std::size_t index = run.manifest.entries.size() - 1;
    try {
        run.store.save(run.manifest, run.file);
    } catch (...) {
        run.manifest.entries.pop_back();
        throw;
    }

    // Everything from the recheck to the flush goes through one descriptor checked here.
    const platform::ItemHandle target = openCheckedItem(fs_, item, identity);
    if (captureIconState(target, context) != original) {
        throw SkinError(kChangedSinceBackup);
    }
    const IconState after = skinItem(target, context, original);
    // The item's new state must be on disk before the entry says "applied": a restore refuses
    // for good an applied entry whose item shows only part of the skin.
    flushItem(target, context);
    if (!target.stillAtPath()) {
        throw SkinError("原位置的项目已被替换");
    }
    run.manifest.entries[index].applied = after;
    run.manifest.entries[index].phase = kPhaseApplied;
    run.store.save(run.manifest, run.file);
    // Launchers watch their folders and redraw by themselves.
    if (context.kind == ItemKind::fileOrFolder) {
        workspace_.noteFileSystemChanged(item);
    }
}

OperationReport IconEngine::applyDesktopEntries(const std::string& folder,
                                                const std::vector<DesktopEntryItem>& entries) const {
    const OperationLock lock(fs_, directory_, kEngineLockFileName);
    refuseWhilePending();
    const std::string rootPath = platform::standardizePath(folder);
    const FileIdentity rootIdentity = validateTarget(rootPath);
    OperationReport report;
    if (fs_.access(rootPath, W_OK) != 0) {
        for (const DesktopEntryItem& entry : entries) {
            report.errors.push_back(errorLine(entry.displayName, "应用没有写入权限，已跳过"));
        }
        return report;
    }
    IconContext context = iconContext();
    context.metadata = nullptr;  // an entry's icon is its file alone
    context.kind = ItemKind::desktopEntry;
    ApplyRun run = startRun(rootPath, rootIdentity, context);

    std::set<std::string> entryPaths;
    for (const DesktopEntryItem& entry : entries) {
        entryPaths.insert(entry.sourcePath);
        entryPaths.insert(platform::appendPathComponent(rootPath, entry.id));
    }
    const std::set<std::string> launched = workspace_.launchedDesktopFiles(entryPaths);

    std::size_t position = 0;
    for (const DesktopEntryItem& entry : entries) {
        reportProgress(++position, entries.size(), entry.displayName);
        try {
            Bytes source;
            const int err = platform::readRegularFile(fs_, entry.sourcePath, platform::kMaxKeyFileSize, source);
            if (err == ELOOP || err == EINVAL || err == EFBIG) {
                throw SkinError("应用的启动项不是普通文件，已跳过");
            }
            platform::throwIfFailed(err, entry.sourcePath);
            context.entryId = &entry.id;
            context.entrySource = &source;
            applyItem(run, entry.id, rootPath, rootIdentity, context);
            ++report.succeeded;
            if (launched.count(entry.sourcePath) > 0 ||
                launched.count(platform::appendPathComponent(rootPath, entry.id)) > 0) {
                report.relaunchApplications.push_back(entry.displayName);
            }
        } catch (const std::exception& error) {
            report.errors.push_back(errorLine(entry.displayName, describe(error)));
        }
        context.entryId = nullptr;
        context.entrySource = nullptr;
    }
    report.remaining = static_cast<std::int64_t>(run.manifest.entries.size());
    return report;
}

}  // namespace lumaro
