// Finding the user's applications: the application folders walked recursively, the running
// applications and the Dock's lists. Never fails as a whole.
#include <memory>

#include "batch/icon_batch_engine.h"
#include "platform/browser_names.h"
#include "platform/file_ops.h"
#include "platform/paths.h"
#include "platform/property_list.h"
#include "platform/system_error.h"
#include "records/errors.h"
#include "records/identity.h"

namespace lumaro {

namespace {

bool isApplicationName(const std::string& name) {
    return platform::asciiLower(platform::pathExtension(name)) == "app";
}

}  // namespace

std::vector<std::string> IconBatchEngine::dockApplications() const {
    if (!readDock_) {
        return {};
    }
    std::vector<std::string> collected;
    if (dockApplicationURLs_) {
        collected = *dockApplicationURLs_;
    } else {
        for (const platform::RunningApplication& application : workspace_.runningApplications()) {
            if (application.regular && !application.bundlePath.empty()) {
                collected.push_back(application.bundlePath);
            }
        }
        const std::string preferences = platform::appendPathComponent(
            workspace_.homeDirectory(), "Library/Preferences/com.apple.dock.plist");
        Bytes data;
        if (platform::readRegularFile(fs_, preferences, platform::kMaxValueSize, data) == 0 &&
            !data.empty()) {
            for (const std::string& url : platform::dockTileUrls(data)) {
                const auto path = platform::localPathOfFileUrl(url);
                if (path && isApplicationName(*path)) {
                    collected.push_back(*path);
                }
            }
        }
    }
    std::vector<std::string> result;
    std::set<std::string> seen;
    for (const std::string& path : collected) {
        std::string resolved = platform::resolvingSymlinksInPath(fs_, path);
        if (seen.insert(resolved).second) {
            result.push_back(std::move(resolved));
        }
    }
    return result;
}

DiscoveredApplications IconBatchEngine::discoverApplications() const {
    DiscoveredApplications found;
    std::set<std::string> candidates;
    for (const std::string& rootPath : applicationRoots_) {
        const std::string root = platform::standardizePath(rootPath);
        platform::FileStatus st;
        if (fs_.stat(root, st) != 0) {
            continue;
        }
        std::vector<std::string> names;
        if (fs_.listDirectory(root, names) != 0) {
            found.errors.push_back(operationError("无法读取应用程序文件夹：" + root));
            continue;
        }
        // Depth-first, without recursion: never into packages, hidden entries or links; folders
        // already seen (a bind mount looping back) are not walked twice.
        std::set<std::pair<std::int32_t, std::uint64_t>> visited;
        if (fs_.stat(root, st) == 0) {
            visited.emplace(st.device, st.inode);
        }
        std::vector<std::pair<std::string, std::vector<std::string>>> pending;
        pending.emplace_back(root, std::move(names));
        while (!pending.empty()) {
            auto [folder, entries] = std::move(pending.back());
            pending.pop_back();
            const std::set<std::string> hidden = platform::hiddenNamesIn(fs_, folder);
            for (const std::string& name : entries) {
                if (platform::isHiddenName(name, hidden)) {
                    continue;
                }
                const std::string path = platform::appendPathComponent(folder, name);
                if (isApplicationName(name)) {
                    candidates.insert(platform::standardizePath(path));
                    continue;
                }
                if (fs_.lstat(path, st) != 0 || !st.isDirectory() ||
                    platform::isPackageExtension(platform::pathExtension(name)) ||
                    !visited.emplace(st.device, st.inode).second) {
                    continue;
                }
                std::vector<std::string> children;
                const int err = fs_.listDirectory(path, children);
                if (err != 0) {
                    found.errors.push_back(itemError(name, platform::SystemError(err, path)));
                    continue;
                }
                pending.emplace_back(path, std::move(children));
            }
        }
    }
    for (const std::string& path : dockApplications()) {
        candidates.insert(path);
    }
    for (const std::string& candidate : candidates) {
        if (candidate.starts_with("/System/")) {
            ++found.passedOver;
            continue;
        }
        try {
            if (!identifyItem(fs_, candidate).isDirectory()) {
                continue;
            }
        } catch (const SkinError&) {
            continue;
        }
        found.groups[platform::deletingLastPathComponent(candidate)].insert(
            platform::lastPathComponent(candidate));
    }
    return found;
}

}  // namespace lumaro
