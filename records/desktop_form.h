// The forms Linux desktops draw an icon from: the desktop metadata store's keys of the item's
// path, its emblem list, a folder's ".directory" and ".hidden", and a desktop entry's user copy.
// Each facet has its part of `IconState`; together they are the record's "desktop" object.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/child_file.h"
#include "platform/desktop_metadata.h"
#include "records/icon_facet.h"
#include "records/records.h"

namespace lumaro {

// A captured key file: a folder's ".directory", or the user's own copy of a desktop entry.
using DirectoryFile = platform::ChildFile;

// Whether the Linux forms were captured, the record's "desktop" object: once any of them was (a
// folder's ".directory" always is, the metadata only where the session's store was available).
// Records made without them say nothing of those forms.
struct DesktopForms {
    bool recorded = false;

    friend bool operator==(const DesktopForms&, const DesktopForms&) = default;
};

// The parts of the facets below.
struct MetadataKeys {
    std::optional<platform::IconMetadata> keys;  // the store's two keys of the item's path

    friend bool operator==(const MetadataKeys&, const MetadataKeys&) = default;
};
// The store's emblem list of the item's path (an absent key is an empty list); captured only
// where the skin adds the furball emblem.
struct EmblemList {
    std::optional<std::vector<std::string>> names;

    friend bool operator==(const EmblemList&, const EmblemList&) = default;
};
struct DirectoryFileForm {
    std::optional<DirectoryFile> file;  // absent: the folder has none (or a file)

    friend bool operator==(const DirectoryFileForm&, const DirectoryFileForm&) = default;
};
struct EntryCopy {
    std::optional<DirectoryFile> file;  // a desktop entry's user copy; absent: none

    friend bool operator==(const EntryCopy&, const EntryCopy&) = default;
};
// A folder's ".hidden" (absent: the folder has none), where `captured` says it was captured:
// records made before this form lack it.
struct HiddenList {
    bool captured = false;
    std::optional<DirectoryFile> file;

    friend bool operator==(const HiddenList&, const HiddenList&) = default;
};

bool desktopRecorded(const IconState& state);
void recordDesktopForms(IconState& state);
// A Linux form's part to change; the state then records the Linux forms.
template <class Part>
Part& editDesktopForm(IconState& state) {
    recordDesktopForms(state);
    return state.edit<Part>();
}

inline constexpr const char* kDirectoryFileName = ".directory";
inline constexpr const char* kRestoreInDesktopSession =
    "需要在桌面会话中运行 Lumaro 才能还原此项目，已保留备份";
inline constexpr const char* kMetadataUnavailableNotice =
    "GNOME、Cinnamon 和 MATE 的文件管理器只有在桌面会话中运行 Lumaro 时才会显示新图标。";

const IconFacet& desktopMetadataFacet();
const IconFacet& directoryFileFacet();
// A folder's ".hidden", which gets the line "Icon\r" so that Linux file managers hide that file.
const IconFacet& hiddenListFacet();
// The store's emblem list, where the session draws badges instead of custom icons.
const IconFacet& emblemsFacet();
// Whether the state holds a captured emblem list; whether the recorded skin left our emblem.
bool holdsEmblems(const IconState& state);
bool leftFurballEmblem(const BackupEntry& entry);
// The user's copy of a desktop entry, for items of that kind.
const IconFacet& desktopEntryFacet();

// A form kept in one small file beside the item's names (a folder's ".directory", a user's
// desktop-entry copy): captured whole with its mode, replaced and removed only by swapping names
// and verifying (platform/child_file.h), owner and attributes kept. A subclass says which file
// and what the skin makes of it; this class does the rest, each form deciding alone at a restore.
class KeyFileFacet : public IconFacet {
  public:
    struct Texts {
        const char* unsafe;  // not a regular file with one link, or too large
        const char* unreadable;
        const char* unwritable;    // the skin could not write it
        const char* unrestorable;  // the restore could not put it back
    };
    KeyFileFacet(const char* jsonName, std::uint64_t absentFactor, Texts texts)
        : jsonName_(jsonName), absentFactor_(absentFactor), texts_(texts) {}

