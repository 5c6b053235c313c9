// Rehearsing the new icon on a staging copy, and setting it on the real item.
#include <fcntl.h>

#include "engine/icon_engine.h"
#include "platform/file_ops.h"
#include "platform/paths.h"
#include "platform/system_error.h"
#include "records/attributes.h"
#include "records/errors.h"
#include "records/identity.h"

namespace lumaro {

IconState IconEngine::predictAppliedState(const FileIdentity& identity, const IconState& original) const {
    const std::string staging =
        platform::appendPathComponent(directory_, "staging-" + platform::newUuidString());
    platform::throwIfFailed(platform::createDirectory(fs_, staging, 0700), staging);
    try {
        const std::string item = platform::appendPathComponent(staging, "item");
        if (identity.isDirectory()) {
            platform::throwIfFailed(fs_.mkdir(item, 0700), item);
        } else {
            platform::Descriptor fd;
            platform::throwIfFailed(
                platform::openDescriptor(fs_, item, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600, fd),
                item);
            platform::throwIfFailed(fd.close(), item);
        }
        writeIconAttribute(fs_, item, kFinderInfoAttribute, original.finder);
        writeIconAttribute(fs_, item, kResourceForkAttribute, original.fork);
        if (original.iconFile) {
            writeIconFile(fs_, platform::appendPathComponent(item, kIconFileName), *original.iconFile, false);
        }
        if (!writer_->valid() || writer_->setIcon(fs_, item) != 0) {
            throw SkinError("无法生成图标");
        }
        const IconState prediction = captureIconState(fs_, item, identifyItem(fs_, item));
        platform::removeTree(fs_, staging);
        return prediction;
    } catch (...) {
        platform::removeTree(fs_, staging);
        throw;
    }
}

IconState IconEngine::setItemIcon(const std::string& item, const FileIdentity& identity) const {
    constexpr const char* kRefused = "系统未允许更改图标，请检查文件夹权限";
    if (!writer_->valid() || writer_->setIcon(fs_, item) != 0) {
        throw SkinError(kRefused);
    }
    IconState after = captureIconState(fs_, item, identity);
    if (!hasCustomIconFlag(after.finder)) {
        throw SkinError("图标设置未生效");
    }
    return after;
}

}  // namespace lumaro
