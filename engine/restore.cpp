// The restore transaction: an entry leaves the manifest only once its item is back in its
// original state or its backup is stored in a skip record.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "engine/icon_engine.h"
#include "platform/file_ops.h"
#include "platform/paths.h"
#include "platform/system_error.h"
#include "records/errors.h"
#include "records/desktop_form.h"
#include "records/icon_facet.h"
#include "records/identity.h"
#include "records/operation_lock.h"

namespace lumaro {

namespace {

constexpr const char* kRootReplaced = "原文件夹已被替换，已保留备份。";
constexpr const char* kClearedFromNewcomer = "已移除原位置新项目上残留的毛球图标";

std::vector<BackupEntry>::iterator findEntry(BackupManifest& manifest, const std::string& name) {
    return std::find_if(manifest.entries.begin(), manifest.entries.end(),
                        [&](const BackupEntry& entry) { return entry.name == name; });
}

// How reports name an entry: a desktop entry by the name its launcher shows.
std::string shownName(const BackupEntry& entry) {
    return entry.isDesktopEntry() ? desktopEntryDisplayName(entry) : entry.name;
}

}  // namespace

OperationReport IconEngine::restore() const {
    const OperationLock lock(fs_, directory_, kEngineLockFileName);
    removeStaleBackupTemporaries(fs_, directory_);
    ManifestStore store(fs_, directory_);
    return restoreManifest(store, manifestPath(), true);
}

bool IconEngine::itemIsMissing(const std::string& path, std::int32_t device) const {
    platform::FileStatus st;
    int err = fs_.lstat(path, st);
    if (err == 0) {
        return false;
    }
    if (err != ENOENT) {
        throw SkinError("项目无法访问，已保留备份：" + platform::lastPathComponent(path));
    }
    std::string ancestor = platform::deletingLastPathComponent(platform::standardizePath(path));
    for (;;) {
        err = fs_.lstat(ancestor, st);
        if (err == 0) {
            if (st.isDirectory() && st.device == device) {
                return true;
            }
            throw SkinError("原磁盘尚未连接或文件夹不可用，已保留备份。");
        }
        if (err != ENOENT || ancestor == "/") {
            throw SkinError("原文件夹无法访问，已保留备份。");
        }
        ancestor = platform::deletingLastPathComponent(ancestor);
    }
}

// Saves `manifest` with `entry` in place of the entry of its name, or without it when `entry`
// is null; the copy in memory changes only once the save succeeded.
void IconEngine::saveChanged(ManifestStore& store, const std::string& file, BackupManifest& manifest,
                             const std::string& name, const BackupEntry* entry) const {
    BackupManifest changed = manifest;
    const auto found = findEntry(changed, name);
    if (found != changed.entries.end()) {
        if (entry != nullptr) {
            *found = *entry;
        } else {
            changed.entries.erase(found);
        }
    }
    store.save(changed, file);
    manifest = std::move(changed);
}

void IconEngine::handleVanished(ManifestStore& store, const std::string& file, BackupManifest& manifest,
                                BackupEntry entry, const std::string& item, const IconContext& context,
                                bool recordSkips) const {
    // What the skin kept by path is taken back only once a record that allows for it is durable.
    const bool byPath = keptByPath(entry, context);
    if (byPath) {
        entry.phase = kPhaseClearing;
    }
    if (recordSkips) {
        BackupManifest single = manifest;
        single.entries = {entry};
        archiveMissing(store, single);
        saveChanged(store, file, manifest, entry.name, nullptr);
    } else if (byPath && findEntry(manifest, entry.name)->phase != kPhaseClearing) {
        saveChanged(store, file, manifest, entry.name, &entry);
    }
    if (byPath) {
        (void)clearAtPath(item, entry, context, true);
    }
}

bool IconEngine::clearReplaced(ManifestStore& store, const std::string& file, BackupManifest& manifest,
                               BackupEntry entry, const std::string& item, const IconContext& context) const {
    if (!keptByPath(entry, context)) {
        return false;
    }
    if (entry.phase != kPhaseClearing) {
        entry.phase = kPhaseClearing;
        saveChanged(store, file, manifest, entry.name, &entry);
    }
    return clearAtPath(item, entry, context, false);
}

platform::ItemHandle IconEngine::restoreForms(ManifestStore& store, const std::string& file,
                                              BackupManifest& manifest, BackupEntry entry,
                                              const std::string& item, const IconContext& context) const {
    platform::ItemHandle handle = openCheckedItem(fs_, item, entry.identity);
    tidyItem(handle, context, entry);
    std::string blocked;
    try {
        requireRestorable(entry, context);
    } catch (const SkinError& error) {
        blocked = error.message();  // the forms that can be seen here still go back
    }
    const IconState current = captureIconState(handle, context);
    const RestorePlan plan = planRestore(current, entry, context);
    if (!plan.skinned.empty()) {
        if (entry.phase != kPhaseRestoring && entry.phase != kPhaseClearing) {
            entry.phase = kPhaseRestoring;
            saveChanged(store, file, manifest, entry.name, &entry);
        }
        if (identifyItem(fs_, item) != entry.identity) {
            throw SkinError("原位置出现了不同的项目，已保留备份");
        }
        handle = openCheckedItem(fs_, item, entry.identity);
        for (const IconFacet* facet : plan.skinned) {
            facet->restore(handle, context, entry, current);
        }
        if (context.entryId == nullptr) {
            workspace_.noteFileSystemChanged(item);
        }
        const IconState after = captureIconState(handle, context);
        for (const IconFacet* facet : plan.skinned) {
            if (!facet->matches(after, entry.original)) {
                throw SkinError("还原校验未通过，已保留备份");
            }
        }
    }
    if (plan.changed) {
        throw SkinError(kChangedSinceSkin);
    }
    if (!blocked.empty()) {
        throw SkinError(blocked);
    }
    return handle;
}

OperationReport IconEngine::restoreManifest(ManifestStore& store, const std::string& file,
                                            bool recordSkips) const {
    OperationReport report;
    std::optional<BackupManifest> loaded = store.read(file);
    if (!loaded) {
        return report;
    }
    BackupManifest& manifest = *loaded;
    if (manifest.entries.empty()) {
        // Nothing left to restore: whatever became of the root, the file only blocks new skins.
        store.remove(file);
        report.remaining = 0;
        return report;
    }
    const std::string root = platform::standardizePath(manifest.rootPath);
    const std::int32_t rootDevice = manifest.rootIdentity.device;
    const IconContext fileContext = iconContext();

    if (itemIsMissing(root, rootDevice)) {
        if (recordSkips) {
            BackupManifest marked = manifest;
            for (BackupEntry& entry : marked.entries) {
                entry.phase = keptByPath(entry, contextFor(entry, fileContext)) ? kPhaseClearing : entry.phase;
            }
            archiveMissing(store, marked);
            store.remove(file);
            for (const BackupEntry& entry : marked.entries) {
                if (!entry.isDesktopEntry()) {
                    (void)clearAtPath(platform::appendPathComponent(root, entry.name), entry, fileContext, true);
                }
            }
        }
        report.skipped = static_cast<std::int64_t>(manifest.entries.size());
        for (const BackupEntry& entry : manifest.entries) {
            report.missingItems.push_back(shownName(entry));
        }
        return report;
    }
    if (identifyItem(fs_, root) != manifest.rootIdentity) {
        throw SkinError(kRootReplaced);
    }
    const std::set<std::string> running = runningApplicationPaths();
    std::set<std::string> entryCopies;
    for (const BackupEntry& entry : manifest.entries) {
        if (entry.isDesktopEntry()) {
            entryCopies.insert(platform::appendPathComponent(root, entry.name));
        }
    }
    const std::set<std::string> launched =
        entryCopies.empty() ? std::set<std::string>() : workspace_.launchedDesktopFiles(entryCopies);

    std::vector<std::string> names;
    names.reserve(manifest.entries.size());
    for (const BackupEntry& entry : manifest.entries) {
        names.push_back(entry.name);
    }
    std::size_t index = 0;
    for (const std::string& name : names) {
        reportProgress(++index, names.size(), name);
        const auto found = findEntry(manifest, name);
        if (found == manifest.entries.end()) {
            continue;
        }
        const BackupEntry entry = *found;
        // A desktop entry's item is the root, its copy the root's child named by the ID.
        const bool desktopEntry = entry.isDesktopEntry();
        const std::string item = desktopEntry ? root : platform::appendPathComponent(root, name);
        const IconContext context = contextFor(entry, fileContext);
        const std::string shown = shownName(entry);
        try {
            if (identifyItem(fs_, root) != manifest.rootIdentity) {
                throw SkinError(kRootReplaced);
            }
            if (itemIsMissing(item, rootDevice)) {
                handleVanished(store, file, manifest, entry, item, context, recordSkips);
                ++report.skipped;
                report.missingItems.push_back(shown);
                continue;
            }
            if (identifyItem(fs_, item) != entry.identity) {
                if (clearReplaced(store, file, manifest, entry, item, context)) {
                    report.errors.push_back(errorLine(shown, kClearedFromNewcomer));
                }
                throw SkinError("原位置的项目已被替换");
            }
            const platform::ItemHandle handle = restoreForms(store, file, manifest, entry, item, context);
            // The item's original state must be on disk before its backup leaves the manifest,
            // and the backup goes only while the item is still where it was recorded.
            flushItem(handle, context);
            if (!handle.stillAtPath()) {
                throw SkinError("原位置的项目已被替换");
            }
            saveChanged(store, file, manifest, name, nullptr);
            ++report.succeeded;
            if (!desktopEntry) {
                noteRelaunch(name, item, running, report);
            } else if (launched.count(platform::appendPathComponent(root, name)) > 0) {
                report.relaunchApplications.push_back(shown);
            }
        } catch (const std::exception& error) {
            report.errors.push_back(errorLine(shown, describe(error)));
        }
    }
    if (manifest.entries.empty()) {
        store.remove(file);
    }
    report.remaining = recordSkips ? static_cast<std::int64_t>(manifest.entries.size()) : 0;
    return report;
}

IconContext IconEngine::contextFor(const BackupEntry& entry, const IconContext& fileContext) const {
    IconContext context = fileContext;
    if (entry.isDesktopEntry()) {
        context.entryId = &entry.name;
        context.metadata = nullptr;  // an entry's icon is its file alone
    }
    return context;
}

}  // namespace lumaro
