// Which items of a root folder an apply looks at, in which order, and which it skins.
#include <unistd.h>

#include "engine/icon_engine.h"
#include "platform/browser_names.h"
#include "platform/bundles.h"
#include "platform/paths.h"
#include "platform/system_error.h"
#include "platform/text.h"
#include "records/attributes.h"
#include "records/errors.h"
#include "records/identity.h"

namespace lumaro {

namespace {
constexpr const char* kRootHoldsBackups = "所选文件夹不能包含备份目录，请选择桌面或其他文件夹。";
}  // namespace

FileIdentity IconEngine::validateTarget(const std::string& root) const {
    const std::string path = platform::standardizePath(root);
    if (path == "/" || path == directory_ || directory_.starts_with(path + "/")) {
        throw SkinError(kRootHoldsBackups);
    }
    const FileIdentity identity = identifyItem(fs_, path);
    if (!identity.isDirectory()) {
        throw SkinError("请选择文件夹");
    }
    return identity;
}

std::vector<std::string> IconEngine::listItems(const std::string& root) const {
    const std::string path = platform::standardizePath(root);
    return listItems(path, platform::hiddenNamesIn(fs_, path));
}

std::vector<std::string> IconEngine::listItems(const std::string& root,
                                               const std::set<std::string>& hiddenNames) const {
    const std::string path = platform::standardizePath(root);
    std::vector<std::string> names;
    platform::throwIfFailed(fs_.listDirectory(path, names), path);
    std::erase_if(names, [&](const std::string& name) { return platform::isHiddenName(name, hiddenNames); });
    platform::sortNamesForDisplay(names);
    return names;
}

bool IconEngine::isEligible(const std::string& item, ApplyScope scope) const {
    return isEligible(item, scope, platform::hiddenNamesIn(fs_, platform::deletingLastPathComponent(item)));
}

bool IconEngine::isEligible(const std::string& item, ApplyScope scope,
                            const std::set<std::string>& hiddenNames) const {
    platform::FileStatus st;
    if (fs_.lstat(item, st) != 0) {
        throw SkinError("无法读取项目");
    }
    if (!st.isRegular() && !st.isDirectory()) {
        return false;
    }
    if (st.isRegular() && st.linkCount >= 2) {
        return false;
    }
    identifyItem(fs_, item);
    const std::string name = platform::lastPathComponent(item);
    const bool isApp = st.isDirectory() && platform::asciiLower(platform::pathExtension(name)) == "app";
    if (scope == ApplyScope::applicationsOnly && !isApp) {
        return false;
    }
    if (name.starts_with(".") || name == kIconFileName || platform::isHiddenName(name, hiddenNames)) {
        return false;
    }
    // A name that is not UTF-8 cannot be recorded in the backup, so it is never touched.
    if (!platform::isValidUtf8(name)) {
        return false;
    }
    if (isApp) {
        if (scope == ApplyScope::withoutApplications) {
            return false;
        }
        const auto own = workspace_.ownBundleIdentifier();
        if (own && platform::bundleIdentifier(fs_, item) == own) {
            return false;
        }
        if (fs_.access(item, W_OK) != 0) {
            throw SkinError(kNoWritePermission, ErrorKind::noWritePermission);
        }
    } else if (st.isDirectory() && platform::isPackageExtension(platform::pathExtension(name))) {
        return false;
    }
    // Linux has no cloud placeholders: every item's contents are on this machine.
    return true;
}

}  // namespace lumaro
