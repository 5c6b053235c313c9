#include "platform/file_ops.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <random>
#include <utility>

#include <unistd.h>

#include "platform/paths.h"

namespace lumaro::platform {

Descriptor::Descriptor(Descriptor&& other) noexcept : fs_(other.fs_), fd_(other.fd_) {
    other.fd_ = -1;
}

Descriptor& Descriptor::operator=(Descriptor&& other) noexcept {
    if (this != &other) {
        close();
        fs_ = other.fs_;
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

Descriptor::~Descriptor() {
    close();
}

int Descriptor::close() {
    if (fd_ < 0 || fs_ == nullptr) {
        return 0;
    }
    const int fd = fd_;
    fd_ = -1;
    return fs_->close(fd);
}

void Descriptor::closeRemoved() {
    if (fd_ >= 0 && fs_ != nullptr) {
        fs_->closeRemoved(std::exchange(fd_, -1));
    }
}

int openDescriptor(FileSystem& fs, const std::string& path, int flags, unsigned mode, Descriptor& out) {
    int fd = -1;
    const int err = fs.open(path, flags, mode, fd);
    if (err != 0) {
        return err;
    }
    out = Descriptor(fs, fd);
    return 0;
}

namespace {

template <class Buffer>
int readAll(FileSystem& fs, int fd, std::uint64_t limit, std::uint64_t sizeHint, Buffer& out) {
    constexpr std::size_t kChunk = 64 * 1024;
    out.clear();
    out.reserve(static_cast<std::size_t>(std::min(sizeHint, limit)));
    std::uint8_t chunk[kChunk];
    for (;;) {
        std::size_t got = 0;
        const int err = fs.read(fd, chunk, sizeof chunk, got);
        if (err == EINTR) {
            continue;
        }
        if (err != 0) {
            out.clear();
            return err;
        }
        if (got == 0) {
            return 0;
        }
        if (got > limit - out.size()) {
            out.clear();
            return EFBIG;
        }
        out.insert(out.end(), chunk, chunk + got);
    }
}

}  // namespace

int readToEnd(FileSystem& fs, int fd, std::uint64_t limit, std::uint64_t sizeHint, Bytes& out) {
    return readAll(fs, fd, limit, sizeHint, out);
}

int readToEnd(FileSystem& fs, int fd, std::uint64_t limit, std::uint64_t sizeHint, std::string& out) {
    return readAll(fs, fd, limit, sizeHint, out);
}

int writeFully(FileSystem& fs, int fd, const void* data, std::size_t size, bool retryInterrupted) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    std::size_t done = 0;
    while (done < size) {
        std::size_t written = 0;
        const int err = fs.write(fd, bytes + done, size - done, written);
        if (err == EINTR && retryInterrupted) {
            continue;
        }
        if (err != 0) {
            return err;
        }
        if (written == 0) {
            return EIO;
        }
        done += written;
    }
    return 0;
}

int readRegularFile(FileSystem& fs, const std::string& path, std::uint64_t limit, Bytes& out) {
    Descriptor fd;
    int err = openDescriptor(fs, path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK, 0, fd);
    if (err != 0) {
        return err;
    }
    FileStatus st;
    err = fs.fstat(fd.get(), st);
    if (err != 0) {
        return err;
    }
    if (!st.isRegular()) {
        return EINVAL;
    }
    if (st.size > limit) {
        return EFBIG;
    }
    return readToEnd(fs, fd.get(), limit, st.size, out);
}

// Attribute values up to this size (a Finder record, a small fork) are read in one call.
constexpr std::size_t kSmallAttribute = 4096;

int readAttribute(FileSystem& fs, int fd, const std::string& name, std::optional<Bytes>& out,
                  AttributeReadStep* failedStep) {
    out.reset();
    const auto failed = [&](AttributeReadStep step, int err) {
        if (failedStep != nullptr) {
            *failedStep = step;
        }
        return err;
    };
    // Most values are small: one call with room for them; a size query only for a larger one.
    std::array<std::uint8_t, kSmallAttribute> small;
    std::size_t size = 0;
    int err = fs.fgetAttribute(fd, name, small.data(), small.size(), size);
    if (err == 0 && size <= small.size()) {
        out.emplace(small.begin(), small.begin() + static_cast<std::ptrdiff_t>(size));
        return 0;
    }
    if (err == 0 || err == ERANGE) {
        err = fs.fgetAttribute(fd, name, nullptr, 0, size);
    }
    if (err == ENODATA) {
        return 0;
    }
    if (err != 0 || size > kMaxValueSize) {
        return failed(AttributeReadStep::size, err != 0 ? err : EFBIG);
    }
    Bytes value(size);
    std::size_t length = 0;
    // A zero-sized buffer still needs a valid address, or the call would be a size query.
    std::uint8_t placeholder = 0;
    err = fs.fgetAttribute(fd, name, size > 0 ? value.data() : &placeholder, size, length);
    if (err != 0 || length != size) {
        return failed(AttributeReadStep::value, err != 0 ? err : ERANGE);
    }
    out = std::move(value);
    return 0;
}

std::string resolvingSymlinksInPath(FileSystem& fs, const std::string& path) {
    std::string resolved;
    if (fs.realPath(path, resolved) == 0) {
        return standardizePath(resolved);
    }
    return standardizePath(path);
}

std::string randomTag() {
    static std::atomic<std::uint64_t> counter{0};
    thread_local std::mt19937_64 random{std::random_device{}()};
    // The process ID keeps the names of forked processes, which inherit the generator, apart.
    const std::uint64_t tag =
        random() ^ (counter.fetch_add(1) << 1) ^ (static_cast<std::uint64_t>(::getpid()) << 40);
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(tag));
    return text;
}

namespace {

std::string temporarySibling(const std::string& path) {
    return appendPathComponent(deletingLastPathComponent(path),
                               "." + lastPathComponent(path) + "." + randomTag() + ".tmp");
}

}  // namespace

int writeFileAtomically(FileSystem& fs, const std::string& path, const void* data, std::size_t size,
                        unsigned mode) {
    std::string temporary;
    Descriptor fd;
    int err = EEXIST;
    for (int attempt = 0; attempt < 16 && err == EEXIST; ++attempt) {
        temporary = temporarySibling(path);
        err = openDescriptor(fs, temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, mode, fd);
    }
    if (err != 0) {
        return err;
    }
    // The umask may have narrowed the creation mode; the caller asked for exactly `mode`.
    err = fs.fchmod(fd.get(), mode);
    if (err == 0) {
        err = writeFully(fs, fd.get(), data, size);
    }
    if (err == 0) {
        err = fs.fsync(fd.get());
    }
    const int closeErr = fd.close();
    if (err == 0) {
        err = closeErr;
    }
    if (err == 0) {
        err = fs.rename(temporary, path);
    }
    if (err != 0) {
        fs.unlink(temporary);
    }
    return err;
}

std::string atomicWriteTarget(const std::string& candidate) {
    constexpr std::size_t kTagLength = 16;
    const std::string suffix = ".tmp";
    if (candidate.size() < 1 + 1 + 1 + kTagLength + suffix.size() || candidate[0] != '.' ||
        !candidate.ends_with(suffix)) {
        return {};
    }
    const std::size_t tagStart = candidate.size() - suffix.size() - kTagLength;
    if (candidate[tagStart - 1] != '.') {
        return {};
    }
    for (std::size_t i = tagStart; i < tagStart + kTagLength; ++i) {
        const char c = candidate[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return {};
        }
    }
    return candidate.substr(1, tagStart - 2);
}

void removeStaleTemporaries(FileSystem& fs, const std::string& folder,
                            const std::function<bool(const std::string& target)>& isOurs) {
    std::vector<std::string> names;
    if (fs.listDirectory(folder, names) != 0) {
        return;
    }
    bool removed = false;
    for (const std::string& name : names) {
        const std::string target = atomicWriteTarget(name);
        if (target.empty() || !isOurs(target)) {
            continue;
        }
        const std::string path = appendPathComponent(folder, name);
        FileStatus st;
        // unlink never follows a link; the check keeps anything but our own regular files.
        if (fs.lstat(path, st) == 0 && st.isRegular() && fs.unlink(path) == 0) {
            removed = true;
        }
    }
    if (removed) {
        syncDirectory(fs, folder);
    }
}

int createDirectory(FileSystem& fs, const std::string& path, unsigned mode) {
    int err = fs.mkdir(path, mode);
    if (err != 0) {
        return err;
    }
    // Set the exact mode through a descriptor of the folder just made, never by path.
    Descriptor fd;
    err = openDescriptor(fs, path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW, 0, fd);
    if (err == 0) {
        err = fs.fchmod(fd.get(), mode);
    }
    return err;
}

int createDirectories(FileSystem& fs, const std::string& path, unsigned mode) {
    const std::string target = standardizePath(path);
    FileStatus st;
    int err = fs.stat(target, st);
    if (err == 0) {
        return st.isDirectory() ? 0 : EEXIST;
    }
    if (err != ENOENT) {
        return err;
    }
    const std::string parent = deletingLastPathComponent(target);
    if (parent != target) {
        err = createDirectories(fs, parent, mode);
        if (err != 0) {
            return err;
        }
    }
    err = createDirectory(fs, target, mode);
    if (err == EEXIST) {
        // Someone else made it meanwhile; accept a folder.
        err = fs.stat(target, st);
        if (err == 0 && !st.isDirectory()) {
            err = EEXIST;
        }
        return err;
    }
    // A new folder's name is durable only once its parent is synced; what is written inside it
    // later (backups among it) depends on that.
    return err != 0 ? err : syncDirectory(fs, parent);
}

int syncDirectory(FileSystem& fs, const std::string& path) {
    Descriptor fd;
    int err = openDescriptor(fs, path, O_RDONLY | O_DIRECTORY, 0, fd);
    if (err != 0) {
        return err;
    }
    err = fs.fsync(fd.get());
    const int closeErr = fd.close();
    return err != 0 ? err : closeErr;
}

int removeTree(FileSystem& fs, const std::string& path) {
    FileStatus st;
    int err = fs.lstat(path, st);
    if (err != 0) {
        return err;
    }
    if (!st.isDirectory()) {
        return fs.unlink(path);
    }
    std::vector<std::string> names;
    err = fs.listDirectory(path, names);
    if (err != 0) {
        return err;
    }
    int first = 0;
    for (const std::string& name : names) {
        const int e = removeTree(fs, appendPathComponent(path, name));
        if (first == 0) {
            first = e;
        }
    }
    const int e = fs.rmdir(path);
    return first != 0 ? first : e;
}

}  // namespace lumaro::platform
