// Skip records: backups of items that had gone at restore time, kept until a retry finds the
// items back.
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <set>

#include "engine/batches.h"
#include "engine/icon_engine.h"
#include "platform/file_ops.h"
#include "platform/identifiers.h"
#include "platform/paths.h"
#include "platform/system_error.h"
#include "records/desktop_form.h"
#include "records/errors.h"
#include "records/identity.h"
#include "records/operation_lock.h"

namespace lumaro {

namespace {
constexpr const char* kMissingBackupsFolder = "missing-backups";
constexpr const char* kSkipFolderUnavailable = "跳过记录的备份目录不可用";
}  // namespace

std::string IconEngine::missingBackupsPath() const {
    return platform::appendPathComponent(directory_, kMissingBackupsFolder);
}

void removeStaleBackupTemporaries(platform::FileSystem& fs, const std::string& directory) {
    platform::removeStaleTemporaries(fs, directory, [](const std::string& target) {
        return target == kManifestFileName || target == platform::kFurballFileName;
    });
    platform::removeStaleTemporaries(
        fs, platform::appendPathComponent(directory, kMissingBackupsFolder),
        [](const std::string& target) { return platform::pathExtension(target) == "json"; });
}

void IconEngine::archiveMissing(ManifestStore& store, const BackupManifest& manifest) const {
    const std::string folder = missingBackupsPath();
    platform::throwIfFailed(platform::createDirectories(fs_, folder, 0700), folder);
    if (!identifyItem(fs_, folder).isDirectory()) {
        throw SkinError(kSkipFolderUnavailable);
    }
    const std::string record = platform::appendPathComponent(folder, platform::newUuidString() + ".json");
    store.save(manifest, record);
    platform::Descriptor fd;
    if (platform::openDescriptor(fs_, folder, O_RDONLY | O_NOFOLLOW | O_DIRECTORY, 0, fd) != 0 ||
        fs_.fsync(fd.get()) != 0) {
        throw SkinError("无法同步跳过记录");
    }
}

bool IconEngine::anyRecordedEntry(const std::function<bool(const BackupEntry&)>& test) const {
    std::vector<std::string> files{manifestPath()};
    std::vector<std::string> names;
    const std::string folder = missingBackupsPath();
    if (const int err = fs_.listDirectory(folder, names); err != 0 && err != ENOENT) {
        return true;
    }
    for (const std::string& name : names) {
        if (platform::pathExtension(name) == "json") {
            files.push_back(platform::appendPathComponent(folder, name));
        }
    }
    for (const std::string& file : files) {
        try {
            const std::optional<BackupManifest> manifest = readManifest(file);
            if (manifest && std::any_of(manifest->entries.begin(), manifest->entries.end(), test)) {
                return true;
            }
        } catch (const std::exception&) {
            return true;
        }
    }
    return false;
}

OperationReport IconEngine::retrySkipped() const {
    const OperationLock lock(fs_, directory_, kEngineLockFileName);
    removeStaleBackupTemporaries(fs_, directory_);
    if (loadManifest()) {
        throw SkinError("请先完成当前还原，再重试已跳过的项目。");
    }
    OperationReport report;
    ManifestStore store(fs_, directory_);
    const std::string folder = missingBackupsPath();
    platform::FileStatus st;
    if (fs_.stat(folder, st) != 0) {
        return report;
    }
    if (!identifyItem(fs_, folder).isDirectory()) {
        throw SkinError(kSkipFolderUnavailable);
    }
    std::vector<std::string> names;
    platform::throwIfFailed(fs_.listDirectory(folder, names), folder);
    std::vector<std::string> records;
    for (const std::string& name : names) {
        if (platform::pathExtension(name) == "json") {
            records.push_back(platform::appendPathComponent(folder, name));
        }
    }
    std::sort(records.begin(), records.end());
    for (const std::string& record : records) {
        try {
            const OperationReport part = restoreManifest(store, record, false);
            report.succeeded += part.succeeded;
            report.skipped += part.skipped;
            report.errors.insert(report.errors.end(), part.errors.begin(), part.errors.end());
            report.relaunchApplications.insert(report.relaunchApplications.end(),
                                               part.relaunchApplications.begin(),
                                               part.relaunchApplications.end());
            report.missingItems.insert(report.missingItems.end(), part.missingItems.begin(),
                                       part.missingItems.end());
        } catch (const std::exception& error) {
            report.errors.push_back(operationError(describe(error)));
        }
    }
    report.remaining = 0;
    return report;
}

OperationReport IconEngine::setAsideRemaining() const {
    const OperationLock lock(fs_, directory_, kEngineLockFileName);
    OperationReport report;
    ManifestStore store(fs_, directory_);
    const std::string file = manifestPath();
    std::optional<BackupManifest> loaded = store.readForUpdate(file);
    if (!loaded) {
        return report;
    }
    BackupManifest& manifest = *loaded;
    // Entries already held by a skip record: a set-aside cut short after saving the record.
    std::vector<BackupEntry> recorded;
    const std::string folder = missingBackupsPath();
    std::vector<std::string> names;
    if (fs_.listDirectory(folder, names) == 0) {
        for (const std::string& name : names) {
            if (platform::pathExtension(name) != "json") {
                continue;
            }
            try {
                const auto record = store.read(platform::appendPathComponent(folder, name));
                if (record && record->rootPath == manifest.rootPath &&
                    record->rootIdentity == manifest.rootIdentity) {
                    recorded.insert(recorded.end(), record->entries.begin(), record->entries.end());
                }
            } catch (const std::exception&) {
                // An unreadable record holds nothing this manifest can rely on.
            }
        }
    }
    // In batches as a restore's: the entries of a batch not yet held by a skip record go into one,
    // durably, before they leave the manifest together in one save.
    const std::set<std::string> unchanged;
    while (!manifest.entries.empty()) {
        const std::size_t count =
            std::min(manifest.entries.size(), batchSize(manifest.entries.size(), batchLimit_));
        BackupManifest batch{
            manifest.schema, manifest.rootPath, manifest.rootIdentity, manifest.createdAt, {}};
        for (std::size_t i = 0; i < count; ++i) {
            if (std::find(recorded.begin(), recorded.end(), manifest.entries[i]) == recorded.end()) {
                batch.entries.push_back(manifest.entries[i]);
            }
        }
        if (!batch.entries.empty()) {
            archiveMissing(store, batch);
        }
        std::vector<std::string> moved;
        const auto end = manifest.entries.begin() + static_cast<std::ptrdiff_t>(count);
        for (auto entry = manifest.entries.begin(); entry != end; ++entry) {
            moved.push_back(entry->isDesktopEntry() ? desktopEntryDisplayName(*entry) : entry->name);
        }
        manifest.entries.erase(manifest.entries.begin(), end);
        if (manifest.entries.empty()) {
            store.remove(file);
        } else {
            store.save(manifest, file, &unchanged);
        }
        report.setAsideItems.insert(report.setAsideItems.end(), moved.begin(), moved.end());
    }
    return report;
}

}  // namespace lumaro
