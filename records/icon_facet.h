// Icon state as a set of facets. Each form of an item's icon state (the Mac attributes of the
// item, a folder's "Icon\r", and any other form a desktop draws) is one facet: it declares its
// part of `IconState` beside itself and alone knows it: how to capture it from an open item, to
// compare it, to skin and to put it back, its JSON members and its bounds. The engine, the
// records and the JSON code loop over `iconFacets()` and know none of their insides.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "platform/desktop_metadata.h"
#include "platform/icon_writer.h"
#include "platform/item_handle.h"
#include "records/records.h"

namespace lumaro::platform {
class FolderNames;
}  // namespace lumaro::platform

namespace lumaro {

class IconFacet;

// What the facets wrote ahead for one item (IconFacet::stage): files to be synced, together with
// other items', before the item is skinned; each facet's skin() then puts its part in place. A
// part still here when this goes removes what it wrote.
class Staging {
  public:
    class Part {
      public:
        virtual ~Part() = default;
        virtual int fd() const = 0;  // to sync before the skin
        // That sync's result; throws SkinError, as the skin would, for a failure.
        virtual void synced(int err) = 0;
    };
    void add(const IconFacet& facet, std::unique_ptr<Part> part) {
        parts_.emplace_back(&facet, std::move(part));
    }
    // The facet's part, taken out; null where it staged nothing.
    std::unique_ptr<Part> take(const IconFacet& facet);
    std::vector<int> descriptors() const;
    // The results of syncing descriptors(), in their order; throws the first failure.
    void synced(const std::vector<int>& results);

  private:
    std::vector<std::pair<const IconFacet*, std::unique_ptr<Part>>> parts_;
};

// A descriptor a flush syncs, and the path its failure names; `held` owns it where the flush
// opened it.
struct FlushTarget {
    platform::Descriptor held;
    int fd = -1;
    std::string path;
};

// What the facets reach besides the item, made once per operation.
struct IconContext {
    const platform::IconWriter* writer = nullptr;   // set for an apply
    platform::DesktopMetadata* metadata = nullptr;  // null where the session's store is unavailable
    std::string iconFile;                           // the absolute path of the icon file, for an apply
    // The emblem form is in use: the session's file manager draws badges and no custom icon (an
    // apply), or the record holds the item's emblems (a restore). Needs `metadata`.
    bool emblems = false;
    std::string emblemIcon;  // the furball installed as a theme icon, for an apply
    ItemKind kind = ItemKind::fileOrFolder;
    // For a desktop entry: its ID (the user copy's name in the item, which is the user's
    // applications folder), and for an apply the installed entry a new copy starts from.
    const std::string* entryId = nullptr;
    const Bytes* entrySource = nullptr;
    Staging* staging = nullptr;  // for a skin: what was staged for the item
};

// What a restore finds in one form of an item.
enum class FormCheck {
    original,  // already what was recorded: nothing to put back
    skinned,   // still what the skin left: its original goes back
    changed,   // someone else's since: the item is refused and its backup kept
};

class IconFacet {
  public:
    IconFacet() = default;
    IconFacet(const IconFacet&) = delete;
    IconFacet& operator=(const IconFacet&) = delete;
    virtual ~IconFacet() = default;

    // Reads the facet's members of `state` from the open item; throws SkinError.
    virtual void capture(const platform::ItemHandle& item, const IconContext& context,
                         IconState& state) const = 0;
    // Whether `current` visibly carries the facet's part of `expected` (the check a restore makes
    // before it lets a backup go).
    virtual bool matches(const IconState& current, const IconState& expected) const = 0;
    // Whether the facet's part of `current` is that of `a` or of `b`, as an interrupted change
    // leaves it.
    virtual bool matchesEither(const IconState& current, const IconState& a, const IconState& b) const = 0;
    // Makes a fresh, throw-away item hold the facet's part of `state` exactly; nothing is synced.
    virtual void writeExact(const platform::ItemHandle& item, const IconState& state) const {
        (void)item;
        (void)state;
    }
    // Throws SkinError when the facet's part of `entry` cannot be checked and put back here.
    virtual void requireRestorable(const BackupEntry&, const IconContext&) const {}
    // Whether the facet decides on its own what a restore does (a form a Linux desktop draws);
    // the others, the Mac form, decide together by the whole form's rule.
    virtual bool decidesAlone() const { return false; }
    // For a facet that decides alone: what its part of `current` is against the entry.
    virtual FormCheck check(const IconState& current, const BackupEntry& entry) const;
    // Puts the facet's part of `entry.original` back on the item, which carries `current` (found
    // to be the skin's); only what the skin changed goes back.
    virtual void restore(const platform::ItemHandle& item, const IconContext& context,
                         const BackupEntry& entry, const IconState& current) const = 0;
    // Before restore(), as skinAhead before skin(): makes ahead the writes of restore() that go to a
    // store taking many items' writes at once; writes nothing else.
    virtual void restoreAhead(const platform::ItemHandle&, const IconContext&, const BackupEntry&,
                              const IconState&) const {}
    // Gives the item, which was checked to carry `original`, the new icon.
    virtual void skin(const platform::ItemHandle& item, const IconContext& context,
                      const IconState& original) const = 0;
    // Before skin(): makes ahead the writes of skin() that go to a store taking many items' writes
    // at once (the context's store notes them and answers them when skin() makes them again);
    // writes nothing else.
    virtual void skinAhead(const platform::ItemHandle&, const IconContext&, const IconState&) const {}
    // Where the entry's path no longer holds its object (`vanished`: nothing there; otherwise
    // another object): takes back what the skin left that is kept by path rather than on the
    // object, and only while it is exactly the skin's. True when something was taken back.
    // For a vanished path, true when nothing of ours is left there.
    virtual bool clearAtPath(const std::string& /*path*/, const BackupEntry&, const IconContext&,
                             bool /*vanished*/) const {
        return false;
    }
    // Before a restore: removes what a stopped change of this form left beside the item that
    // holds nothing but the entry's own states. `names` lists a folder item, once for all forms.
    virtual void tidy(const platform::ItemHandle&, const IconContext&, const BackupEntry&,
                      platform::FolderNames& /*names*/) const {}
    // Whether clearAtPath has anything of the entry's to look for here.
    virtual bool keepsByPath(const BackupEntry&, const IconContext&) const { return false; }
    // Whether the facet's part of a just-skinned item shows the new icon.
    virtual bool showsNewIcon(const IconState&, bool /*isDirectory*/, const IconContext&) const {
        return true;
    }
    // Whether the facet's skinned state is a pure function of its original state, computed by
    // predict() instead of rehearsed on a staging copy (which must then leave it alone).
    virtual bool computesPrediction() const { return false; }
    virtual void predict(const IconState& /*original*/, bool /*isDirectory*/, const IconContext&,
                         IconState& /*predicted*/) const {}
    // Before skin(), once the item was rechecked: writes ahead into `staging`, unsynced, what
    // skin() will put in place; skin() then puts that in place (the context's staging) instead of
    // writing it. Changes nothing the item shows; throws SkinError as skin() would.
    virtual void stage(const platform::ItemHandle&, const IconContext&, const IconState&, Staging&) const {}
    // Opens what the facet wrote outside the item's own descriptor, for the caller to sync; throws
    // on failure.
    virtual void flush(const platform::ItemHandle&, const IconContext&, std::vector<FlushTarget>&) const {}
    // Flushes a store the facet shares among all items (one flush serves many items); throws.
    virtual void flushShared(const IconContext&) const {}

