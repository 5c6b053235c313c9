// The real FileSystem: thin wrappers over Linux system calls.
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/file_system.h"

namespace lumaro::platform {

std::uint32_t FileStatus::type() const {
    return mode & S_IFMT;
}
bool FileStatus::isRegular() const {
    return type() == S_IFREG;
}
bool FileStatus::isDirectory() const {
    return type() == S_IFDIR;
}

std::int32_t encodeDevice(std::uint32_t major, std::uint32_t minor) {
    const std::uint32_t encoded = (minor & 0xffu) | (major << 8) | ((minor & ~0xffu) << 12);
    return static_cast<std::int32_t>(encoded);
}

void FileSystem::closeRemoved(int fd) {
    (void)close(fd);
}

std::vector<int> FileSystem::fsyncAll(const std::vector<int>& fds) {
    std::vector<int> results;
    results.reserve(fds.size());
    for (const int fd : fds) {
        results.push_back(fsync(fd));
    }
    return results;
}

namespace {

class MadeSyncs final : public PendingSyncs {
  public:
    explicit MadeSyncs(std::vector<int> results) : results_(std::move(results)) {}
    std::vector<int> results() override { return std::move(results_); }

  private:
    std::vector<int> results_;
};

}  // namespace

std::unique_ptr<PendingSyncs> FileSystem::startFsyncAll(const std::vector<int>& fds) {
    return std::make_unique<MadeSyncs>(fsyncAll(fds));
}

namespace {

// Guards every processOwn object's making. Constant-initialised: usable before any constructor ran.
std::mutex gProcessRegistry;

// The registry is held across fork(), so that a child never finds it locked for good. Registered
// before main(), while the process has one thread: a handler registered during another thread's
// fork() would not run for it.
const bool kForkSafe = ::pthread_atfork([] { gProcessRegistry.lock(); }, [] { gProcessRegistry.unlock(); },
                                        [] { gProcessRegistry.unlock(); }) == 0;

// The process's own T: made at first use, made anew in a child after fork() (the parent's threads
// are not there), and never destroyed, so that exit never waits on its threads. Null where it
// cannot be made safely: the caller then does the work itself. No lazily initialised static here: a
// fork() during its initialisation would leave it locked for good in the child.
template <typename T>
T* processOwn() {
    static T* current = nullptr;
    static std::vector<T*>* made = nullptr;  // every one made stays reachable, also a parent's in a child
    if (!kForkSafe) {
        return nullptr;
    }
    const std::lock_guard lock(gProcessRegistry);
    if (current == nullptr || current->owner() != ::getpid()) {
        try {
            if (made == nullptr) {
                made = new std::vector<T*>();
            }
            made->reserve(made->size() + 1);
            current = new T();
            made->push_back(current);
        } catch (const std::exception&) {
            current = nullptr;
        }
    }
    return current;
}

// The thread that closes removed files' last descriptors (closeRemoved).
class RemovedFileCloser {
  public:
    RemovedFileCloser() : owner_(::getpid()), thread_([this] { run(); }) { thread_.detach(); }

    static void close(int fd) {
        RemovedFileCloser* closer = processOwn<RemovedFileCloser>();
        if (closer == nullptr || !closer->hand(fd)) {
            ::close(fd);
        }
    }
    pid_t owner() const { return owner_; }

  private:
    // Beyond this many waiting, the caller closes its own: descriptors are a bounded resource, and
    // a batch holds many of them open.
    static constexpr std::size_t kMaxWaiting = 64;

    bool hand(int fd) {
        const std::lock_guard lock(mutex_);
        if (waiting_.size() >= kMaxWaiting) {
            return false;
        }
        waiting_.push_back(fd);
        changed_.notify_one();
        return true;
    }

    [[noreturn]] void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            changed_.wait(lock, [this] { return !waiting_.empty(); });
            const int fd = waiting_.front();
            waiting_.pop_front();
            lock.unlock();
            ::close(fd);  // a read-only hold on a removed file: nothing to report
            lock.lock();
        }
    }

    const pid_t owner_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<int> waiting_;
    std::thread thread_;
};

