// Small files that stand beside a person's own names and carry an icon form: a folder's
// ".directory", a user's copy of a desktop entry. Another program may save any of them at any
// moment, so they are never replaced or removed by name after a check: the new file is made
// under a private name and swapped into place in one step, and what was swapped out is
// compared with what was checked; a difference is swapped back and reported. Nothing but the
// file's own name and its private names is ever created, renamed or deleted.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/file_ops.h"
#include "platform/item_handle.h"

namespace lumaro::platform {

// What one such file holds: its bytes and its permission bits.
struct ChildFile {
    Bytes contents;
    std::uint16_t mode = 0;  // st_mode & 0777

    friend bool operator==(const ChildFile&, const ChildFile&) = default;
};

// Whether `name` leaves room for its private names (".<name>.lumaro-<16 hex digits>") within
// the 255 bytes of a folder entry.
bool fitsPrivateName(const std::string& name);

// Reads the child `name` of the open folder, at most `limit` bytes. ENOENT when there is none;
// ELOOP or EINVAL when it is not a regular file with one link; EFBIG above `limit`.
int readChild(const ItemHandle& folder, const std::string& name, std::uint64_t limit, ChildFile& out);

// Results of the two calls below: 0; ESTALE when the folder did not hold `expected` (the file
// is then as the other program left it); EPERM when the old file's owner, group, set-id or
// sticky bits, extended attributes or ACL cannot be carried over; ENOTSUP when the file system
// cannot swap two names; or the system's error. The folder itself is not synced.

// Puts `wanted` at `name`, which must hold exactly `expected` (nothing: no file). A rewritten
// file keeps the old one's owner, group, set-id and sticky bits, extended attributes and ACL.
int replaceChild(const ItemHandle& folder, const std::string& name, const std::optional<ChildFile>& expected,
                 const ChildFile& wanted, std::uint64_t limit);

// A replacement made ahead by stageChild: the new file written whole under a private name, with
// the old one's owner and attributes, and still open, but not synced. The caller syncs fd(), then
// commitChild puts it in place; one never committed is removed when this goes. The folder handle
// it was staged through must outlive it where it is (not moved).
class StagedChild {
  public:
    StagedChild() = default;
    StagedChild(const StagedChild&) = delete;
    StagedChild& operator=(const StagedChild&) = delete;
    ~StagedChild();
    int fd() const { return file_.get(); }

  private:
    friend int stageChild(const ItemHandle&, const std::string&, const std::optional<ChildFile>&,
                          const ChildFile&, std::uint64_t, StagedChild&);
    friend int commitChild(StagedChild&);

    const ItemHandle* folder_ = nullptr;
    std::string name_;
    std::string temporary_;  // empty once committed (or never staged)
    std::optional<ChildFile> expected_;
    std::uint64_t limit_ = 0;
    FileStatus oldStatus_;
    FileStatus made_;
    Descriptor file_;
};
// replaceChild in two steps, with the same results: everything up to the private file's sync
// into `out` (an empty one), then, once the caller synced it, the swap and its check.
int stageChild(const ItemHandle& folder, const std::string& name, const std::optional<ChildFile>& expected,
               const ChildFile& wanted, std::uint64_t limit, StagedChild& out);
int commitChild(StagedChild& staged);
// Removes `name`, which must hold exactly `expected`: renamed to a private name, checked there,
// then unlinked, or put back. A file already gone counts as removed.
int removeChild(const ItemHandle& folder, const std::string& name, const ChildFile& expected,
                std::uint64_t limit);

// The names in a folder, listed when first asked for, so that the leftovers of several files are
// looked for in one listing. The folder's handle must outlive it.
class FolderNames {
  public:
    explicit FolderNames(const ItemHandle& folder) : folder_(folder) {}
    // Null when the folder cannot be listed.
    const std::vector<std::string>* get();

  private:
    const ItemHandle& folder_;
    bool listed_ = false;
    std::optional<std::vector<std::string>> names_;
};

// Removes what a stopped replacement or removal of `name` left under its private names: only
// regular files with one link whose contents `known` accepts (what was to be written, or what
// was checked before it was swapped out); anything else there stays. `names` lists the folder.
void removeLeftovers(const ItemHandle& folder, const std::string& name, std::uint64_t limit,
                     const std::function<bool(const ChildFile&)>& known, FolderNames& names);

}  // namespace lumaro::platform
