// The forms Linux desktops draw an icon from: the desktop metadata store's keys of the item's
// path, and a folder's ".directory". Two facets sharing the `desktop` member of `IconState`.
#pragma once

#include <nlohmann/json.hpp>

#include "records/icon_facet.h"
#include "records/records.h"

namespace lumaro {

inline constexpr const char* kDirectoryFileName = ".directory";
inline constexpr const char* kRestoreInDesktopSession = "需要在桌面会话中运行 Lumaro 才能还原此项目，已保留备份";
inline constexpr const char* kMetadataUnavailableNotice =
    "GNOME、Cinnamon 和 MATE 的文件管理器只有在桌面会话中运行 Lumaro 时才会显示新图标。";

const IconFacet& desktopMetadataFacet();
const IconFacet& directoryFileFacet();
// The user's copy of a desktop entry, for items of that kind.
const IconFacet& desktopEntryFacet();

// A form kept in one small file beside the item's names (a folder's ".directory", a user's
// desktop-entry copy): captured whole with its mode, replaced and removed only by swapping names
// and verifying (platform/child_file.h), owner and attributes kept. A subclass says which file
// and what the skin makes of it; this class does the rest, each form deciding alone at a restore.
class KeyFileFacet : public IconFacet {
  public:
    struct Texts {
        const char* unsafe;        // not a regular file with one link, or too large
        const char* unreadable;
        const char* unwritable;    // the skin could not write it
        const char* unrestorable;  // the restore could not put it back
    };
    KeyFileFacet(std::optional<DirectoryFile> DesktopIcon::*member, const char* jsonName, std::uint64_t absentFactor,
                 Texts texts)
        : member_(member), jsonName_(jsonName), absentFactor_(absentFactor), texts_(texts) {}

    void capture(const platform::ItemHandle& item, const IconContext& context, IconState& state) const override;
    bool matches(const IconState& current, const IconState& expected) const override;
    bool matchesEither(const IconState& current, const IconState& a, const IconState& b) const override;
    bool decidesAlone() const override { return true; }
    void restore(const platform::ItemHandle& item, const IconContext& context, const BackupEntry& entry,
                 const IconState& current) const override;
    void skin(const platform::ItemHandle& item, const IconContext& context, const IconState& original) const override;
    void tidy(const platform::ItemHandle& item, const IconContext& context, const BackupEntry& entry) const override;
    bool showsNewIcon(const IconState& after, bool isDirectory, const IconContext& context) const override;
    bool computesPrediction() const override { return true; }
    void predict(const IconState& original, bool isDirectory, const IconContext& context,
                 IconState& predicted) const override;
    void encode(const IconState& state, nlohmann::json& object) const override;
    void decode(const nlohmann::json& object, const std::string& parent, IconState& state) const override;
    bool withinBounds(const IconState& state) const override;
    std::uint64_t hash(const IconState& state, std::uint64_t h) const override;

  protected:
    // The name of the file this form keeps for an item of this kind, or nullptr where it has none.
    virtual const std::string* fileName(bool isDirectory, const IconContext& context) const = 0;
    // The file the skin leaves, made from the one there was (nothing: none); SkinError when it
    // cannot be made.
    virtual DirectoryFile skinnedFile(const std::optional<DirectoryFile>& original,
                                      const IconContext& context) const = 0;
    const std::optional<DirectoryFile>& fileOf(const IconState& state) const;
    std::optional<DirectoryFile>& fileOf(IconState& state) const;  // the member created when missing

  private:
    [[noreturn]] void fail(int err, bool restoring) const;

    std::optional<DirectoryFile> DesktopIcon::*member_;
    const char* jsonName_;
    std::uint64_t absentFactor_;
    Texts texts_;
};

// The member, created when missing.
DesktopIcon& desktopOf(IconState& state);
// The "desktop" object of a state's JSON, created when missing.
nlohmann::json& desktopObject(nlohmann::json& object);
// For decoding: marks `state` as holding the member when the JSON has "desktop", and gives that
// object's member `name` (checked to be an object; its path in `path`), or nullptr when absent.
const nlohmann::json* desktopMember(const nlohmann::json& object, const std::string& parent, const char* name,
                                    IconState& state, std::string& path);

// Whether the recorded skin left our custom icon on the item's path in the metadata store.
const std::string* skinnedCustomIcon(const BackupEntry& entry);

// The name a launcher shows for a desktop entry's record: its Name, localized for the user, from
// the copy the skin wrote (else the one it found), or the ID without ".desktop".
std::string desktopEntryDisplayName(const BackupEntry& entry);

}  // namespace lumaro