// Threads that sync a group's files at once, with the caller: a journaling file system makes the
// syncs waiting together durable in one commit, where one after the other each forces its own.
// They wait for work between groups: made once, not for every group.
class SyncWorkers {
  public:
    static constexpr std::size_t kThreads = 8;  // the caller's among them

    // One group of syncs: results[i] is fds[i]'s fsync.
    struct Job {
        std::vector<int> fds;
        std::vector<int> results;
        std::size_t next = 0;  // the first not taken; the job leaves the queue with its last one
        std::size_t done = 0;
    };

    SyncWorkers() : owner_(::getpid()) {
        try {
            for (std::size_t n = 1; n < kThreads; ++n) {
                std::thread([this] { run(); }).detach();
            }
        } catch (const std::exception&) {
            // Fewer threads: the syncs are the same, only less merged.
        }
    }
    pid_t owner() const { return owner_; }

    // Hands the job to the threads; finish() must follow before it goes.
    void start(Job& job) {
        if (job.fds.empty()) {
            return;
        }
        std::lock_guard lock(mutex_);
        jobs_.push_back(&job);
        for (std::size_t n = 0; n < std::min(job.fds.size(), kThreads - 1); ++n) {
            work_.notify_one();
        }
    }
    // Waits for the job, the caller syncing what no thread took yet: every one is made even with
    // no thread.
    void finish(Job& job) {
        std::unique_lock lock(mutex_);
        while (job.next < job.fds.size()) {
            syncOne(job, lock);
        }
        finished_.wait(lock, [&] { return job.done == job.fds.size(); });
    }

  private:
    // Takes the next descriptor of `job` (at the queue's front or the caller's own) and syncs it
    // with the lock let go.
    void syncOne(Job& job, std::unique_lock<std::mutex>& lock) {
        const std::size_t i = job.next++;
        if (job.next == job.fds.size()) {
            jobs_.erase(std::find(jobs_.begin(), jobs_.end(), &job));
        }
        const int fd = job.fds[i];
        lock.unlock();
        const int result = ::fsync(fd) == 0 ? 0 : errno;
        lock.lock();
        job.results[i] = result;
        if (++job.done == job.fds.size()) {
            finished_.notify_all();
        }
    }

    [[noreturn]] void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            work_.wait(lock, [this] { return !jobs_.empty(); });
            syncOne(*jobs_.front(), lock);
        }
    }

    const pid_t owner_;
    std::mutex mutex_;
    std::condition_variable work_, finished_;
    std::deque<Job*> jobs_;
};

// Syncs handed to the process's threads; waited for once asked for, or when dropped.
class WorkerSyncs final : public PendingSyncs {
  public:
    WorkerSyncs(SyncWorkers& workers, const std::vector<int>& fds) : workers_(workers) {
        job_.fds = fds;
        job_.results.assign(fds.size(), EIO);  // any slot left unsynced reads as a failure
        workers_.start(job_);
    }
    ~WorkerSyncs() override { wait(); }
    WorkerSyncs(const WorkerSyncs&) = delete;
    WorkerSyncs& operator=(const WorkerSyncs&) = delete;
    std::vector<int> results() override {
        wait();
        return std::move(job_.results);
    }

  private:
    void wait() {
        if (!waited_) {
            waited_ = true;
            workers_.finish(job_);
        }
    }
    SyncWorkers& workers_;
    SyncWorkers::Job job_;
    bool waited_ = false;
};

constexpr const char* kUserPrefix = "user.";
constexpr std::size_t kUserPrefixLength = 5;
// The kernel never lists more than this many bytes of attribute names for one object.
constexpr std::size_t kMaxRawNameList = 1u << 20;
// Nor a value larger than this (the VFS's own limit).
constexpr std::size_t kMaxAttributeValue = 1u << 16;

FileStatus fromStatx(const struct statx& sx) {
    FileStatus st;
    st.mode = sx.stx_mode;
    st.linkCount = sx.stx_nlink;
    st.size = sx.stx_size;
    st.device = encodeDevice(sx.stx_dev_major, sx.stx_dev_minor);
    st.inode = sx.stx_ino;
    st.uid = sx.stx_uid;
    st.gid = sx.stx_gid;
    if ((sx.stx_mask & STATX_BTIME) != 0) {
        st.birthSeconds = sx.stx_btime.tv_sec;
        st.birthNanos = sx.stx_btime.tv_nsec;
    }
    return st;
}

