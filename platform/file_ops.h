// File operations composed from the FileSystem seam, so that a substituted FileSystem sees
// (and can fail or stop) every single system call they make.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/bounds.h"
#include "platform/file_system.h"

namespace lumaro::platform {

using Bytes = std::vector<std::uint8_t>;

// Owns one open descriptor and closes it through its FileSystem.
class Descriptor {
  public:
    Descriptor() = default;
    Descriptor(FileSystem& fs, int fd) : fs_(&fs), fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    Descriptor(Descriptor&& other) noexcept;
    Descriptor& operator=(Descriptor&& other) noexcept;
    ~Descriptor();

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Closes now and reports the result; the descriptor is released either way.
    int close();
    // Lets go of a file this program just unlinked, which this descriptor holds last
    // (FileSystem::closeRemoved).
    void closeRemoved();

  private:
    FileSystem* fs_ = nullptr;
    int fd_ = -1;
};

// Opens `path`; 0 or errno.
int openDescriptor(FileSystem& fs, const std::string& path, int flags, unsigned mode, Descriptor& out);

// Reads from the current position to the end of the file, at most `limit` bytes. EFBIG when
// the file holds more. `sizeHint` (for example from fstat) sizes the first allocation and is
// itself clamped to `limit`.
int readToEnd(FileSystem& fs, int fd, std::uint64_t limit, std::uint64_t sizeHint, Bytes& out);
int readToEnd(FileSystem& fs, int fd, std::uint64_t limit, std::uint64_t sizeHint, std::string& out);

// Writes every byte, repeating short writes. A write that makes no progress gives EIO.
// Interrupted calls are retried only when `retryInterrupted` is set.
int writeFully(FileSystem& fs, int fd, const void* data, std::size_t size, bool retryInterrupted = true);

// Reads a regular file whole through one descriptor opened without following a link and
// without blocking on a FIFO. ENOENT when missing, ELOOP for a link, EFTYPE-like EINVAL for
// anything but a regular file, EFBIG above `limit`.
int readRegularFile(FileSystem& fs, const std::string& path, std::uint64_t limit, Bytes& out);

// Which call of readAttribute failed: asking the value's size, or reading the value.
enum class AttributeReadStep { size, value };

// The value of the attribute `name` of the object open as `fd`, at most kMaxValueSize bytes; no
// value when the object has none. A small value takes one call; a larger one a size query, then
// the read. Errors: the system's, EFBIG above the bound, ERANGE when the value changed size
// between the two calls. `failedStep`, when given, says which call failed.
int readAttribute(FileSystem& fs, int fd, const std::string& name, std::optional<Bytes>& out,
                  AttributeReadStep* failedStep = nullptr);

// The path with links resolved where it exists (realpath), otherwise only standardized.
std::string resolvingSymlinksInPath(FileSystem& fs, const std::string& path);

// 16 lower-case hexadecimal digits, different in every call (also across forked processes).
std::string randomTag();

// Replaces `path` atomically and durably: a new file beside it (created exclusively with
// exactly `mode`), written completely and fsynced, then renamed over `path`. The folder is
// not synced here; callers that need the new name durable sync it afterwards. The temporary
// file is removed on every failure.
int writeFileAtomically(FileSystem& fs, const std::string& path, const void* data, std::size_t size,
                        unsigned mode);

// The name writeFileAtomically gives its temporary file for `name`: "." + name + "." + 16
// lower-case hexadecimal digits + ".tmp". Empty when `candidate` is no such name.
std::string atomicWriteTarget(const std::string& candidate);

// Removes the temporary files that killed atomic writes left in `folder`: only names of exactly
// that pattern whose target `isOurs` accepts, only regular files, never through a link. The
// caller holds whatever lock guards writes to those targets. Failures are ignored: a leftover
// file is only clutter.
void removeStaleTemporaries(FileSystem& fs, const std::string& folder,
                            const std::function<bool(const std::string& target)>& isOurs);

// Creates one folder (its parent must exist) with exactly `mode`, whatever the umask.
// EEXIST when anything is already there.
int createDirectory(FileSystem& fs, const std::string& path, unsigned mode);

// Creates `path` and any missing parents, each new folder with exactly `mode` and its name synced
// in its parent. A folder that already exists (a link to one counts, as the platform's existence
// test follows links) keeps its mode; anything else in the way gives the system's error.
int createDirectories(FileSystem& fs, const std::string& path, unsigned mode);

// Flushes a folder's entries to disk; 0 or errno.
int syncDirectory(FileSystem& fs, const std::string& path);

// Removes a folder tree the program itself created (staging folders), without following
// links. 0 or the first errno met.
int removeTree(FileSystem& fs, const std::string& path);

}  // namespace lumaro::platform
