#include "records/icon_facet.h"

#include <algorithm>

#include "platform/system_error.h"
#include "records/errors.h"
#include "records/identity.h"
#include "records/mac_form.h"

namespace lumaro {

const std::vector<const IconFacet*>& iconFacets() {
    // The folder's "Icon\r" before the item's flag: the flag is the last write.
    static const std::vector<const IconFacet*> facets{&folderIconFileFacet(), &macAttributesFacet()};
    return facets;
}

IconState captureIconState(const platform::ItemHandle& item) {
    IconState state;
    for (const IconFacet* facet : iconFacets()) {
        facet->capture(item, state);
    }
    return state;
}

IconState captureIconState(platform::FileSystem& fs, const std::string& path, const FileIdentity& recorded) {
    return captureIconState(openCheckedItem(fs, path, recorded));
}

bool iconStateMatches(const IconState& current, const IconState& expected) {
    return std::all_of(iconFacets().begin(), iconFacets().end(),
                       [&](const IconFacet* facet) { return facet->matches(current, expected); });
}

bool stateMatchesEither(const IconState& current, const IconState& a, const IconState& b) {
    return std::all_of(iconFacets().begin(), iconFacets().end(),
                       [&](const IconFacet* facet) { return facet->matchesEither(current, a, b); });
}

IconState skinItem(const platform::ItemHandle& item, const SkinContext& context) {
    if (!context.writer.valid()) {
        throw SkinError("无法生成图标");
    }
    for (const IconFacet* facet : iconFacets()) {
        facet->skin(item, context);
    }
    IconState after = captureIconState(item);
    for (const IconFacet* facet : iconFacets()) {
        if (!facet->showsNewIcon(after)) {
            throw SkinError("图标设置未生效");
        }
    }
    return after;
}

void restoreIconState(const platform::ItemHandle& item, const BackupEntry& entry, const IconState& current) {
    for (const IconFacet* facet : iconFacets()) {
        facet->restore(item, entry, current);
    }
}

void flushItem(const platform::ItemHandle& item) {
    for (const IconFacet* facet : iconFacets()) {
        facet->flush(item);
    }
    platform::throwIfFailed(item.sync(), item.path());
}

std::uint64_t hashIconState(const IconState& state, std::uint64_t seed) {
    for (const IconFacet* facet : iconFacets()) {
        seed = facet->hash(state, seed);
    }
    return seed;
}

std::uint64_t mixHash(std::uint64_t h, const Bytes& bytes) {
    h = (h ^ bytes.size()) * 1099511628211ull;
    for (const std::uint8_t b : bytes) {
        h = (h ^ b) * 1099511628211ull;
    }
    return h;
}

}  // namespace lumaro