    void capture(const platform::ItemHandle& item, const IconContext& context,
                 IconState& state) const override;
    bool matches(const IconState& current, const IconState& expected) const override;
    bool matchesEither(const IconState& current, const IconState& a, const IconState& b) const override;
    bool decidesAlone() const override { return true; }
    void restore(const platform::ItemHandle& item, const IconContext& context, const BackupEntry& entry,
                 const IconState& current) const override;
    // The new file is staged whole; skin() puts it in place, or writes it itself where nothing was.
    void stage(const platform::ItemHandle& item, const IconContext& context, const IconState& original,
               Staging& staging) const override;
    void skin(const platform::ItemHandle& item, const IconContext& context,
              const IconState& original) const override;
    void tidy(const platform::ItemHandle& item, const IconContext& context, const BackupEntry& entry,
              platform::FolderNames& names) const override;
    bool showsNewIcon(const IconState& after, bool isDirectory, const IconContext& context) const override;
    bool computesPrediction() const override { return true; }
    void predict(const IconState& original, bool isDirectory, const IconContext& context,
                 IconState& predicted) const override;
    void encode(const IconState& state, nlohmann::json& object) const override;
    void decode(const nlohmann::json& object, const std::string& parent, IconState& state) const override;
    bool withinBounds(const IconState& state) const override;
    std::uint64_t hash(const IconState& state, std::uint64_t h) const override;
    bool beyondFirstSchema(const IconState& state) const override { return desktopRecorded(state); }

  protected:
    // The name of the file this form keeps for an item of this kind, or nullptr where it has none.
    virtual const std::string* fileName(bool isDirectory, const IconContext& context) const = 0;
    // The file the skin leaves, made from the one there was (nothing: none); SkinError when it
    // cannot be made.
    virtual DirectoryFile skinnedFile(const std::optional<DirectoryFile>& original,
                                      const IconContext& context) const = 0;
    // The form's file in its part of a state (KeyFileFacetOf gives them).
    virtual const std::optional<DirectoryFile>& fileIn(const IconState& state) const = 0;
    virtual std::optional<DirectoryFile>& fileIn(IconState& state) const = 0;
    const std::optional<DirectoryFile>& fileOf(const IconState& state) const { return fileIn(state); }
    std::optional<DirectoryFile>& fileOf(IconState& state) const;  // the state then records the Linux forms

  private:
    struct StagedFile;
    [[noreturn]] void fail(int err, bool restoring) const;

    const char* jsonName_;
    std::uint64_t absentFactor_;
    Texts texts_;
};

// A key file form whose part is `Part`, with the file as its member `file`.
template <class Part>
class KeyFileFacetOf : public KeyFileFacet {
  public:
    using KeyFileFacet::KeyFileFacet;

  protected:
    const std::optional<DirectoryFile>& fileIn(const IconState& state) const override {
        return state.get<Part>().file;
    }
    std::optional<DirectoryFile>& fileIn(IconState& state) const override { return state.edit<Part>().file; }
};

// The "desktop" object of a state's JSON, created when missing.
nlohmann::json& desktopObject(nlohmann::json& object);
// For decoding: marks `state` as recording the Linux forms when the JSON has "desktop", and gives that
// object's member `name` (checked to be an object; its path in `path`), or nullptr when absent.
const nlohmann::json* desktopMember(const nlohmann::json& object, const std::string& parent, const char* name,
                                    IconState& state, std::string& path);

// The SkinError for a store's errno: no answer, a value that cannot be kept exactly, or `otherwise`.
[[noreturn]] void throwMetadataError(int err, const char* otherwise);

// Whether the recorded skin left our custom icon on the item's path in the metadata store.
const std::string* skinnedCustomIcon(const BackupEntry& entry);

// The name a launcher shows for a desktop entry's record: its Name, localized for the user, from
// the copy the skin wrote (else the one it found), or the ID without ".desktop".
std::string desktopEntryDisplayName(const BackupEntry& entry);

}  // namespace lumaro
