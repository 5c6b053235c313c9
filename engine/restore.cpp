// The restore transaction: an entry leaves the manifest only once its item is back in its
// original state or its backup is stored in a skip record.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "engine/batches.h"
#include "engine/icon_engine.h"
#include "platform/file_ops.h"
#include "platform/paths.h"
#include "platform/system_error.h"
#include "records/desktop_form.h"
#include "records/errors.h"
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
    std::set<std::string> touched;
    if (entry != nullptr) {
        touched.insert(name);
    }
    store.save(changed, file, &touched);
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

bool IconEngine::needsRestoringRecord(const BackupEntry& entry, const std::string& item,
                                      const IconContext& context) const {
    const platform::ItemHandle handle = openCheckedItem(fs_, item, entry.identity);
    tidyItem(handle, context, entry);
    return !planRestore(captureIconState(handle, context), entry, context).skinned.empty() &&
           entry.phase != kPhaseRestoring && entry.phase != kPhaseClearing;
}

platform::ItemHandle IconEngine::restoreForms(const BackupEntry& entry, const std::string& item,
                                              const IconContext& context, bool recorded) const {
    // Leftovers of a stopped change were tidied when the batch was checked (needsRestoringRecord).
    platform::ItemHandle handle = openCheckedItem(fs_, item, entry.identity);
    std::string blocked;
    try {
        requireRestorable(entry, context);
    } catch (const SkinError& error) {
        blocked = error.message();  // the forms that can be seen here still go back
    }
    const IconState current = captureIconState(handle, context);
    const RestorePlan plan = planRestore(current, entry, context);
    if (!plan.skinned.empty()) {
        if (!recorded && entry.phase != kPhaseRestoring && entry.phase != kPhaseClearing) {
            // Found original when its batch was recorded, skinned now: someone else's change.
            throw SkinError(kChangedSinceSkin);
        }
        if (identifyItem(fs_, item) != entry.identity) {
            throw SkinError("原位置出现了不同的项目，已保留备份");
        }
        handle = openCheckedItem(fs_, item, entry.identity);
        for (const IconFacet* facet : plan.skinned) {
            facet->restore(handle, context, entry, current);
        }
        if (context.kind == ItemKind::fileOrFolder) {
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

    // One entry of a batch: checked, then recorded "restoring" with the others, put back and
    // flushed, then removed with the others.
    struct Pending {
        std::size_t position;
        BackupEntry entry;
        std::string item;
        bool record = false;  // its forms go back only under a durable "restoring" entry
        bool done = false;    // back, verified and flushed but for the shared stores
    };
    std::vector<Pending> batch;
    Failures failures;
    std::size_t finished = 0;
    const auto fail = [&](Pending& pending, ItemError error) {
        pending.done = false;
        error.name = shownName(pending.entry);
        failures.emplace_back(pending.position, std::move(error));
    };
    const auto finishBatch = [&] {
        // The batch's "restoring" entries in one save before any of their items is written.
        std::set<std::string> marked;
        for (const Pending& pending : batch) {
            if (pending.record) {
                marked.insert(pending.entry.name);
            }
        }
        std::vector<std::pair<BackupEntry*, std::string>> before;
        for (BackupEntry& entry : manifest.entries) {
            if (marked.count(entry.name) > 0) {
                before.emplace_back(&entry, entry.phase);
                entry.phase = kPhaseRestoring;
            }
        }
        std::optional<ItemError> unsaved;
        if (!marked.empty()) {
            try {
                store.save(manifest, file, &marked);
            } catch (const std::exception& error) {
                unsaved = itemError({}, error);
                for (auto& [entry, phase] : before) {
                    entry->phase = phase;
                }
            }
        }
        bool shared = false;
        for (Pending& pending : batch) {
            if (pending.record && unsaved) {
                fail(pending, *unsaved);
                continue;
            }
            const IconContext context = contextFor(pending.entry, fileContext);
            try {
                // The item's original state must be on disk before its backup leaves the
                // manifest, and the backup goes only while the item is still where it was recorded.
                const platform::ItemHandle handle =
                    restoreForms(pending.entry, pending.item, context, pending.record);
                flushItem(handle, context, false);
                if (!handle.stillAtPath()) {
                    throw SkinError("原位置的项目已被替换");
                }
                pending.done = true;
                shared = shared || context.metadata != nullptr;
            } catch (const std::exception& error) {
                fail(pending, itemError({}, error));
            }
        }
        if (shared) {
            try {
                flushShared(fileContext);
            } catch (const std::exception& error) {
                for (Pending& pending : batch) {
                    if (pending.done) {
                        fail(pending, itemError({}, error));
                    }
                }
            }
        }
        // The restored entries leave the manifest in one save; the manifest in memory changes
        // only once it succeeded.
        std::set<std::string> leaving;
        for (const Pending& pending : batch) {
            if (pending.done) {
                leaving.insert(pending.entry.name);
            }
        }
        if (!leaving.empty()) {
            std::vector<BackupEntry> all = std::move(manifest.entries);
            std::vector<std::pair<std::size_t, BackupEntry>> gone;
            manifest.entries.clear();
            manifest.entries.reserve(all.size() - leaving.size());
            for (std::size_t i = 0; i < all.size(); ++i) {
                if (leaving.count(all[i].name) > 0) {
                    gone.emplace_back(i, std::move(all[i]));
                } else {
                    manifest.entries.push_back(std::move(all[i]));
                }
            }
            try {
                const std::set<std::string> noneChanged;
                store.save(manifest, file, &noneChanged);
            } catch (const std::exception& error) {
                std::vector<BackupEntry> kept = std::move(manifest.entries);
                manifest.entries.clear();
                auto next = gone.begin();
                for (auto rest = kept.begin(); rest != kept.end() || next != gone.end();) {
                    if (next != gone.end() && next->first == manifest.entries.size()) {
                        manifest.entries.push_back(std::move((next++)->second));
                    } else {
                        manifest.entries.push_back(std::move(*rest++));
                    }
                }
                for (Pending& pending : batch) {
                    if (pending.done) {
                        fail(pending, itemError({}, error));
                    }
                }
            }
        }
        for (const Pending& pending : batch) {
            if (!pending.done) {
                continue;
            }
            ++report.succeeded;
            const std::string& name = pending.entry.name;
            if (!pending.entry.isDesktopEntry()) {
                noteRelaunch(name, pending.item, running, report);
            } else if (launched.count(platform::appendPathComponent(root, name)) > 0) {
                report.relaunchApplications.push_back(shownName(pending.entry));
            }
        }
        finished += batch.size();
        batch.clear();
        reportFailures(failures, report);
    };

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
        // A desktop entry's item is the root, its copy the root's child named by the ID.
        Pending pending{index, *found,
                        found->isDesktopEntry() ? root : platform::appendPathComponent(root, name)};
        const IconContext context = contextFor(pending.entry, fileContext);
        try {
            if (identifyItem(fs_, root) != manifest.rootIdentity) {
                throw SkinError(kRootReplaced);
            }
            if (itemIsMissing(pending.item, rootDevice)) {
                handleVanished(store, file, manifest, pending.entry, pending.item, context, recordSkips);
                ++report.skipped;
                report.missingItems.push_back(shownName(pending.entry));
                continue;
            }
            if (identifyItem(fs_, pending.item) != pending.entry.identity) {
                if (clearReplaced(store, file, manifest, pending.entry, pending.item, context)) {
                    fail(pending, ItemError{{}, ErrorKind::item, kClearedFromNewcomer});
                }
                throw SkinError("原位置的项目已被替换");
            }
            pending.record = needsRestoringRecord(pending.entry, pending.item, context);
            batch.push_back(std::move(pending));
        } catch (const std::exception& error) {
            fail(pending, itemError({}, error));
        }
        if (batch.size() >= restoreBatchSize(finished, names.size() - finished)) {
            finishBatch();
        }
    }
    finishBatch();
    if (manifest.entries.empty()) {
        store.remove(file);
    }
    report.remaining = recordSkips ? static_cast<std::int64_t>(manifest.entries.size()) : 0;
    return report;
}

IconContext IconEngine::contextFor(const BackupEntry& entry, const IconContext& fileContext) const {
    IconContext context = fileContext;
    // The emblem list is checked and put back wherever the record holds it, whatever the session.
    context.emblems = holdsEmblems(entry.original) || holdsEmblems(entry.applied);
    if (entry.isDesktopEntry()) {
        context.kind = ItemKind::desktopEntry;
        context.entryId = &entry.name;
        context.metadata = nullptr;  // an entry's icon is its file alone
    }
    return context;
}

}  // namespace lumaro
