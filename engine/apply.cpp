// The apply transaction: the record on disk always runs ahead of the changes.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <span>
#include <unordered_map>

#include "engine/batches.h"
#include "engine/icon_engine.h"
#include "engine/pipelined_writes.h"
#include "platform/browser_names.h"
#include "platform/file_ops.h"
#include "platform/key_file.h"
#include "platform/paths.h"
#include "platform/system_error.h"
#include "records/desktop_form.h"
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
    IconState::PartPool parts;  // the entries' equal parts held once
    ItemCount count = {};
};

struct IconEngine::ApplyItem {
    std::size_t position = 0;  // in the run's order: the report lists failures in it
    std::string name;          // the entry's name
    std::string path;          // the item
    FileIdentity identity;
    const std::string* entryId = nullptr;  // a desktop entry: its ID, and the installed entry below
    Bytes entrySource = {};
    IconState original = {};  // until its entry holds them
    IconState predicted = {};
    std::size_t index = 0;                // its entry in the manifest, once it is there
    bool skinned = false;                 // as predicted and flushed, but for the shared stores
    std::optional<ItemError> error = {};  // what the report gives
    bool applied = false;                 // its "applied" entry is saved
    const std::string* shown = nullptr;   // a desktop entry: its name as its launcher shows it
    bool counted = false;                 // told to the progress handler

    void countIn(ItemCount& count) { count.doneOnce(counted, shown != nullptr ? *shown : name); }

    IconContext context(const IconContext& base) const {
        IconContext c = base;
        if (entryId != nullptr) {
            c.kind = ItemKind::desktopEntry;
            c.entryId = entryId;
            c.entrySource = &entrySource;
        }
        return c;
    }
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

OperationReport IconEngine::apply(const std::string& root, ApplyScope scope,
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
    run.count = ItemCount(&progress_, names.size());

    OperationReport report;
    report.desktopMetadataUnavailable = context.metadata == nullptr;
    std::vector<ApplyItem> batch;
    Failures failures;
    std::size_t position = 0;
    std::size_t batchStart = 0;  // the names before the batch's first
    const auto finishBatch = [&] {
        applyBatch(run, batch, context);
        batchStart = position;
        for (ApplyItem& done : batch) {
            done.countIn(run.count);
            if (done.applied) {
                ++report.succeeded;
                noteRelaunch(done.name, done.path, running, report);
            } else {
                failures.emplace_back(done.position,
                                      done.error.value_or(ItemError{done.name, ErrorKind::item, {}}));
            }
        }
        batch.clear();
        reportFailures(failures, report);
    };
    const auto batchFull = [&](std::size_t more) {
        return batch.size() + more >= batchSize(names.size() - batchStart, batchLimit_);
    };
    // Items are captured a group at a time, the store's keys of the group read together ahead.
    std::vector<ApplyItem> capturing;
    const auto captureGroup = [&] {
        std::optional<GroupReads> reads;
        IconContext base = context;
        if (base.metadata != nullptr) {
            base.metadata = &reads.emplace(*base.metadata);
            std::vector<std::string> paths;
            for (const ApplyItem& item : capturing) {
                paths.push_back(item.path);
            }
            reads->readAhead(paths);
        }
        for (ApplyItem& item : capturing) {
            try {
                captureItem(run, item, base);
                batch.push_back(std::move(item));
            } catch (const std::exception& error) {
                failures.emplace_back(item.position, itemError(item.name, error));
                run.count.done(item.name);
            }
        }
        capturing.clear();
    };
    for (const std::string& name : names) {
        ++position;
        if (only && only->count(name) == 0) {
            run.count.pass();
            continue;
        }
        const std::string item = platform::appendPathComponent(rootPath, name);
        try {
            if (!isEligible(item, scope, hiddenNames)) {
                ++report.skipped;
                run.count.done(name);
                continue;
            }
            if (identifyItem(fs_, rootPath) != rootIdentity) {
                throw SkinError("所选文件夹已被替换");
            }
            capturing.push_back(
                {.position = position, .name = name, .path = item, .identity = identifyItem(fs_, item)});
        } catch (const std::exception& error) {
            failures.emplace_back(position, itemError(name, error));
            run.count.done(name);
        }
        if (capturing.size() >= groupSize_ || batchFull(capturing.size())) {
            captureGroup();
        }
        if (batchFull(0)) {
            finishBatch();
        }
    }
    captureGroup();
    finishBatch();
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
        platform::throwIfFailed(platform::ensureIconFile(fs_, context.emblemIcon, icon_->png()),
                                context.emblemIcon);
    }
    BackupManifest manifest;
    manifest.rootPath = rootPath;
    manifest.rootIdentity = rootIdentity;
    manifest.createdAt = currentReferenceTime();
    return ApplyRun{ManifestStore(fs_, directory_), manifestPath(), std::move(manifest), {}, {}};
}

