#include "engine/icon_engine.h"

#include <cerrno>

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
      icon_(std::move(icon)),
      iconFileFolder_(directory_) {
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

std::optional<std::size_t> IconEngine::pendingItemCount() const {
    return ManifestStore(fs_, directory_).countEntries(manifestPath());
}

IconContext IconEngine::iconContext() const {
    IconContext context;
    context.writer = &icon_->writer();
    context.iconFile = platform::appendPathComponent(iconFileFolder_, platform::kFurballFileName);
    platform::DesktopMetadata& store = workspace_.desktopMetadata();
    // Only a store that says it is not there is left out; one that fails or hangs stays, so that
    // each item meets the failure and keeps its entry.
    if (store.available(directory_) != ENOTSUP) {
        context.metadata = &store;
        // Only where the file manager draws no custom icon: elsewhere the badge would be a second
        // furball. A restore turns the form on per entry, for the records that hold it.
        context.emblems = platform::desktopDrawsEmblemsOnly(workspace_.currentDesktop());
    }
    if (context.emblems) {
        context.emblemIcon = platform::emblemIconPath(workspace_.applicationSupportFolder());
    }
    return context;
}

}  // namespace lumaro
