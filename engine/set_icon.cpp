// Rehearsing the new icon on a staging copy, so the prediction is what the writer really makes.
#include <fcntl.h>

#include <algorithm>
#include <vector>

#include "engine/icon_engine.h"
#include "platform/file_ops.h"
#include "platform/identifiers.h"
#include "platform/paths.h"
#include "platform/system_error.h"
#include "records/errors.h"
#include "records/icon_facet.h"

namespace lumaro {

IconState IconEngine::predictAppliedState(std::uint16_t type, const IconState& original,
                                          const IconContext& context) const {
    const auto& facets = facetsFor(context);
    const bool computed = std::all_of(facets.begin(), facets.end(),
                                      [](const IconFacet* facet) { return facet->computesPrediction(); });
    if (computed) {
        IconState prediction;
        for (const IconFacet* facet : facets) {
            facet->predict(original, type == kTypeDirectory, context, prediction);
        }
        return prediction;
    }
    const std::string staging =
        platform::appendPathComponent(directory_, "staging-" + platform::newUuidString());
    platform::throwIfFailed(platform::createDirectory(fs_, staging, 0700), staging);
    try {
        const std::string path = platform::appendPathComponent(staging, "item");
        if (type == kTypeDirectory) {
            platform::throwIfFailed(fs_.mkdir(path, 0700), path);
        } else {
            platform::Descriptor fd;
            platform::throwIfFailed(
                platform::openDescriptor(fs_, path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600, fd),
                path);
            platform::throwIfFailed(fd.close(), path);
        }
        platform::ItemHandle item;
        platform::throwIfFailed(platform::ItemHandle::open(fs_, path, item), path);
        std::vector<const IconFacet*> rehearsed;
        for (const IconFacet* facet : facets) {
            if (!facet->computesPrediction()) {
                rehearsed.push_back(facet);
                facet->writeExact(item, original);
            }
        }
        try {
            for (const IconFacet* facet : rehearsed) {
                facet->skin(item, context, original);
            }
        } catch (const SkinError&) {
            throw SkinError("无法生成图标");
        }
        IconState prediction;
        for (const IconFacet* facet : facets) {
            facet->computesPrediction()
                ? facet->predict(original, type == kTypeDirectory, context, prediction)
                : facet->capture(item, context, prediction);
        }
        item = platform::ItemHandle();
        platform::removeTree(fs_, staging);
        return prediction;
    } catch (...) {
        platform::removeTree(fs_, staging);
        throw;
    }
}

}  // namespace lumaro