void IconEngine::captureItem(ApplyRun& run, ApplyItem& item, const IconContext& base) const {
    const IconContext context = item.context(base);
    item.original = captureIconState(openCheckedItem(fs_, item.path, item.identity), context);
    run.parts.share(item.original);
    // A desktop entry's new copy also depends on the installed entry: computed every time.
    const bool cached = context.kind == ItemKind::fileOrFolder;
    const IconState* known = cached ? run.predictions.find(item.identity.type, item.original) : nullptr;
    item.predicted = known ? *known : predictAppliedState(item.identity.type, item.original, context);
    if (cached && !known) {
        run.predictions.add(item.identity.type, item.original, item.predicted);
    }
}

void IconEngine::applyBatch(ApplyRun& run, std::vector<ApplyItem>& batch, const IconContext& base) const {
    if (batch.empty()) {
        return;
    }
    // One durable save holds every item's "prepared" entry before any item is touched.
    const std::size_t first = run.manifest.entries.size();
    std::set<std::string> changed;
    for (ApplyItem& item : batch) {
        item.index = run.manifest.entries.size();
        run.manifest.entries.push_back(
            {item.name, item.identity, std::move(item.original), std::move(item.predicted), kPhasePrepared,
             item.entryId != nullptr ? ItemKind::desktopEntry : ItemKind::fileOrFolder});
        changed.insert(item.name);
    }
    try {
        run.store.save(run.manifest, run.file, &changed);
    } catch (const std::exception& error) {
        // Not known to be on disk: the items stay untouched and their entries leave the run.
        for (std::size_t i = 0; i < batch.size(); ++i) {
            batch[i].original = std::move(run.manifest.entries[first + i].original);
            batch[i].predicted = std::move(run.manifest.entries[first + i].applied);
        }
        run.manifest.entries.resize(first);
        if (batch.size() == 1 || dynamic_cast<const DecodingError*>(&error) == nullptr) {
            for (ApplyItem& item : batch) {
                item.error = itemError(item.name, error);
            }
            return;
        }
        // An entry that cannot be encoded (a name that is no text), found before anything was
        // written: each item is tried alone, so that it fails no other.
        for (ApplyItem& item : batch) {
            std::vector<ApplyItem> single;
            single.push_back(std::move(item));
            applyBatch(run, single, base);
            item = std::move(single.front());
        }
        return;
    }
    // From here on each entry stays in the manifest, whatever happens to its item.
    bool written = false;
    // The batch in groups of items: each rechecked and held open, the files its skin puts in place
    // written ahead; those synced together; the group's metadata writes sent together; then each
    // item skinned, its write's answer checked; then each verified, and all flushed together. The
    // groups overlap so that the service always has writes to answer: while a group's writes are
    // answered, the next group is rechecked and staged and the one before verified and flushed.
    struct Group {
        std::span<ApplyItem> items;
        std::optional<PipelinedWrites> writes;
        IconContext context;
        std::vector<platform::ItemHandle> handles;
        std::vector<Staging> staged;  // gone before the handles it was written through
        SyncsTogether staging;        // waited for before the staged files close
        std::vector<std::vector<FlushTarget>> flushes;
        SyncsTogether flushing;  // waited for before the descriptors above close
    };
    const auto each = [&](Group& group, auto&& step) {
        for (std::size_t i = 0; i < group.items.size(); ++i) {
            if (group.items[i].error) {
                continue;
            }
            try {
                step(i);
            } catch (const std::exception& error) {
                group.items[i].error = itemError(group.items[i].name, error);
            }
        }
    };
    // The store's keys of the group's items read together ahead: for the recheck, and once the
    // writes are sent, for the verification.
    const auto readAhead = [&](Group& group) {
        std::vector<std::string> paths;
        for (const ApplyItem& item : group.items) {
            if (!item.error && item.context(group.context).metadata != nullptr) {
                paths.push_back(item.path);
            }
        }
        if (group.writes) {
            group.writes->readAhead(paths);
        }
    };
    const auto prepare = [&](std::size_t start, std::size_t stop) {
        auto group = std::make_unique<Group>();
        group->items = std::span(batch).subspan(start, stop - start);
        group->context = base;
        if (base.metadata != nullptr) {
            group->context.metadata = &group->writes.emplace(*base.metadata);
        }
        group->handles.resize(group->items.size());
        group->staged.resize(group->items.size());
        readAhead(*group);
        return group;
    };
    const auto check = [&](Group& group) {
        const auto items = group.items;
        each(group, [&](std::size_t i) {
            checkItem(run, items[i], group.context, group.handles[i], group.staged[i]);
        });
        std::vector<std::vector<int>> fds(items.size());
        each(group, [&](std::size_t i) { fds[i] = group.staged[i].descriptors(); });
        // Synced together; send takes their results before any of the group's writes go out.
        group.staging = SyncsTogether(fs_, fds);
    };
    const auto send = [&](Group& group) {
        const auto items = group.items;
        const auto stagedSyncs = group.staging.take();
        each(group, [&](std::size_t i) {
            group.staged[i].synced(stagedSyncs[i]);
            // The writes the skin will make to the metadata store, noted to be sent with the group's:
            // only for an item whose files are durable.
            skinAhead(group.handles[i], items[i].context(group.context),
                      run.manifest.entries[items[i].index].original);
        });
        if (group.writes) {
            group.writes->send();
        }
        readAhead(group);
    };
    const auto put = [&](Group& group) {
        each(group, [&](std::size_t i) {
            skinItem(run, group.items[i], group.handles[i], group.context, group.staged[i]);
        });
    };
    const auto finish = [&](Group& group) {
        const auto items = group.items;
        group.flushes.resize(items.size());
        each(group, [&](std::size_t i) {
            // Exactly as predicted, or another program changed a form since it was written: that
            // change must never be recorded as the skin's, which a restore would write over.
            if (verifySkin(group.handles[i], items[i].context(group.context)) !=
                run.manifest.entries[items[i].index].applied) {
                throw SkinError(kChangedSinceBackup);
            }
            group.flushes[i] = flushTargets(group.handles[i], items[i].context(group.context));
        });
        // The items' new states must be on disk before their entries say "applied": a restore
        // refuses for good an applied entry whose item shows only part of the skin. The syncs are
        // made while the next group goes on; settle waits for them.
        group.flushing = startFlushes(fs_, group.flushes);
    };
    const auto settle = [&](Group& group) {
        const auto items = group.items;
        const auto flushed = group.flushing.take();
        each(group, [&](std::size_t i) {
            requireFlushed(group.flushes[i], flushed[i]);
            if (!group.handles[i].stillAtPath()) {
                throw SkinError("原位置的项目已被替换");
            }
            items[i].skinned = true;
            written = true;
        });
        for (ApplyItem& item : items) {
            item.countIn(run.count);
        }
    };
    runOverlapped(batch.size(), groupSize_, prepare, check, send, finish, put, settle);
    if (!written) {
        return;
    }
    // The shared stores once for the batch: an entry says "applied" only when all its item's
    // forms are durable.
    try {
        flushShared(base);
    } catch (const std::exception& error) {
        for (ApplyItem& item : batch) {
            if (item.skinned) {
                item.skinned = false;
                item.error = itemError(item.name, error);
            }
        }
        return;
    }
    // Each entry's applied state is already what its item holds (the skin left exactly the
    // prediction): only the phases change.
    changed.clear();
    std::set<std::string> rephased;
    for (const ApplyItem& item : batch) {
        if (item.skinned) {
            run.manifest.entries[item.index].phase = kPhaseApplied;
            rephased.insert(item.name);
        }
    }
    try {
        run.store.save(run.manifest, run.file, &changed, &rephased);
    } catch (const std::exception& error) {
        // The entries say "applied" in memory: the run's next save that succeeds writes them so.
        for (ApplyItem& item : batch) {
            if (item.skinned) {
                item.error = itemError(item.name, error);
            }
        }
        return;
    }
    for (ApplyItem& item : batch) {
        item.applied = item.skinned;
        // Launchers watch their folders and redraw by themselves.
        if (item.applied && item.entryId == nullptr) {
            workspace_.noteFileSystemChanged(item.path);
        }
    }
}