constexpr unsigned kStatxMask = STATX_BASIC_STATS | STATX_BTIME;

int statxAt(int dirfd, const char* path, int flags, FileStatus& out) {
    struct statx sx {};
    if (::statx(dirfd, path, flags, kStatxMask, &sx) != 0) {
        return errno;
    }
    out = fromStatx(sx);
    return 0;
}

std::string userName(const std::string& name) {
    return kUserPrefix + name;
}

// The "user." names of a raw attribute list, without the prefix, in the buffer convention of
// FileSystem::flistAttributes. `list` is flistxattr on one object.
template <typename List>
int filteredNames(List list, char* buffer, std::size_t size, std::size_t& length) {
    // The system lists every namespace; keep "user." names only, without the prefix.
    std::vector<char> raw;
    // Most lists fit a small buffer: one call; a size query only for a longer one.
    std::array<char, 4096> small;
    const ssize_t fitted = list(small.data(), small.size());
    if (fitted >= 0) {
        raw.assign(small.data(), small.data() + fitted);
    } else if (errno != ERANGE) {
        return errno;
    }
    for (int attempt = 0; fitted < 0; ++attempt) {
        const ssize_t wanted = list(nullptr, 0);
        if (wanted < 0) {
            return errno;
        }
        if (static_cast<std::size_t>(wanted) > kMaxRawNameList) {
            return E2BIG;
        }
        raw.resize(static_cast<std::size_t>(wanted));
        if (raw.empty()) {
            break;
        }
        const ssize_t got = list(raw.data(), raw.size());
        if (got >= 0) {
            raw.resize(static_cast<std::size_t>(got));
            break;
        }
        // The list grew between the two calls: ask again, a bounded number of times.
        if (errno != ERANGE || attempt >= 3) {
            return errno;
        }
    }
    std::string filtered;
    std::size_t start = 0;
    while (start < raw.size()) {
        const void* nul = std::memchr(raw.data() + start, '\0', raw.size() - start);
        const std::size_t end =
            nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - raw.data()) : raw.size();
        const std::string_view entry(raw.data() + start, end - start);
        if (entry.size() > kUserPrefixLength && entry.substr(0, kUserPrefixLength) == kUserPrefix) {
            filtered.append(entry.substr(kUserPrefixLength));
            filtered.push_back('\0');
        }
        start = end + 1;
    }
    length = filtered.size();
    if (buffer == nullptr) {
        return 0;
    }
    if (filtered.size() > size) {
        return ERANGE;
    }
    std::memcpy(buffer, filtered.data(), filtered.size());
    return 0;
}

class PosixFileSystem final : public FileSystem {
  public:
    int lstat(const std::string& path, FileStatus& out) override {
        return statxAt(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, out);
    }

    int stat(const std::string& path, FileStatus& out) override {
        return statxAt(AT_FDCWD, path.c_str(), AT_NO_AUTOMOUNT, out);
    }

    int access(const std::string& path, int mode) override {
        return ::access(path.c_str(), mode) == 0 ? 0 : errno;
    }

