// The backup records: what the program changed and how to undo it.
// All records are plain values; equality is exact, field by field.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

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

// The complete icon state of one item: one part per form, each part's type declared with the
// facet that owns it (records/mac_form.h, records/desktop_form.h). A part type is a plain value
// with `==` whose default value means "nothing recorded": a state without the part and one
// holding its default are the same. Parts are shared between copies and copied on write.
class IconState {
  public:
    // The part, or its default where the state holds none.
    template <class Part>
    const Part& get() const {
        if (const Slot* slot = slotOf(&kindOf<Part>)) {
            return *static_cast<const Part*>(slot->value.get());
        }
        static const Part kNone{};
        return kNone;
    }
    // The part to change, made (default) or unshared first.
    template <class Part>
    Part& edit() {
        Slot* slot = slotOf(&kindOf<Part>);
        if (slot == nullptr) {
            return *static_cast<Part*>(
                parts_.emplace_back(Slot{&kindOf<Part>, std::make_shared<Part>()}).value.get());
        }
        if (slot->value.use_count() > 1) {
            slot->value = std::make_shared<Part>(*static_cast<const Part*>(slot->value.get()));
        }
        return *static_cast<Part*>(slot->value.get());
    }

    // Part by part, an absent part equal to its default.
    friend bool operator==(const IconState& a, const IconState& b);

    class PartPool;

  private:
    struct Kind {
        bool (*equal)(const void*, const void*);
        bool (*empty)(const void*);
    };
    template <class Part>
    static bool equalParts(const void* a, const void* b) {
        return *static_cast<const Part*>(a) == *static_cast<const Part*>(b);
    }
    template <class Part>
    static bool emptyPart(const void* a) {
        return *static_cast<const Part*>(a) == Part{};
    }
    template <class Part>
    static constexpr Kind kindOf{&equalParts<Part>, &emptyPart<Part>};  // one address per part type
    struct Slot {
        const Kind* kind;
        std::shared_ptr<void> value;
    };

    const Slot* slotOf(const Kind* kind) const {
        for (const Slot& slot : parts_) {
            if (slot.kind == kind) {
                return &slot;
            }
        }
        return nullptr;
    }
    Slot* slotOf(const Kind* kind) { return const_cast<Slot*>(std::as_const(*this).slotOf(kind)); }

    std::vector<Slot> parts_;  // a few, in the order first edited
};

// Distinct parts met recently, so that the states of many items share one copy of each equal
// part (most items of a run carry the same skinned icon).
class IconState::PartPool {
  public:
    // Points each part of `state` at an equal one held here, or keeps it here.
    void share(IconState& state);

  private:
    static constexpr std::size_t kKept = 64;  // bounds each share()'s comparisons
    std::vector<Slot> kept_;                  // most recently met last
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
