// The seam between the engines and the operating system's file calls.
//
// Every Linux-specific file-system decision lives behind `FileSystem`: attribute names in the
// "user." namespace, birth time through statx, the 32-bit device encoding, close-on-exec
// descriptors. The engines never make a file system call of their own; they receive a
// `FileSystem&` and call it. Tests substitute it, usually by deriving from
// `ForwardingFileSystem` and overriding the calls they want to fail, count, slow or stop.
//
// Every call returns 0 on success or an errno value, sets nothing global and never throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace lumaro::platform {

// What lstat or fstat says about an object, in the form the engines record.
struct FileStatus {
    std::uint32_t mode = 0;  // st_mode: type and permission bits
    std::uint64_t linkCount = 0;
    std::uint64_t size = 0;
    std::int32_t device = 0;  // see encodeDevice
    std::uint64_t inode = 0;
    std::int64_t birthSeconds = 0;  // 0 and 0 where the file system keeps no birth time
    std::int64_t birthNanos = 0;
    std::uint32_t uid = 0;
    std::uint32_t gid = 0;

    std::uint32_t type() const;  // mode & S_IFMT
    bool isRegular() const;
    bool isDirectory() const;
};

// How renameAt treats the target name.
enum class Rename {
    noReplace,  // fails with EEXIST when the target exists
    exchange,   // both names must exist; they swap objects in one step
};

// The device number as the records store it: the 32-bit encoding
// (minor & 0xff) | (major << 8) | ((minor & ~0xff) << 12), taken as unsigned 32 bits and
// reinterpreted as a signed value. It wraps and never fails.
std::int32_t encodeDevice(std::uint32_t major, std::uint32_t minor);

// Syncs under way (FileSystem::startFsyncAll).
class PendingSyncs {
  public:
    virtual ~PendingSyncs() = default;
    // Waits for the syncs; the result of each, in the order asked. Called once.
    virtual std::vector<int> results() = 0;
};

class FileSystem {
  public:
    FileSystem() = default;
    FileSystem(const FileSystem&) = delete;
    FileSystem& operator=(const FileSystem&) = delete;
    virtual ~FileSystem() = default;

    // The process-wide implementation over the real system calls.
    static FileSystem& real();

    // --- Inspection ---
    // Never follows a final symbolic link.
    virtual int lstat(const std::string& path, FileStatus& out) = 0;
    // Follows symbolic links (an existence test in the platform's usual sense).
    virtual int stat(const std::string& path, FileStatus& out) = 0;
    virtual int access(const std::string& path, int mode) = 0;
    // Every name in the folder but "." and "..", in the order the system gives them.
    virtual int listDirectory(const std::string& path, std::vector<std::string>& names) = 0;
    virtual int realPath(const std::string& path, std::string& out) = 0;

    // --- Descriptors ---
    // O_CLOEXEC is always added. `mode` applies only when the call creates the file.
    virtual int open(const std::string& path, int flags, unsigned mode, int& fd) = 0;
    virtual int fstat(int fd, FileStatus& out) = 0;
    // One read call: `got` is 0 at the end of the file.
    virtual int read(int fd, void* buffer, std::size_t size, std::size_t& got) = 0;
    // One write call: `written` may be short.
    virtual int write(int fd, const void* data, std::size_t size, std::size_t& written) = 0;
    // Moves the descriptor's file offset to `offset` from the start.
    virtual int seek(int fd, std::uint64_t offset) = 0;
    virtual int ftruncate(int fd, std::uint64_t length) = 0;
    virtual int fchmod(int fd, unsigned mode) = 0;
    virtual int fchown(int fd, std::uint32_t uid, std::uint32_t gid) = 0;
    virtual int fsync(int fd) = 0;
    // Syncs every descriptor; the result of each, in order. This one syncs them one after the
    // other through fsync(); the real one syncs them at once, so that the file system and the disk
    // may make them durable together (one journal commit, one cache flush).
    virtual std::vector<int> fsyncAll(const std::vector<int>& fds);
    // fsyncAll begun: the caller goes on while the syncs are made, and the PendingSyncs' results()
    // waits for them. The descriptors must stay open until then (or until it is destroyed, which
    // waits too). This one makes them at once through fsyncAll(); the real one on its threads.
    virtual std::unique_ptr<PendingSyncs> startFsyncAll(const std::vector<int>& fds);
    virtual int flock(int fd, int operation) = 0;
    virtual int close(int fd) = 0;
    // Closes `fd`, the last hold on a file this program just unlinked. That close frees the file
    // (its blocks given back, and discarded on a disk mounted so), the cost of the removal; this
    // one pays it at once through close(), the real one on a thread of its own while the caller
    // goes on. Nothing of the removal's durability waits on it: the name is gone already.
    virtual void closeRemoved(int fd);

