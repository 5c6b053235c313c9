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
// The store's emblem list, where the session draws badges instead of custom icons.
const IconFacet& emblemsFacet();
// Whether the state holds a captured emblem list; whether the recorded skin left our emblem.
bool holdsEmblems(const IconState& state);
bool leftFurballEmblem(const BackupEntry& entry);
// The user's copy of a desktop entry, for items of that kind.
const IconFacet& desktopEntryFacet();

// The key file `name` inside the open folder (see openSafeChild), bounded; nothing when there is
// none. SkinError `unsafe` or `unreadable`.
std::optional<DirectoryFile> readChildKeyFile(const platform::ItemHandle& folder, const std::string& name,
                                              const char* unsafe, const char* unreadable);

// The records side of a facet holding one captured key file in `DesktopIcon`: its comparisons,
// its JSON member, its bounds and its hash. The facet adds how the file is read and written.
class KeyFileFacet : public IconFacet {
  public:
    KeyFileFacet(std::optional<DirectoryFile> DesktopIcon::*member, const char* jsonName, std::uint64_t absentFactor)
        : member_(member), jsonName_(jsonName), absentFactor_(absentFactor) {}

    bool matches(const IconState& current, const IconState& expected) const override;
    bool matchesEither(const IconState& current, const IconState& a, const IconState& b) const override;
    void encode(const IconState& state, nlohmann::json& object) const override;
    void decode(const nlohmann::json& object, const std::string& parent, IconState& state) const override;
    bool withinBounds(const IconState& state) const override;
    std::uint64_t hash(const IconState& state, std::uint64_t h) const override;

  protected:
    const std::optional<DirectoryFile>& fileOf(const IconState& state) const;
    std::optional<DirectoryFile>& fileOf(IconState& state) const;  // the member created when missing

  private:
    std::optional<DirectoryFile> DesktopIcon::*member_;
    const char* jsonName_;
    std::uint64_t absentFactor_;
};

// Writes `contents` with `mode` as the child `name` of the open folder through `temporaryName`,
// synced before the rename, so that a crash leaves the old file or the new one; the folder's own
// flush makes the rename durable. SkinError `failure` when that cannot be done.
void writeChildAtomically(const platform::ItemHandle& folder, const std::string& name,
                          const std::string& temporaryName, const Bytes& contents, std::uint16_t mode,
                          const char* failure);

// The member, created when missing.
DesktopIcon& desktopOf(IconState& state);
// The "desktop" object of a state's JSON, created when missing.
nlohmann::json& desktopObject(nlohmann::json& object);
// For decoding: marks `state` as holding the member when the JSON has "desktop", and gives that
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
