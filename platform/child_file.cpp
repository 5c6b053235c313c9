#include "platform/child_file.h"

#include <fcntl.h>

#include <cerrno>
#include <utility>
#include <vector>

namespace lumaro::platform {

namespace {

constexpr std::size_t kMaxNameLength = 255;
constexpr const char* kPrivateInfix = ".lumaro-";

std::string privateName(const std::string& name) {
    return "." + name + kPrivateInfix + randomTag();
}

bool sameObject(const FileStatus& a, const FileStatus& b) {
    return a.device == b.device && a.inode == b.inode;
}

// Opens and reads the child through one descriptor; the descriptor stays open in `fd`.
int openChecked(const ItemHandle& folder, const std::string& name, std::uint64_t limit, Descriptor& fd,
                FileStatus& st, ChildFile& out) {
    const auto refused = [&]() -> int {
        if (st.type() == 0120000) {
            return ELOOP;
        }
        if (!st.isRegular() || st.linkCount != 1) {
            return EINVAL;
        }
        return st.size > limit ? EFBIG : 0;
    };
    int err = folder.fs().lstatAt(folder.fd(), name, st);
    if (err == 0) {
        err = refused();
    }
    if (err == 0) {
        err = folder.openChild(name, O_RDONLY, 0, fd);
    }
    if (err == ENXIO || err == EISDIR) {
        err = EINVAL;
    }
    if (err == 0) {
        err = folder.fs().fstat(fd.get(), st);
    }
    if (err == 0) {
        err = refused();
    }
    if (err == 0) {
        err = readToEnd(folder.fs(), fd.get(), limit, st.size, out.contents);
        out.mode = static_cast<std::uint16_t>(st.mode & 0777);
    }
    return err;
}

// Whether `name` still holds exactly the object `checked` with exactly `expected`; `fd` holds it
// open.
bool holdsExactly(const ItemHandle& folder, const std::string& name, const FileStatus& checked,
                  const ChildFile& expected, std::uint64_t limit, Descriptor& fd) {
    FileStatus st;
    ChildFile now;
    return openChecked(folder, name, limit, fd, st, now) == 0 && sameObject(st, checked) && now == expected;
}

// Unlinks the private name of a file checked through `held`, which lets go of it last.
int unlinkHeld(const ItemHandle& folder, const std::string& temporary, Descriptor& held) {
    const int err = folder.unlinkChild(temporary);
    if (err == 0) {
        held.closeRemoved();
    }
    return err;
}

bool cannotSwap(int err) {
    return err == EINVAL || err == ENOSYS || err == EOPNOTSUPP || err == ENOTSUP;
}

// Makes the private file holding `wanted`, not yet synced and left open in `out`, with the old
// file's owner, group, special mode bits and attributes when there is one.
int writePrivate(const ItemHandle& folder, const std::string& temporary, const ChildFile& wanted,
                 const Descriptor* old, const FileStatus* oldStatus, FileStatus& made, Descriptor& out) {
    FileSystem& fs = folder.fs();
    Descriptor fd;
    int err = folder.openChild(temporary, O_RDWR | O_CREAT | O_EXCL, 0600, fd);
    if (err != 0) {
        return err;
    }
    const unsigned mode = (wanted.mode & 0777u) | (oldStatus != nullptr ? oldStatus->mode & 07000u : 0u);
    err = writeFully(fs, fd.get(), wanted.contents.data(), wanted.contents.size(), false);
    if (err == 0) {
        err = fs.fstat(fd.get(), made);
    }
    if (err == 0 && oldStatus != nullptr) {
        // The owner first: a change of owner clears the set-id bits set after it.
        if (made.uid != oldStatus->uid || made.gid != oldStatus->gid) {
            err = fs.fchown(fd.get(), oldStatus->uid, oldStatus->gid) == 0 ? 0 : EPERM;
        }
        if (err == 0 && fs.fcopyAttributes(old->get(), fd.get()) != 0) {
            err = EPERM;
        }
    }
    if (err == 0) {
        err = fs.fchmod(fd.get(), mode);
    }
    // Without the right to, the system drops a set-group-ID bit silently.
    if (err == 0 && (err = fs.fstat(fd.get(), made)) == 0 && (made.mode & 07777u) != mode) {
        err = EPERM;
    }
    if (err != 0) {
        (void)fd.close();
        (void)folder.unlinkChild(temporary);
        return err;
    }
    out = std::move(fd);
    return 0;
}

// Removes our own private file, only while it is still the object made.
void dropPrivate(const ItemHandle& folder, const std::string& temporary, const FileStatus& made) {
    FileStatus st;
    if (folder.fs().lstatAt(folder.fd(), temporary, st) == 0 && sameObject(st, made)) {
        (void)folder.unlinkChild(temporary);
    }
}

}  // namespace

bool fitsPrivateName(const std::string& name) {
    return name.size() + 1 + std::string(kPrivateInfix).size() + 16 <= kMaxNameLength;
}

int readChild(const ItemHandle& folder, const std::string& name, std::uint64_t limit, ChildFile& out) {
    Descriptor fd;
    FileStatus st;
    return openChecked(folder, name, limit, fd, st, out);
}

StagedChild::~StagedChild() {
    if (!temporary_.empty()) {
        (void)file_.close();
        dropPrivate(*folder_, temporary_, made_);
    }
}

int stageChild(const ItemHandle& folder, const std::string& name, const std::optional<ChildFile>& expected,
               const ChildFile& wanted, std::uint64_t limit, StagedChild& out) {
    if (!fitsPrivateName(name)) {
        return ENAMETOOLONG;
    }
    Descriptor old;
    FileStatus oldStatus;
    ChildFile current;
    const int err = openChecked(folder, name, limit, old, oldStatus, current);
    if (err != 0 && err != ENOENT) {
        return err == ELOOP || err == EINVAL || err == EFBIG ? ESTALE : err;
    }
    if ((err == ENOENT) != !expected || (expected && current != *expected)) {
        return ESTALE;
    }
    const std::string temporary = privateName(name);
    FileStatus made;
    Descriptor file;
    if (const int e = writePrivate(folder, temporary, wanted, expected ? &old : nullptr,
                                   expected ? &oldStatus : nullptr, made, file);
        e != 0) {
        return e;
    }
    out.folder_ = &folder;
    out.name_ = name;
    out.temporary_ = temporary;
    out.expected_ = expected;
    out.limit_ = limit;
    out.oldStatus_ = oldStatus;
    out.made_ = made;
    out.file_ = std::move(file);
    return 0;
}

int commitChild(StagedChild& staged) {
    if (staged.temporary_.empty()) {
        return EINVAL;
    }
    const ItemHandle& folder = *staged.folder_;
    const std::string& name = staged.name_;
    // From here on the private file is this call's to put in place or remove.
    const std::string temporary = std::exchange(staged.temporary_, {});
    const FileStatus& made = staged.made_;
    if (const int e = staged.file_.close(); e != 0) {
        dropPrivate(folder, temporary, made);
        return e;
    }
    if (!staged.expected_) {
        const int e = folder.renameChild(temporary, name, Rename::noReplace);
        if (e != 0) {
            dropPrivate(folder, temporary, made);
            return e == EEXIST ? ESTALE : cannotSwap(e) ? ENOTSUP : e;
        }
        return 0;
    }
    if (const int e = folder.renameChild(temporary, name, Rename::exchange); e != 0) {
        dropPrivate(folder, temporary, made);
        return e == ENOENT ? ESTALE : cannotSwap(e) ? ENOTSUP : e;
    }
    // The private name now holds what stood at `name`: it must be what was checked.
    Descriptor old;
    if (!holdsExactly(folder, temporary, staged.oldStatus_, *staged.expected_, staged.limit_, old)) {
        if (folder.renameChild(temporary, name, Rename::exchange) == 0) {
            dropPrivate(folder, temporary, made);
        }
        return ESTALE;
    }
    return unlinkHeld(folder, temporary, old);
}

int replaceChild(const ItemHandle& folder, const std::string& name, const std::optional<ChildFile>& expected,
                 const ChildFile& wanted, std::uint64_t limit) {
    StagedChild staged;
    if (const int e = stageChild(folder, name, expected, wanted, limit, staged); e != 0) {
        return e;
    }
    if (const int e = folder.fs().fsync(staged.fd()); e != 0) {
        return e;
    }
    return commitChild(staged);
}

const std::vector<std::string>* FolderNames::get() {
    if (!listed_) {
        listed_ = true;
        std::vector<std::string> names;
        if (folder_.fs().listDirectoryAt(folder_.fd(), names) == 0) {
            names_ = std::move(names);
        }
    }
    return names_ ? &*names_ : nullptr;
}

void removeLeftovers(const ItemHandle& folder, const std::string& name, std::uint64_t limit,
                     const std::function<bool(const ChildFile&)>& known, FolderNames& listing) {
    const std::string prefix = "." + name + kPrivateInfix;
    const std::vector<std::string>* names = listing.get();
    if (names == nullptr) {
        return;
    }
    for (const std::string& candidate : *names) {
        if (candidate.size() != prefix.size() + 16 || !candidate.starts_with(prefix) ||
            candidate.find_first_not_of("0123456789abcdef", prefix.size()) != std::string::npos) {
            continue;
        }
        Descriptor fd;
        FileStatus st;
        ChildFile left;
        if (openChecked(folder, candidate, limit, fd, st, left) == 0 && known(left)) {
            (void)folder.unlinkChild(candidate);
        }
    }
}

int removeChild(const ItemHandle& folder, const std::string& name, const ChildFile& expected,
                std::uint64_t limit) {
    if (!fitsPrivateName(name)) {
        return ENAMETOOLONG;
    }
    Descriptor fd;
    FileStatus checked;
    ChildFile current;
    int err = openChecked(folder, name, limit, fd, checked, current);
    if (err == ENOENT) {
        return 0;
    }
    if (err != 0 || current != expected) {
        return err == 0 || err == ELOOP || err == EINVAL || err == EFBIG ? ESTALE : err;
    }
    const std::string temporary = privateName(name);
    err = folder.renameChild(name, temporary, Rename::noReplace);
    if (err != 0) {
        return err == ENOENT ? ESTALE : cannotSwap(err) ? ENOTSUP : err;
    }
    Descriptor held;
    if (!holdsExactly(folder, temporary, checked, expected, limit, held)) {
        // Another program's file goes back; should a new one have taken the name meanwhile, both
        // are kept, the other under the private name.
        (void)folder.renameChild(temporary, name, Rename::noReplace);
        return ESTALE;
    }
    fd.close();  // `held` holds the same file
    return unlinkHeld(folder, temporary, held);
}

}  // namespace lumaro::platform
