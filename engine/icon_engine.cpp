#include "engine/icon_engine.h"

#include <fcntl.h>

#include <QImage>

#include "platform/file_ops.h"
#include "platform/paths.h"
#include "platform/system_error.h"
#include "records/errors.h"
#include "records/identity.h"

namespace lumaro {

IconEngine::IconEngine(platform::FileSystem& fs, const std::string& directory, const QImage& image,
                       platform::Workspace& workspace)
    : IconEngine(fs, directory, std::make_shared<const RenderedIcon>(image), workspace) {}

IconEngine::IconEngine(platform::FileSystem& fs, const std::string& directory,
                       std::shared_ptr<const RenderedIcon> icon, platform::Workspace& workspace)
    : fs_(fs),
      workspace_(workspace),
      directory_(platform::standardizePath(directory)),
      icon_(std::move(icon)) {
    platform::throwIfFailed(platform::createDirectories(fs_, directory_, 0700), directory_);
    if (!identifyItem(fs_, directory_).isDirectory()) {
        throw SkinError("备份目录不可用");
    }
}

std::string IconEngine::manifestPath() const {
    return platform::appendPathComponent(directory_, kManifestFileName);
}

std::optional<BackupManifest> IconEngine::loadManifest() const {
    return readManifest(manifestPath());
}

std::optional<BackupManifest> IconEngine::readManifest(const std::string& path) const {
    return ManifestStore(fs_, directory_).read(path);
}

}  // namespace lumaro
