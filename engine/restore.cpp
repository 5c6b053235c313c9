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

std::vector<BackupEntry>::iterator findEntry(BackupManifest& manifest, const std::string& name) {
    return std::find_if(manifest.entries.begin(), manifest.entries.end(),
                        [&](const BackupEntry& entry) { return entry.name == name; });
}

// How reports name an entry: a desktop entry by the name its launcher shows.
std::string shownName(const BackupEntry& entry) {
    return entry.isDesktopEntry() ? desktopEntryDisplayName(entry) : entry.name;
}

void eraseEntry(BackupManifest& manifest, const std::string& name) {
    const auto it = findEntry(manifest, name);
    if (it != manifest.entries.end()) {
        manifest.entries.erase(it);
    }
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

bool IconEngine::clearVanishedMetadata(BackupEntry& entry, const std::string& item,
                                       const IconContext& context) const {
    const std::string* ours = skinnedCustomIcon(entry);
    if (context.metadata == nullptr || ours == nullptr) {
        return false;
    }
    // A failure leaves the key and the record as they are; the next restore or retry tries again.
    if (context.metadata->clearIfOurs(item, *ours) != 0) {
        return false;
    }
    // The record follows what the running store now holds. Should a power loss undo the removal,
    // an item that comes back shows our icon where the record says none, and is refused with its
    // backup kept: the removal protects a newcomer, no backup depends on it.
    (void)context.metadata->flush();
    entry.applied.desktop->metadata->customIcon.reset();
    return true;
}

platform::ItemHandle IconEngine::restoreItem(const BackupEntry& entry, const std::string& item,
                                             const IconContext& context) const {
    if (identifyItem(fs_, item) != entry.identity) {
        throw SkinError("原位置出现了不同的项目，已保留备份");
    }
    platform::ItemHandle handle = openCheckedItem(fs_, item, entry.identity);
    restoreIconState(handle, context, entry, captureIconState(handle, context));
    if (context.entryId == nullptr) {
        workspace_.noteFileSystemChanged(item);
    }
    if (!iconStateMatches(captureIconState(handle, context), entry.original)) {
        throw SkinError("还原校验未通过，已保留备份");
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

    if (itemIsMissing(root, rootDevice)) {
        if (recordSkips) {
            archiveMissing(store, manifest);
            store.remove(file);
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
    const IconContext fileContext = iconContext();
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
        BackupEntry entry = *found;
        // A desktop entry's item is the root, its copy the root's child named by the ID.
        const bool desktopEntry = entry.isDesktopEntry();
        const std::string item = desktopEntry ? root : platform::appendPathComponent(root, name);
        IconContext context = fileContext;
        context.emblems = holdsEmblems(entry.original) || holdsEmblems(entry.applied);
        if (desktopEntry) {
            context.entryId = &entry.name;
            context.metadata = nullptr;
        }
        const std::string shown = shownName(entry);
        try {
            if (identifyItem(fs_, root) != manifest.rootIdentity) {
                throw SkinError(kRootReplaced);
            }
            if (itemIsMissing(item, rootDevice)) {
                const bool cleared = clearVanishedMetadata(entry, item, context);
                if (recordSkips) {
                    BackupManifest single = manifest;
                    single.entries = {entry};
                    archiveMissing(store, single);
                    eraseEntry(manifest, name);
                    store.save(manifest, file);
                } else if (cleared) {
                    *findEntry(manifest, name) = entry;
                    store.save(manifest, file);
                }
                ++report.skipped;
                report.missingItems.push_back(shown);
                continue;
            }
            platform::ItemHandle handle = openCheckedItem(fs_, item, entry.identity);
            requireRestorable(entry, context);
            const IconState current = captureIconState(handle, context);
            if (!iconStateMatches(current, entry.original)) {
                const bool unchanged = entry.phase == kPhaseApplied
                                           ? iconStateMatches(current, entry.applied)
                                           : stateMatchesEither(current, entry.original, entry.applied);
                if (!unchanged) {
                    throw SkinError("图标或资源数据在换肤后被修改，已跳过并保留备份");
                }
                entry.phase = kPhaseRestoring;
                *findEntry(manifest, name) = entry;
                store.save(manifest, file);
                handle = restoreItem(entry, item, context);
            }
            // The item's original state must be on disk before its backup leaves the manifest,
            // and the backup goes only while the item is still where it was recorded.
            flushItem(handle, context);
            if (!handle.stillAtPath()) {
                throw SkinError("原位置的项目已被替换");
            }
            eraseEntry(manifest, name);
            store.save(manifest, file);
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

}  // namespace lumaro
