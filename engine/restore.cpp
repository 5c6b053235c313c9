// The restore transaction: an entry leaves the manifest only once its item is back in its
// original state or its backup is stored in a skip record.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "engine/batches.h"
#include "engine/icon_engine.h"
#include "engine/pipelined_writes.h"
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

bool IconEngine::itemIsMissing(const std::string& path, std::int32_t device,
                               platform::FileStatus* found) const {
    platform::FileStatus st;
    int err = fs_.lstat(path, st);
    if (err == 0) {
        if (found != nullptr) {
            *found = st;
        }
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
                                BackupEntry entry, const std::string& item,
                                const IconContext& context) const {
    // What the skin kept by path is taken back only once a record that allows for it is durable.
    if (!keptByPath(entry, context)) {
        return;
    }
    entry.phase = kPhaseClearing;
    if (findEntry(manifest, entry.name)->phase != kPhaseClearing) {
        saveChanged(store, file, manifest, entry.name, &entry);
    }
    (void)clearAtPath(item, entry, context, true);
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

// What the check of an item about to be put back found, kept for its write-back.
struct IconEngine::RestoreForms {
    platform::ItemHandle handle;
    IconState current;
    RestorePlan plan;
    std::string blocked;  // why some form cannot be checked here: the item fails once the others are back
};

IconEngine::RestoreForms IconEngine::checkForms(const BackupEntry& entry, const std::string& item,
                                                const IconContext& context, bool recorded) const {
    // Leftovers of a stopped change were tidied when the batch was checked (needsRestoringRecord).
    RestoreForms forms{openCheckedItem(fs_, item, entry.identity), {}, {}, {}};
    try {
        requireRestorable(entry, context);
    } catch (const SkinError& error) {
        forms.blocked = error.message();  // the forms that can be seen here still go back
    }
    forms.current = captureIconState(forms.handle, context);
    forms.plan = planRestore(forms.current, entry, context);
    if (!forms.plan.skinned.empty()) {
        if (!recorded && entry.phase != kPhaseRestoring && entry.phase != kPhaseClearing) {
            // Found original when its batch was recorded, skinned now: someone else's change.
            throw SkinError(kChangedSinceSkin);
        }
        // The store's keys go by path: the path must still name the item, which the handle holds
        // since its checked open.
        if (identifyItem(fs_, item) != entry.identity) {
            throw SkinError("原位置出现了不同的项目，已保留备份");
        }
        // The writes the restore will make to the metadata store, noted to be sent with the group's;
        // nothing after this may refuse the item before its write-back.
        for (const IconFacet* facet : forms.plan.skinned) {
            facet->restoreAhead(forms.handle, context, entry, forms.current);
        }
    }
    return forms;
}

void IconEngine::restoreForms(const BackupEntry& entry, const std::string& item, const IconContext& context,
                              const RestoreForms& forms) const {
    for (const IconFacet* facet : forms.plan.skinned) {
        facet->restore(forms.handle, context, entry, forms.current);
    }
    if (!forms.plan.skinned.empty() && context.kind == ItemKind::fileOrFolder) {
        workspace_.noteFileSystemChanged(item);
    }
}

void IconEngine::verifyRestored(const BackupEntry& entry, const IconContext& context,
                                const RestoreForms& forms) const {
    if (!forms.plan.skinned.empty()) {
        const IconState after = captureIconState(forms.handle, context);
        for (const IconFacet* facet : forms.plan.skinned) {
            if (!facet->matches(after, entry.original)) {
                throw SkinError("还原校验未通过，已保留备份");
            }
        }
    }
    if (forms.plan.changed) {
        throw SkinError(kChangedSinceSkin);
    }
    if (!forms.blocked.empty()) {
        throw SkinError(forms.blocked);
    }
}

// One entry of a batch: checked, then recorded "restoring" with the others, put back and
// flushed, then removed with the others.
struct IconEngine::RestoreItem {
    std::size_t position;
    BackupEntry entry;
    std::string item;
    bool record = false;   // its forms go back only under a durable "restoring" entry
    bool done = false;     // back, verified and flushed but for the shared stores
    bool counted = false;  // told to the progress handler
};

struct IconEngine::RestoreRun {
    ManifestStore& store;
    const std::string& file;
    bool recordSkips;
    BackupManifest manifest;
    std::string root;
    IconContext fileContext;
    std::vector<RestoreItem> vanished = {};  // gone; their entries go into a skip record at the next batch
    std::set<std::string> running = {};      // the running applications' paths
    std::set<std::string> launched = {};     // the desktop entries' copies that were launched
    ItemCount count = {};
    OperationReport report = {};
    Failures failures = {};

    void countIn(RestoreItem& pending) {
        if (!pending.counted) {  // its shown name made only once
            count.doneOnce(pending.counted, shownName(pending.entry));
        }
    }

    void fail(RestoreItem& pending, ItemError error) {
        pending.done = false;
        error.name = shownName(pending.entry);
        failures.emplace_back(pending.position, std::move(error));
    }
};

OperationReport IconEngine::restoreManifest(ManifestStore& store, const std::string& file,
                                            bool recordSkips) const {
    std::optional<BackupManifest> loaded = store.readForUpdate(file);
    if (!loaded) {
        return {};
    }
    if (loaded->entries.empty()) {
        // Nothing left to restore: whatever became of the root, the file only blocks new skins.
        store.remove(file);
        return {};
    }
    const std::string root = platform::standardizePath(loaded->rootPath);
    RestoreRun run{store, file, recordSkips, std::move(*loaded), root, iconContext()};
    BackupManifest& manifest = run.manifest;
    if (itemIsMissing(root, manifest.rootIdentity.device)) {
        return restoreMissingRoot(run);
    }
    if (identifyItem(fs_, root) != manifest.rootIdentity) {
        throw SkinError(kRootReplaced);
    }
    run.running = runningApplicationPaths();
    std::set<std::string> entryCopies;
    for (const BackupEntry& entry : manifest.entries) {
        if (entry.isDesktopEntry()) {
            entryCopies.insert(platform::appendPathComponent(root, entry.name));
        }
    }
    if (!entryCopies.empty()) {
        run.launched = workspace_.launchedDesktopFiles(entryCopies);
    }

    std::vector<std::string> names;
    names.reserve(manifest.entries.size());
    for (const BackupEntry& entry : manifest.entries) {
        names.push_back(entry.name);
    }
    std::vector<RestoreItem> batch, checking;
    std::size_t index = 0;
    std::size_t batchStart = 0;  // the names before the batch's first
    const auto batchFull = [&](std::size_t more) {
        return batch.size() + more >= batchSize(names.size() - batchStart, batchLimit_);
    };
    run.count = ItemCount(&progress_, names.size());
    for (const std::string& name : names) {
        ++index;
        // The entries not yet reached are the manifest's last ones, in order: this one is first of them.
        const std::size_t ahead = names.size() - index + 1;
        auto found =
            manifest.entries.end() - static_cast<std::ptrdiff_t>(std::min(ahead, manifest.entries.size()));
        if (found == manifest.entries.end() || found->name != name) {
            found = findEntry(manifest, name);
        }
        if (found == manifest.entries.end()) {
            run.count.done(name);
            continue;
        }
        // A desktop entry's item is the root, its copy the root's child named by the ID.
        RestoreItem pending{index, *found,
                            found->isDesktopEntry() ? root : platform::appendPathComponent(root, name)};
        const std::string shown = shownName(pending.entry);
        if (checkRestoreItem(run, pending)) {
            checking.push_back(std::move(pending));
        } else {
            run.count.done(shown);
        }
        if (checking.size() >= groupSize_ || batchFull(checking.size())) {
            checkRecords(run, checking, batch);
        }
        if (batchFull(0)) {
            restoreBatch(run, batch);
            batchStart = index;
        }
    }
    checkRecords(run, checking, batch);
    restoreBatch(run, batch);
    if (manifest.entries.empty()) {
        store.remove(file);
    }
    run.report.remaining = recordSkips ? static_cast<std::int64_t>(manifest.entries.size()) : 0;
    return std::move(run.report);
}

OperationReport IconEngine::restoreMissingRoot(RestoreRun& run) const {
    const BackupManifest& manifest = run.manifest;
    run.store.forget(run.file);  // never saved again: its text is not held beside the record's
    if (run.recordSkips) {
        BackupManifest marked = manifest;
        for (BackupEntry& entry : marked.entries) {
            entry.phase =
                keptByPath(entry, contextFor(entry, run.fileContext)) ? kPhaseClearing : entry.phase;
        }
        archiveMissing(run.store, marked);
        run.store.remove(run.file);
        for (const BackupEntry& entry : marked.entries) {
            if (!entry.isDesktopEntry()) {
                (void)clearAtPath(platform::appendPathComponent(run.root, entry.name), entry, run.fileContext,
                                  true);
            }
        }
    }
    OperationReport report;
    report.skipped = static_cast<std::int64_t>(manifest.entries.size());
    for (const BackupEntry& entry : manifest.entries) {
        report.missingItems.push_back(shownName(entry));
    }
    return report;
}

bool IconEngine::checkRestoreItem(RestoreRun& run, RestoreItem& pending) const {
    const IconContext context = contextFor(pending.entry, run.fileContext);
    try {
        if (identifyItem(fs_, run.root) != run.manifest.rootIdentity) {
            throw SkinError(kRootReplaced);
        }
        platform::FileStatus found;
        if (itemIsMissing(pending.item, run.manifest.rootIdentity.device, &found)) {
            if (run.recordSkips) {
                // Into a skip record with the others found gone before its batch.
                run.vanished.push_back(std::move(pending));
                return false;
            }
            handleVanished(run.store, run.file, run.manifest, pending.entry, pending.item, context);
            ++run.report.skipped;
            run.report.missingItems.push_back(shownName(pending.entry));
            return false;
        }
        if (identifyItem(found, pending.item) != pending.entry.identity) {
            if (clearReplaced(run.store, run.file, run.manifest, pending.entry, pending.item, context)) {
                run.fail(pending, ItemError{{}, ErrorKind::item, kClearedFromNewcomer});
            }
            throw SkinError("原位置的项目已被替换");
        }
        return true;
    } catch (const std::exception& error) {
        run.fail(pending, itemError({}, error));
        return false;
    }
}

void IconEngine::archiveVanished(RestoreRun& run) const {
    if (run.vanished.empty()) {
        return;
    }
    std::vector<RestoreItem> gone = std::move(run.vanished);
    run.vanished.clear();
    // What the skin kept by path is taken back only once a record that allows for it is durable.
    const BackupManifest& manifest = run.manifest;
    BackupManifest record{manifest.schema, manifest.rootPath, manifest.rootIdentity, manifest.createdAt, {}};
    std::set<std::string> names;
    std::vector<bool> byPath;
    for (RestoreItem& pending : gone) {
        byPath.push_back(keptByPath(pending.entry, contextFor(pending.entry, run.fileContext)));
        if (byPath.back()) {
            pending.entry.phase = kPhaseClearing;
        }
        record.entries.push_back(pending.entry);
        names.insert(pending.entry.name);
    }
    std::optional<ItemError> failed;
    try {
        archiveMissing(run.store, record);
        failed = removeEntries(run, names);
    } catch (const std::exception& error) {
        failed = itemError({}, error);
    }
    for (std::size_t i = 0; i < gone.size(); ++i) {
        RestoreItem& pending = gone[i];
        if (failed) {
            run.fail(pending, *failed);
            continue;
        }
        ++run.report.skipped;
        run.report.missingItems.push_back(shownName(pending.entry));
        if (byPath[i]) {
            (void)clearAtPath(pending.item, pending.entry, contextFor(pending.entry, run.fileContext), true);
        }
    }
}

void IconEngine::checkRecords(RestoreRun& run, std::vector<RestoreItem>& group,
                              std::vector<RestoreItem>& batch) const {
    std::optional<GroupReads> reads;
    IconContext base = run.fileContext;
    if (base.metadata != nullptr) {
        base.metadata = &reads.emplace(*base.metadata);
        std::vector<std::string> paths;
        for (const RestoreItem& pending : group) {
            if (contextFor(pending.entry, base).metadata != nullptr) {
                paths.push_back(pending.item);
            }
        }
        reads->readAhead(paths);
    }
    for (RestoreItem& pending : group) {
        try {
            pending.record =
                needsRestoringRecord(pending.entry, pending.item, contextFor(pending.entry, base));
            batch.push_back(std::move(pending));
        } catch (const std::exception& error) {
            run.fail(pending, itemError({}, error));
            run.countIn(pending);
        }
    }
    group.clear();
}

void IconEngine::restoreBatch(RestoreRun& run, std::vector<RestoreItem>& batch) const {
    archiveVanished(run);
    const std::optional<ItemError> unsaved = recordRestoring(run, batch);
    putBack(run, batch, unsaved);
    removeRestored(run, batch);
    for (RestoreItem& pending : batch) {
        run.countIn(pending);
        if (!pending.done) {
            continue;
        }
        ++run.report.succeeded;
        const std::string& name = pending.entry.name;
        if (!pending.entry.isDesktopEntry()) {
            noteRelaunch(name, pending.item, run.running, run.report);
        } else if (run.launched.count(platform::appendPathComponent(run.root, name)) > 0) {
            run.report.relaunchApplications.push_back(shownName(pending.entry));
        }
    }
    batch.clear();
    reportFailures(run.failures, run.report);
}

std::optional<ItemError> IconEngine::recordRestoring(RestoreRun& run,
                                                     const std::vector<RestoreItem>& batch) const {
    std::set<std::string> marked;
    for (const RestoreItem& pending : batch) {
        if (pending.record) {
            marked.insert(pending.entry.name);
        }
    }
    if (marked.empty()) {
        return std::nullopt;
    }
    std::vector<std::pair<BackupEntry*, std::string>> before;
    for (BackupEntry& entry : run.manifest.entries) {
        if (marked.count(entry.name) > 0) {
            before.emplace_back(&entry, entry.phase);
            entry.phase = kPhaseRestoring;
        }
    }
    try {
        const std::set<std::string> noneChanged;
        run.store.save(run.manifest, run.file, &noneChanged, &marked);
    } catch (const std::exception& error) {
        for (auto& [entry, phase] : before) {
            entry->phase = phase;
        }
        return itemError({}, error);
    }
    return std::nullopt;
}

void IconEngine::putBack(RestoreRun& run, std::vector<RestoreItem>& batch,
                         const std::optional<ItemError>& unsaved) const {
    // The batch in groups, each item of a group rechecked and held open, its metadata write noted;
    // the group's writes sent together; each item put back, its write's answer checked; then
    // each verified, and all flushed together. The groups overlap so that the service always has
    // writes to answer: while a group's writes are answered, the next group is rechecked and the
    // one before verified and flushed.
    struct Group {
        std::size_t start = 0, stop = 0;
        std::optional<PipelinedWrites> writes;
        IconContext base;
        std::vector<std::optional<RestoreForms>> checked;
        std::vector<std::vector<FlushTarget>> flushes;
        SyncsTogether flushing;  // waited for before the descriptors above close
    };
    bool shared = false;
    // Reads the store answers ahead, for a group together: the keys of the items to be checked,
    // and, once the writes are sent, of the items to be verified.
    const auto readAhead = [&](Group& group, const auto& reads) {
        std::vector<std::string> paths;
        for (std::size_t i = group.start; i < group.stop; ++i) {
            if (reads(i) && contextFor(batch[i].entry, group.base).metadata != nullptr) {
                paths.push_back(batch[i].item);
            }
        }
        if (group.writes) {
            group.writes->readAhead(paths);
        }
    };
    // Each checked item's step; one that fails is refused and its descriptor closed.
    const auto each = [&](Group& group, auto&& step) {
        for (std::size_t i = group.start; i < group.stop; ++i) {
            auto& forms = group.checked[i - group.start];
            if (!forms) {
                continue;
            }
            try {
                step(i - group.start, batch[i], *forms, contextFor(batch[i].entry, group.base));
            } catch (const std::exception& error) {
                run.fail(batch[i], itemError({}, error));
                forms.reset();
            }
        }
    };
    const auto prepare = [&](std::size_t start, std::size_t stop) {
        auto group = std::make_unique<Group>();
        group->start = start;
        group->stop = stop;
        group->base = run.fileContext;
        if (group->base.metadata != nullptr) {
            group->base.metadata = &group->writes.emplace(*group->base.metadata);
        }
        group->checked.resize(group->stop - start);
        readAhead(*group, [&](std::size_t i) { return !(batch[i].record && unsaved); });
        return group;
    };
    const auto check = [&](Group& group) {
        for (std::size_t i = group.start; i < group.stop; ++i) {
            RestoreItem& pending = batch[i];
            if (pending.record && unsaved) {
                run.fail(pending, *unsaved);
                continue;
            }
            try {
                group.checked[i - group.start] = checkForms(
                    pending.entry, pending.item, contextFor(pending.entry, group.base), pending.record);
            } catch (const std::exception& error) {
                run.fail(pending, itemError({}, error));
            }
        }
    };
    const auto send = [&](Group& group) {
        if (group.writes) {
            group.writes->send();
        }
        readAhead(group, [&](std::size_t i) {
            return group.checked[i - group.start] && !group.checked[i - group.start]->plan.skinned.empty();
        });
    };
    const auto put = [&](Group& group) {
        each(group,
             [&](std::size_t, const RestoreItem& pending, const RestoreForms& forms,
                 const IconContext& context) { restoreForms(pending.entry, pending.item, context, forms); });
    };
    const auto finish = [&](Group& group) {
        group.flushes.resize(group.stop - group.start);
        each(group, [&](std::size_t k, const RestoreItem& pending, const RestoreForms& forms,
                        const IconContext& context) {
            verifyRestored(pending.entry, context, forms);
            group.flushes[k] = flushTargets(forms.handle, context);
        });
        // The items' original states must be on disk before their backups leave the manifest: the
        // group's flushes made together, while the next group goes on; settle waits for them.
        group.flushing = startFlushes(fs_, group.flushes);
    };
    // A backup goes only once its item is flushed, and while it is still where it was recorded.
    const auto settle = [&](Group& group) {
        const auto synced = group.flushing.take();
        each(group,
             [&](std::size_t k, RestoreItem& pending, const RestoreForms& forms, const IconContext& context) {
                 requireFlushed(group.flushes[k], synced[k]);
                 if (!forms.handle.stillAtPath()) {
                     throw SkinError("原位置的项目已被替换");
                 }
                 pending.done = true;
                 shared = shared || context.metadata != nullptr;
             });
        for (std::size_t i = group.start; i < group.stop; ++i) {
            run.countIn(batch[i]);
        }
    };
    runOverlapped(batch.size(), groupSize_, prepare, check, send, finish, put, settle);
    if (shared) {
        try {
            flushShared(run.fileContext);
        } catch (const std::exception& error) {
            for (RestoreItem& pending : batch) {
                if (pending.done) {
                    run.fail(pending, itemError({}, error));
                }
            }
        }
    }
}

void IconEngine::removeRestored(RestoreRun& run, std::vector<RestoreItem>& batch) const {
    std::set<std::string> leaving;
    for (const RestoreItem& pending : batch) {
        if (pending.done) {
            leaving.insert(pending.entry.name);
        }
    }
    if (const std::optional<ItemError> error = removeEntries(run, leaving)) {
        for (RestoreItem& pending : batch) {
            if (pending.done) {
                run.fail(pending, *error);
            }
        }
    }
}

std::optional<ItemError> IconEngine::removeEntries(RestoreRun& run,
                                                   const std::set<std::string>& leaving) const {
    if (leaving.empty()) {
        return std::nullopt;
    }
    BackupManifest& manifest = run.manifest;
    std::vector<BackupEntry> all = std::move(manifest.entries);
    std::vector<std::pair<std::size_t, BackupEntry>> gone;
    manifest.entries.clear();
    manifest.entries.reserve(all.size() - std::min(all.size(), leaving.size()));
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (leaving.count(all[i].name) > 0) {
            gone.emplace_back(i, std::move(all[i]));
        } else {
            manifest.entries.push_back(std::move(all[i]));
        }
    }
    try {
        const std::set<std::string> noneChanged;
        run.store.save(manifest, run.file, &noneChanged);
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
        return itemError({}, error);
    }
    return std::nullopt;
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