    int listDirectory(const std::string& path, std::vector<std::string>& names) override {
        return listOpened(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC), names);
    }

    int listDirectoryAt(int folder, std::vector<std::string>& names) override {
        // A descriptor of its own: reading the entries moves the offset of the one it is given.
        return listOpened(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC), names);
    }

    // Lists the folder `fd` (or gives errno when the open that gave it failed), then closes it.
    // The entries come straight from the system: a directory stream would cost calls of its own to
    // check and flag the descriptor, for every folder an item's forms are tidied in.
    static int listOpened(int fd, std::vector<std::string>& names) {
        names.clear();
        if (fd < 0) {
            return errno;
        }
        // Closed however the listing ends, a failed allocation included.
        const std::unique_ptr<int, void (*)(const int*)> closing(&fd,
                                                                 [](const int* held) { ::close(*held); });
        constexpr std::size_t kBufferSize = 32 * 1024;
        const auto buffer = std::make_unique_for_overwrite<char[]>(kBufferSize);
        int err = 0;
        for (;;) {
            const ssize_t got = ::getdents64(fd, buffer.get(), kBufferSize);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                err = got < 0 ? errno : 0;
                break;
            }
            for (std::size_t at = 0; at < static_cast<std::size_t>(got);) {
                unsigned short length = 0;
                std::memcpy(&length, buffer.get() + at + offsetof(struct dirent64, d_reclen), sizeof length);
                const char* name = buffer.get() + at + offsetof(struct dirent64, d_name);
                if (length == 0) {
                    err = EIO;
                    break;
                }
                if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0) {
                    names.emplace_back(name);
                }
                at += length;
            }
            if (err != 0) {
                break;
            }
        }
        if (err != 0) {
            names.clear();
        }
        return err;
    }

    int realPath(const std::string& path, std::string& out) override {
        std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr), &std::free);
        if (!resolved) {
            return errno;
        }
        out = resolved.get();
        return 0;
    }

    int open(const std::string& path, int flags, unsigned mode, int& fd) override {
        const int result = ::open(path.c_str(), flags | O_CLOEXEC, static_cast<mode_t>(mode));
        if (result < 0) {
            return errno;
        }
        fd = result;
        return 0;
    }

    int fstat(int fd, FileStatus& out) override { return statxAt(fd, "", AT_EMPTY_PATH, out); }

    int read(int fd, void* buffer, std::size_t size, std::size_t& got) override {
        const ssize_t n = ::read(fd, buffer, size);
        if (n < 0) {
            return errno;
        }
        got = static_cast<std::size_t>(n);
        return 0;
    }

    int write(int fd, const void* data, std::size_t size, std::size_t& written) override {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            return errno;
        }
        written = static_cast<std::size_t>(n);
        return 0;
    }

    int seek(int fd, std::uint64_t offset) override {
        if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
            return EINVAL;
        }
        return ::lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0 ? errno : 0;
    }

    int ftruncate(int fd, std::uint64_t length) override {
        if (length > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
            return EFBIG;
        }
        return ::ftruncate(fd, static_cast<off_t>(length)) == 0 ? 0 : errno;
    }

    int fchmod(int fd, unsigned mode) override {
        return ::fchmod(fd, static_cast<mode_t>(mode)) == 0 ? 0 : errno;
    }

    int fsync(int fd) override { return ::fsync(fd) == 0 ? 0 : errno; }

    std::vector<int> fsyncAll(const std::vector<int>& fds) override {
        // Every file's write-back started first, so that its blocks are allocated before the
        // first commit; a hint only, whose errors the fsync below reports.
        for (const int fd : fds) {
            (void)::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
        }
        SyncWorkers* workers = fds.size() > 1 ? processOwn<SyncWorkers>() : nullptr;
        if (workers == nullptr) {
            return FileSystem::fsyncAll(fds);  // one after the other
        }
        return WorkerSyncs(*workers, fds).results();
    }

    std::unique_ptr<PendingSyncs> startFsyncAll(const std::vector<int>& fds) override {
        SyncWorkers* workers = fds.empty() ? nullptr : processOwn<SyncWorkers>();
        if (workers == nullptr) {
            return FileSystem::startFsyncAll(fds);
        }
        for (const int fd : fds) {
            (void)::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
        }
        return std::make_unique<WorkerSyncs>(*workers, fds);
    }

    int flock(int fd, int operation) override { return ::flock(fd, operation) == 0 ? 0 : errno; }

    int close(int fd) override {
        // Linux releases the descriptor even when close reports an error; never retry.
        return ::close(fd) == 0 ? 0 : errno;
    }

    void closeRemoved(int fd) override { RemovedFileCloser::close(fd); }

    int openAt(int folder, const std::string& name, int flags, unsigned mode, int& fd) override {
        if (name.empty() || name.find('/') != std::string::npos) {
            return EINVAL;
        }
        const int result = ::openat(folder, name.c_str(), flags | O_CLOEXEC, static_cast<mode_t>(mode));
        if (result < 0) {
            return errno;
        }
        fd = result;
        return 0;
    }

    int unlinkAt(int folder, const std::string& name) override {
        if (name.empty() || name.find('/') != std::string::npos) {
            return EINVAL;
        }
        return ::unlinkat(folder, name.c_str(), 0) == 0 ? 0 : errno;
    }

    int lstatAt(int folder, const std::string& name, FileStatus& out) override {
        if (name.empty() || name.find('/') != std::string::npos) {
            return EINVAL;
        }
        return statxAt(folder, name.c_str(), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, out);
    }

    int renameAt(int folder, const std::string& from, const std::string& to, Rename how) override {
        for (const std::string* name : {&from, &to}) {
            if (name->empty() || name->find('/') != std::string::npos) {
                return EINVAL;
            }
        }
        const unsigned flags = how == Rename::exchange ? RENAME_EXCHANGE : RENAME_NOREPLACE;
        return ::renameat2(folder, from.c_str(), folder, to.c_str(), flags) == 0 ? 0 : errno;
    }

    int fchown(int fd, std::uint32_t uid, std::uint32_t gid) override {
        return ::fchown(fd, static_cast<uid_t>(uid), static_cast<gid_t>(gid)) == 0 ? 0 : errno;
    }

    int fcopyAttributes(int from, int to) override {
        std::vector<char> names;
        const ssize_t size = ::flistxattr(from, nullptr, 0);
        if (size < 0) {
            return errno == ENOTSUP ? 0 : errno;
        }
        if (static_cast<std::size_t>(size) > kMaxRawNameList) {
            return E2BIG;
        }
        names.resize(static_cast<std::size_t>(size));
        const ssize_t got = size == 0 ? 0 : ::flistxattr(from, names.data(), names.size());
        if (got < 0) {
            return errno;
        }
        std::vector<char> value;
        for (std::size_t at = 0; at < static_cast<std::size_t>(got);) {
            const char* name = names.data() + at;
            at += std::strlen(name) + 1;
            const ssize_t length = ::fgetxattr(from, name, nullptr, 0);
            if (length < 0) {
                return errno;
            }
            if (static_cast<std::size_t>(length) > kMaxAttributeValue) {
                return E2BIG;
            }
            value.resize(static_cast<std::size_t>(length));
            const ssize_t read = length == 0 ? 0 : ::fgetxattr(from, name, value.data(), value.size());
            if (read < 0) {
                return errno;
            }
            if (::fsetxattr(to, name, value.data(), static_cast<std::size_t>(read), 0) != 0) {
                return errno;
            }
        }
        return 0;
    }

    int fgetAttribute(int fd, const std::string& name, void* buffer, std::size_t size,
                      std::size_t& length) override {
        const ssize_t n = ::fgetxattr(fd, userName(name).c_str(), buffer, buffer ? size : 0);
        if (n < 0) {
            return errno;
        }
        length = static_cast<std::size_t>(n);
        return 0;
    }

    int fsetAttribute(int fd, const std::string& name, const void* data, std::size_t size) override {
        return ::fsetxattr(fd, userName(name).c_str(), data, size, 0) == 0 ? 0 : errno;
    }

    int fremoveAttribute(int fd, const std::string& name) override {
        return ::fremovexattr(fd, userName(name).c_str()) == 0 ? 0 : errno;
    }

    int flistAttributes(int fd, char* buffer, std::size_t size, std::size_t& length) override {
        return filteredNames([&](char* raw, std::size_t rawSize) { return ::flistxattr(fd, raw, rawSize); },
                             buffer, size, length);
    }

    int mkdir(const std::string& path, unsigned mode) override {
        return ::mkdir(path.c_str(), static_cast<mode_t>(mode)) == 0 ? 0 : errno;
    }

    int rename(const std::string& from, const std::string& to) override {
        return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
    }

    int unlink(const std::string& path) override { return ::unlink(path.c_str()) == 0 ? 0 : errno; }

    int rmdir(const std::string& path) override { return ::rmdir(path.c_str()) == 0 ? 0 : errno; }
};

}  // namespace

FileSystem& FileSystem::real() {
    static PosixFileSystem instance;
    return instance;
}

}  // namespace lumaro::platform
