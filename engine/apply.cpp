// The apply transaction: the record on disk always runs ahead of the changes.
#include "engine/icon_engine.h"
#include "platform/paths.h"
#include "records/attributes.h"
#include "records/errors.h"
#include "records/identity.h"
#include "records/operation_lock.h"

namespace lumaro {

std::set<std::string> IconEngine::runningApplicationPaths() const {
    std::set<std::string> paths;
    for (const platform::RunningApplication& application : workspace_.runningApplications()) {
        if (!application.bundlePath.empty()) {
            paths.insert(platform::standardizePath(application.bundlePath));
        }
    }
    return paths;
}

void IconEngine::reportProgress(std::size_t index, std::size_t total, const std::string& name) const {
    if (progress_) {
        progress_(index, total, name);
    }
}

OperationReport IconEngine::apply(const std::string& root, bool includeApplications, bool applicationsOnly,
                                  const std::optional<std::set<std::string>>& only) const {
    const OperationLock lock(fs_, directory_, kEngineLockFileName);
    if (loadManifest()) {
        throw SkinError("已有待还原的备份，请先点击“一键还原”。");
    }
    const std::string rootPath = platform::standardizePath(root);
    const FileIdentity rootIdentity = validateTarget(rootPath);
    const std::vector<std::string> names = listItems(rootPath);
    const std::set<std::string> hiddenNames = platform::hiddenNamesIn(fs_, rootPath);

    BackupManifest manifest;
    manifest.schema = 1;
    manifest.rootPath = rootPath;
    manifest.rootIdentity = rootIdentity;
    manifest.createdAt = currentReferenceTime();
    const std::set<std::string> running = runningApplicationPaths();

    OperationReport report;
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
            const FileIdentity identity = identifyItem(fs_, item);
            const IconState original = captureIconState(fs_, item, identity);
            const IconState predicted = predictAppliedState(identity, original);

            // From here on the entry stays in the manifest, whatever happens to this item.
            manifest.entries.push_back({name, identity, original, predicted, kPhasePrepared});
            const std::size_t index = manifest.entries.size() - 1;
            saveManifest(manifest);

            if (captureIconState(fs_, item, identity) != original) {
                throw SkinError("备份后项目发生变化，已停止修改");
            }
            const IconState after = setItemIcon(item, identity);
            manifest.entries[index].applied = after;
            manifest.entries[index].phase = kPhaseApplied;
            saveManifest(manifest);

            ++report.succeeded;
            if (platform::asciiLower(platform::pathExtension(name)) == "app" &&
                running.count(platform::standardizePath(item)) > 0) {
                report.relaunchApplications.push_back(platform::deletingPathExtension(name));
            }
        } catch (const std::exception& error) {
            report.errors.push_back(errorLine(name, describe(error)));
        }
    }
    report.remaining = static_cast<std::int64_t>(manifest.entries.size());
    return report;
}

}  // namespace lumaro
