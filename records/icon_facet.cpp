#include "records/icon_facet.h"

#include <algorithm>
#include <cerrno>

#include "platform/child_file.h"
#include "platform/system_error.h"
#include "records/desktop_form.h"
#include "records/errors.h"
#include "records/identity.h"
#include "records/mac_form.h"

namespace lumaro {

namespace {

// The Linux forms first, then the folder's "Icon\r" before the item's flag: the flag is the
// last write.
const std::vector<const IconFacet*>& fileFacets() {
    static const std::vector<const IconFacet*> facets{&desktopMetadataFacet(), &emblemsFacet(),
                                                      &directoryFileFacet(),   &hiddenListFacet(),
                                                      &folderIconFileFacet(),  &macAttributesFacet()};
    return facets;
}

}  // namespace

const std::vector<const IconFacet*>& iconFacets() {
    static const std::vector<const IconFacet*> facets = [] {
        std::vector<const IconFacet*> all = fileFacets();
        all.push_back(&desktopEntryFacet());
        return all;
    }();
    return facets;
}

const std::vector<const IconFacet*>& facetsFor(const IconContext& context) {
    static const std::vector<const IconFacet*> entryFacets{&desktopEntryFacet()};
    return context.kind == ItemKind::desktopEntry ? entryFacets : fileFacets();
}

IconState captureIconState(const platform::ItemHandle& item, const IconContext& context) {
    IconState state;
    for (const IconFacet* facet : facetsFor(context)) {
        facet->capture(item, context, state);
    }
    return state;
}

IconState captureIconState(platform::FileSystem& fs, const std::string& path, const FileIdentity& recorded,
                           const IconContext& context) {
    return captureIconState(openCheckedItem(fs, path, recorded), context);
}

bool iconStateMatches(const IconState& current, const IconState& expected) {
    return std::all_of(iconFacets().begin(), iconFacets().end(),
                       [&](const IconFacet* facet) { return facet->matches(current, expected); });
}

bool stateMatchesEither(const IconState& current, const IconState& a, const IconState& b) {
    return std::all_of(iconFacets().begin(), iconFacets().end(),
                       [&](const IconFacet* facet) { return facet->matchesEither(current, a, b); });
}

std::unique_ptr<Staging::Part> Staging::take(const IconFacet& facet) {
    for (auto& [owner, part] : parts_) {
        if (owner == &facet && part) {
            return std::move(part);
        }
    }
    return nullptr;
}

std::vector<int> Staging::descriptors() const {
    std::vector<int> fds;
    for (const auto& [owner, part] : parts_) {
        if (part) {
            fds.push_back(part->fd());
        }
    }
    return fds;
}

void Staging::synced(const std::vector<int>& results) {
    std::size_t i = 0;
    for (const auto& [owner, part] : parts_) {
        if (part) {
            part->synced(i < results.size() ? results[i] : EIO);
            ++i;
        }
    }
}

void stageItem(const platform::ItemHandle& item, const IconContext& context, const IconState& original,
               Staging& staging) {
    for (const IconFacet* facet : facetsFor(context)) {
        facet->stage(item, context, original, staging);
    }
}

void skinAhead(const platform::ItemHandle& item, const IconContext& context, const IconState& original) {
    for (const IconFacet* facet : facetsFor(context)) {
        facet->skinAhead(item, context, original);
    }
}

void skinItem(const platform::ItemHandle& item, const IconContext& context, const IconState& original) {
    if (context.writer == nullptr || !context.writer->valid()) {
        throw SkinError("无法生成图标");
    }
    for (const IconFacet* facet : facetsFor(context)) {
        facet->skin(item, context, original);
    }
}

IconState verifySkin(const platform::ItemHandle& item, const IconContext& context) {
    IconState after = captureIconState(item, context);
    for (const IconFacet* facet : facetsFor(context)) {
        if (!facet->showsNewIcon(after, item.isDirectory(), context)) {
            throw SkinError("图标设置未生效");
        }
    }
    return after;
}

void requireRestorable(const BackupEntry& entry, const IconContext& context) {
    for (const IconFacet* facet : facetsFor(context)) {
        facet->requireRestorable(entry, context);
    }
}

FormCheck IconFacet::check(const IconState& current, const BackupEntry& entry) const {
    if (matches(current, entry.original)) {
        return FormCheck::original;
    }
    const bool ours = entry.phase == kPhaseApplied ? matches(current, entry.applied)
                                                   : matchesEither(current, entry.original, entry.applied);
    return ours ? FormCheck::skinned : FormCheck::changed;
}

RestorePlan planRestore(const IconState& current, const BackupEntry& entry, const IconContext& context) {
    const auto& facets = facetsFor(context);
    const auto joint = [](const IconFacet* facet) { return !facet->decidesAlone(); };
    const auto all = [&](auto&& test) {
        return std::all_of(facets.begin(), facets.end(),
                           [&](const IconFacet* facet) { return !joint(facet) || test(facet); });
    };
    // The Mac form keeps the whole form's rule: after a finished skin exactly the skin's state,
    // after an interrupted one the record's or the skin's, facet by facet.
    FormCheck macForm = FormCheck::original;
    if (!all([&](const IconFacet* f) { return f->matches(current, entry.original); })) {
        const bool ours = entry.phase == kPhaseApplied
                              ? all([&](const IconFacet* f) { return f->matches(current, entry.applied); })
                              : all([&](const IconFacet* f) {
                                    return f->matchesEither(current, entry.original, entry.applied);
                                });
        macForm = ours ? FormCheck::skinned : FormCheck::changed;
    }
    RestorePlan plan;
    for (const IconFacet* facet : facets) {
        const FormCheck found = joint(facet) ? macForm : facet->check(current, entry);
        if (found == FormCheck::skinned) {
            plan.skinned.push_back(facet);
        }
        plan.changed = plan.changed || found == FormCheck::changed;
    }
    return plan;
}

void tidyItem(const platform::ItemHandle& item, const IconContext& context, const BackupEntry& entry) {
    platform::FolderNames names(item);
    for (const IconFacet* facet : facetsFor(context)) {
        facet->tidy(item, context, entry, names);
    }
}

bool keptByPath(const BackupEntry& entry, const IconContext& context) {
    const auto& facets = facetsFor(context);
    return std::any_of(facets.begin(), facets.end(),
                       [&](const IconFacet* facet) { return facet->keepsByPath(entry, context); });
}

bool clearAtPath(const std::string& path, const BackupEntry& entry, const IconContext& context,
                 bool vanished) {
    bool cleared = false;
    for (const IconFacet* facet : facetsFor(context)) {
        cleared = facet->clearAtPath(path, entry, context, vanished) || cleared;
    }
    return cleared;
}

std::vector<FlushTarget> flushTargets(const platform::ItemHandle& item, const IconContext& context) {
    std::vector<FlushTarget> targets;
    for (const IconFacet* facet : facetsFor(context)) {
        facet->flush(item, context, targets);
    }
    targets.push_back({{}, item.fd(), item.path()});
    return targets;
}

void flushShared(const IconContext& context) {
    for (const IconFacet* facet : facetsFor(context)) {
        facet->flushShared(context);
    }
}

std::uint64_t hashIconState(const IconState& state, std::uint64_t seed) {
    for (const IconFacet* facet : iconFacets()) {
        seed = facet->hash(state, seed);
    }
    return seed;
}

bool beyondFirstSchema(const IconState& state) {
    return std::any_of(iconFacets().begin(), iconFacets().end(),
                       [&](const IconFacet* facet) { return facet->beyondFirstSchema(state); });
}

std::uint64_t mixHash(std::uint64_t h, const Bytes& bytes) {
    h = (h ^ bytes.size()) * 1099511628211ull;
    for (const std::uint8_t b : bytes) {
        h = (h ^ b) * 1099511628211ull;
    }
    return h;
}

}  // namespace lumaro
