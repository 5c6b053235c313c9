// The backup records: what the program changed and how to undo it.
// All records are plain values; equality is exact, field by field.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/child_file.h"
#include "platform/desktop_metadata.h"
#include "platform/file_ops.h"
#include "records/errors.h"

namespace lumaro {

using Bytes = platform::Bytes;
// Extended attributes: name to value.
using AttributeMap = std::map<std::string, Bytes>;

inline constexpr std::uint16_t kTypeDirectory = 0040000;  // S_IFDIR
inline constexpr std::uint16_t kTypeRegular = 0100000;    // S_IFREG

// Which file-system object an item is.
struct FileIdentity {
    std::int32_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t birthSeconds = 0;
    std::int64_t birthNanos = 0;
    std::uint16_t type = 0;  // st_mode & S_IFMT

    bool isDirectory() const { return type == kTypeDirectory; }
    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// A folder's captured "Icon\r" file.
struct IconFile {
    Bytes contents;
    AttributeMap attributes;
    std::uint16_t mode = 0;  // permission bits only (st_mode & 0777)

    friend bool operator==(const IconFile&, const IconFile&) = default;
};

// A captured key file: a folder's ".directory", or the user's own copy of a desktop entry.
using DirectoryFile = platform::ChildFile;

// The forms Linux desktops draw. Present once either was captured: a folder's ".directory"
// always is, the metadata only where the desktop session's store was available.
struct DesktopIcon {
    std::optional<platform::IconMetadata> metadata;  // the store's two keys of the item's path
    std::optional<DirectoryFile> directoryFile;      // absent: the folder has none (or a file)
    std::optional<DirectoryFile> entryFile = std::nullopt;  // a desktop entry's user copy; absent: none
    // The store's emblem list of the item's path (an absent key is an empty list); captured only
    // where the skin adds the furball emblem.
    std::optional<std::vector<std::string>> emblems = std::nullopt;
    // A folder's ".hidden" (absent: the folder has none), where `hiddenCaptured` says it was
    // captured: records made before this form lack it.
    std::optional<DirectoryFile> hiddenFile = std::nullopt;
    bool hiddenCaptured = false;

    friend bool operator==(const DesktopIcon&, const DesktopIcon&) = default;
};

// The complete icon state of one item.
struct IconState {
    std::optional<Bytes> finder;  // "com.apple.FinderInfo", 32 bytes when present
    std::optional<Bytes> fork;    // "com.apple.ResourceFork"
    std::optional<IconFile> iconFile;
    std::optional<DesktopIcon> desktop = std::nullopt;  // absent in records made without the Linux forms

    friend bool operator==(const IconState&, const IconState&) = default;
};

inline constexpr const char* kPhasePrepared = "prepared";
inline constexpr const char* kPhaseApplied = "applied";
inline constexpr const char* kPhaseRestoring = "restoring";
// The item's path was found without the item (gone, or another object there) and what the skin
// keeps by path is being taken back: those forms may be the skin's or already cleared; every
// form may be the record's or the skin's, as after an interrupted restore.
inline constexpr const char* kPhaseClearing = "clearing";

// What kind of item an entry is. A file or folder is named `name` inside the root; for a desktop
// entry, `name` is its desktop-file ID, the item is the root (the user's applications folder) and
// its icon state is the user's copy of the entry in that folder. Stored as the member "kind":
// absent for a file or folder, "desktopEntry" for a desktop entry.
enum class ItemKind : std::uint8_t { fileOrFolder, desktopEntry };

struct BackupEntry {
    std::string name;  // one path component inside the root
    FileIdentity identity;
    IconState original;
    IconState applied;  // the prediction while "prepared", the captured state from "applied" on
    std::string phase;  // "prepared", "applied" or "restoring"
    ItemKind kind = ItemKind::fileOrFolder;

    bool isDesktopEntry() const { return kind == ItemKind::desktopEntry; }
    friend bool operator==(const BackupEntry&, const BackupEntry&) = default;
};

// Seconds since 2001-01-01 00:00:00 UTC, the reference date of stored time points.
using ReferenceTime = double;
ReferenceTime currentReferenceTime();

struct BackupManifest {
    std::int64_t schema = 1;
    std::string rootPath;
    FileIdentity rootIdentity;
    ReferenceTime createdAt = currentReferenceTime();
    std::vector<BackupEntry> entries;

    friend bool operator==(const BackupManifest&, const BackupManifest&) = default;
};

struct PendingScope {
    std::string rootPath;
    bool includesApplications = false;

    friend bool operator==(const PendingScope&, const PendingScope&) = default;
};

// One error of a report: the item's name (empty for ErrorKind::operation), what kind it is, and
// its description. Its line is formed only where it is shown or written down.
struct ItemError {
    std::string name;
    ErrorKind kind = ErrorKind::item;
    std::string text;

    // As the user reads it: "name：text", or the text alone for an operation's error.
    std::string line() const;
    friend bool operator==(const ItemError&, const ItemError&) = default;
};

// The error `error` of the item `name`, of the kind the error says.
ItemError itemError(const std::string& name, const std::exception& error);
// An error of no one item.
ItemError operationError(const std::string& text);

// The result of one operation; never stored.
struct OperationReport {
    std::int64_t succeeded = 0;
    std::int64_t skipped = 0;
    std::vector<ItemError> errors;
    std::int64_t remaining = 0;
    std::vector<std::string> relaunchApplications;
    std::vector<std::string> missingItems;
    std::vector<std::string> setAsideItems = {};  // moved into skip records by a set-aside
    // An apply ran where the session's desktop metadata store was not available: a notice, no
    // item's error.
    bool desktopMetadataUnavailable = false;

    // Adds the counts and appends the lists of `other`, in order.
    void merge(const OperationReport& other);
    friend bool operator==(const OperationReport&, const OperationReport&) = default;
};

// An error line of a report: name, the full-width colon, then the description.
std::string errorLine(const std::string& name, const std::string& description);
// The lines of `errors`, in order.
std::vector<std::string> errorLines(const std::vector<ItemError>& errors);

}  // namespace lumaro