void IconEngine::checkItem(ApplyRun& run, ApplyItem& item, const IconContext& base,
                           platform::ItemHandle& target, Staging& staging) const {
    const IconContext context = item.context(base);
    if (item.entryId == nullptr && identifyItem(fs_, run.manifest.rootPath) != run.manifest.rootIdentity) {
        throw SkinError("所选文件夹已被替换");
    }
    // Everything from the recheck to the flush goes through one descriptor checked here.
    target = openCheckedItem(fs_, item.path, item.identity);
    const IconState& original = run.manifest.entries[item.index].original;
    if (captureIconState(target, context) != original) {
        throw SkinError(kChangedSinceBackup);
    }
    stageItem(target, context, original, staging);
}

void IconEngine::skinItem(ApplyRun& run, const ApplyItem& item, const platform::ItemHandle& target,
                          const IconContext& base, Staging& staging) const {
    IconContext context = item.context(base);
    context.staging = &staging;
    lumaro::skinItem(target, context, run.manifest.entries[item.index].original);
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
            report.errors.push_back({entry.displayName, ErrorKind::noWritePermission, kNoWritePermission});
        }
        return report;
    }
    IconContext context = iconContext();
    context.metadata = nullptr;  // an entry's icon is its file alone
    context.kind = ItemKind::desktopEntry;
    ApplyRun run = startRun(rootPath, rootIdentity, context);
    run.count = ItemCount(&progress_, entries.size());

    std::set<std::string> entryPaths;
    for (const DesktopEntryItem& entry : entries) {
        entryPaths.insert(entry.sourcePath);
        entryPaths.insert(platform::appendPathComponent(rootPath, entry.id));
    }
    const std::set<std::string> launched = workspace_.launchedDesktopFiles(entryPaths);

    std::vector<ApplyItem> batch;
    Failures failures;
    std::size_t position = 0;
    std::size_t batchStart = 0;  // the entries before the batch's first
    const auto finishBatch = [&] {
        applyBatch(run, batch, context);
        batchStart = position;
        for (ApplyItem& done : batch) {
            done.countIn(run.count);
            const DesktopEntryItem& entry = entries[done.position - 1];
            if (done.applied) {
                ++report.succeeded;
                if (launched.count(entry.sourcePath) > 0 ||
                    launched.count(platform::appendPathComponent(rootPath, entry.id)) > 0) {
                    report.relaunchApplications.push_back(entry.displayName);
                }
            } else {
                ItemError failure = done.error.value_or(ItemError{});
                failure.name = entry.displayName;  // reports name an entry as its launcher shows it
                failures.emplace_back(done.position, std::move(failure));
            }
        }
        batch.clear();
        reportFailures(failures, report);
    };
    for (const DesktopEntryItem& entry : entries) {
        ++position;
        try {
            ApplyItem next{.position = position,
                           .name = entry.id,
                           .path = rootPath,
                           .identity = rootIdentity,
                           .entryId = &entry.id,
                           .shown = &entry.displayName};
            const int err =
                platform::readRegularFile(fs_, entry.sourcePath, platform::kMaxValueSize, next.entrySource);
            if (err == ELOOP || err == EINVAL || err == EFBIG) {
                throw SkinError("应用的启动项不是普通文件，已跳过");
            }
            platform::throwIfFailed(err, entry.sourcePath);
            captureItem(run, next, context);
            batch.push_back(std::move(next));
        } catch (const std::exception& error) {
            failures.emplace_back(position, itemError(entry.displayName, error));
            run.count.done(entry.displayName);
        }
        if (batch.size() >= batchSize(entries.size() - batchStart, batchLimit_)) {
            finishBatch();
        }
    }
    finishBatch();
    report.remaining = static_cast<std::int64_t>(run.manifest.entries.size());
    return report;
}

}  // namespace lumaro