    virtual void encode(const IconState& state, nlohmann::json& object) const = 0;
    virtual void decode(const nlohmann::json& object, const std::string& path, IconState& state) const = 0;
    virtual bool withinBounds(const IconState& state) const = 0;
    // Whether the facet's part of `state` is one a reader of the first schema would ignore (it
    // would then restore only the rest).
    virtual bool beyondFirstSchema(const IconState&) const { return false; }
    // Mixes the facet's members into a hash of the whole state.
    virtual std::uint64_t hash(const IconState& state, std::uint64_t seed) const = 0;
};

// Every facet, in the order skinning applies them: the last write is the Mac form's flag, an
// attribute change that running file managers notice. The records, comparisons and hashes use
// them all; a facet's part of a state it does not apply to is absent.
const std::vector<const IconFacet*>& iconFacets();
// The facets that capture, skin and restore an item of the context's kind: a desktop entry's one,
// or those of a file or folder.
const std::vector<const IconFacet*>& facetsFor(const IconContext& context);

// --- The whole state, facet by facet ---

IconState captureIconState(const platform::ItemHandle& item, const IconContext& context);
// Opens the item at `path`, checks it is `recorded`, and captures it.
IconState captureIconState(platform::FileSystem& fs, const std::string& path, const FileIdentity& recorded,
                           const IconContext& context = {});
// Whether `current` visibly carries the icon of `expected`.
bool iconStateMatches(const IconState& current, const IconState& expected);
// Whether `current` shows, facet by facet, the icon of `a` or of `b`.
bool stateMatchesEither(const IconState& current, const IconState& a, const IconState& b);
// Skins the item, checked to carry `original`: every facet's write. SkinError when one fails.
void skinItem(const platform::ItemHandle& item, const IconContext& context, const IconState& original);
// What a skinned item carries; SkinError when a facet does not show the new icon.
IconState verifySkin(const platform::ItemHandle& item, const IconContext& context);
// Each facet's skinAhead, for an item about to be skinned.
void skinAhead(const platform::ItemHandle& item, const IconContext& context, const IconState& original);
// Each facet's stage, for an item about to be skinned with `staging` in its context.
void stageItem(const platform::ItemHandle& item, const IconContext& context, const IconState& original,
               Staging& staging);
// What a restore does to an item that carries `current`: the facets whose original goes back,
// in the order they are written, and whether some form holds what neither the record nor the
// skin left (the item is then refused once the others are back).
struct RestorePlan {
    std::vector<const IconFacet*> skinned;
    bool changed = false;
};
RestorePlan planRestore(const IconState& current, const BackupEntry& entry, const IconContext& context);
bool keptByPath(const BackupEntry& entry, const IconContext& context);
void tidyItem(const platform::ItemHandle& item, const IconContext& context, const BackupEntry& entry);
// Takes back at `path` what each facet kept there by path; true when anything was.
bool clearAtPath(const std::string& path, const BackupEntry& entry, const IconContext& context,
                 bool vanished);
// Throws SkinError when some facet of `entry` cannot be restored with `context`.
void requireRestorable(const BackupEntry& entry, const IconContext& context);
// What makes an item's writes survive a power loss, in order: each facet's files, then the item
// itself, opened for the caller to sync with other items'; throws on failure. The stores shared
// among items are flushShared's, which then must succeed before any of those writes is relied on.
std::vector<FlushTarget> flushTargets(const platform::ItemHandle& item, const IconContext& context);
void flushShared(const IconContext& context);
std::uint64_t hashIconState(const IconState& state, std::uint64_t seed);
bool beyondFirstSchema(const IconState& state);

// 1-byte FNV mixing for the facets' hashes.
std::uint64_t mixHash(std::uint64_t h, const Bytes& bytes);

}  // namespace lumaro