    // --- Through an open item: the same calls on the object a descriptor holds, whatever its path
    // names by now ---
    // Opens one name inside the open folder `folder` (a name with "/" is EINVAL). O_CLOEXEC is
    // always added; the caller adds O_NOFOLLOW.
    virtual int openAt(int folder, const std::string& name, int flags, unsigned mode, int& fd) = 0;
    // The status of one name inside the open folder `folder`, never following a final link.
    virtual int lstatAt(int folder, const std::string& name, FileStatus& out) = 0;
    // Every name in the open folder `folder` but "." and "..", as listDirectory gives them.
    virtual int listDirectoryAt(int folder, std::vector<std::string>& names) = 0;
    // Removes one name (never a folder) inside the open folder `folder`.
    virtual int unlinkAt(int folder, const std::string& name) = 0;
    // Renames one name inside the open folder `folder` to another there, in one step, never over
    // an existing name: `how` says whether the target must be absent or is swapped with `from`.
    // A file system that cannot do it gives EINVAL, ENOSYS or EOPNOTSUPP.
    virtual int renameAt(int folder, const std::string& from, const std::string& to, Rename how) = 0;
    // Extended attributes. Names are the program's names ("com.apple.FinderInfo"); on Linux each
    // is stored as "user." + name, and other namespaces are invisible here. A missing attribute
    // gives ENODATA. With `buffer` null, `length` receives the value's size; otherwise the value
    // is read into `buffer` (ERANGE when it does not fit) and `length` receives its size. The list
    // is NUL-terminated names with the same convention.
    virtual int fgetAttribute(int fd, const std::string& name, void* buffer, std::size_t size,
                              std::size_t& length) = 0;
    virtual int fsetAttribute(int fd, const std::string& name, const void* data, std::size_t size) = 0;
    virtual int fremoveAttribute(int fd, const std::string& name) = 0;
    virtual int flistAttributes(int fd, char* buffer, std::size_t size, std::size_t& length) = 0;
    // Copies every extended attribute the process can read on `from` (every namespace: the ACL
    // and security labels too, not only the program's names) onto `to`. The first error, if any.
    virtual int fcopyAttributes(int from, int to) = 0;

    // --- Names ---
    // Creates one folder; the mode is narrowed by the umask as usual.
    virtual int mkdir(const std::string& path, unsigned mode) = 0;
    virtual int rename(const std::string& from, const std::string& to) = 0;
    virtual int unlink(const std::string& path) = 0;
    virtual int rmdir(const std::string& path) = 0;
};

// Forwards every call to another implementation. Tests derive from it and override only
// the calls they want to change, in the way a wrapper environment is used in storage engines.
class ForwardingFileSystem : public FileSystem {
  public:
    explicit ForwardingFileSystem(FileSystem& target) : target_(target) {}
    FileSystem& target() const { return target_; }

    int lstat(const std::string& path, FileStatus& out) override { return target_.lstat(path, out); }
    int stat(const std::string& path, FileStatus& out) override { return target_.stat(path, out); }
    int access(const std::string& path, int mode) override { return target_.access(path, mode); }
    int listDirectory(const std::string& path, std::vector<std::string>& names) override {
        return target_.listDirectory(path, names);
    }
    int realPath(const std::string& path, std::string& out) override { return target_.realPath(path, out); }
    int open(const std::string& path, int flags, unsigned mode, int& fd) override {
        return target_.open(path, flags, mode, fd);
    }
    int fstat(int fd, FileStatus& out) override { return target_.fstat(fd, out); }
    int read(int fd, void* buffer, std::size_t size, std::size_t& got) override {
        return target_.read(fd, buffer, size, got);
    }
    int write(int fd, const void* data, std::size_t size, std::size_t& written) override {
        return target_.write(fd, data, size, written);
    }
    int seek(int fd, std::uint64_t offset) override { return target_.seek(fd, offset); }
    int ftruncate(int fd, std::uint64_t length) override { return target_.ftruncate(fd, length); }
    int fchmod(int fd, unsigned mode) override { return target_.fchmod(fd, mode); }
    int fchown(int fd, std::uint32_t uid, std::uint32_t gid) override { return target_.fchown(fd, uid, gid); }
    int fsync(int fd) override { return target_.fsync(fd); }
    // fsyncAll and startFsyncAll are the base's, through this fsync(), so that an override of
    // fsync() sees every sync; a wrapper that changes no sync may forward them to the target's.
    int flock(int fd, int operation) override { return target_.flock(fd, operation); }
    int close(int fd) override { return target_.close(fd); }
    // closeRemoved is the base's, through this close(), so that an override of close() sees every
    // close.
    int openAt(int folder, const std::string& name, int flags, unsigned mode, int& fd) override {
        return target_.openAt(folder, name, flags, mode, fd);
    }
    int lstatAt(int folder, const std::string& name, FileStatus& out) override {
        return target_.lstatAt(folder, name, out);
    }
    int listDirectoryAt(int folder, std::vector<std::string>& names) override {
        return target_.listDirectoryAt(folder, names);
    }
    int unlinkAt(int folder, const std::string& name) override { return target_.unlinkAt(folder, name); }
    int renameAt(int folder, const std::string& from, const std::string& to, Rename how) override {
        return target_.renameAt(folder, from, to, how);
    }
    int fgetAttribute(int fd, const std::string& name, void* buffer, std::size_t size,
                      std::size_t& length) override {
        return target_.fgetAttribute(fd, name, buffer, size, length);
    }
    int fsetAttribute(int fd, const std::string& name, const void* data, std::size_t size) override {
        return target_.fsetAttribute(fd, name, data, size);
    }
    int fremoveAttribute(int fd, const std::string& name) override {
        return target_.fremoveAttribute(fd, name);
    }
    int flistAttributes(int fd, char* buffer, std::size_t size, std::size_t& length) override {
        return target_.flistAttributes(fd, buffer, size, length);
    }
    int fcopyAttributes(int from, int to) override { return target_.fcopyAttributes(from, to); }
    int mkdir(const std::string& path, unsigned mode) override { return target_.mkdir(path, mode); }
    int rename(const std::string& from, const std::string& to) override { return target_.rename(from, to); }
    int unlink(const std::string& path) override { return target_.unlink(path); }
    int rmdir(const std::string& path) override { return target_.rmdir(path); }

  private:
    FileSystem& target_;
};

}  // namespace lumaro::platform
