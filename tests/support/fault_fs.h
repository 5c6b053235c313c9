// A hookable, recording disk over the FileSystem seam (FaultFs).
#pragma once

#include <fcntl.h>
#include <sys/file.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <functional>

#include <gtest/gtest.h>

#include "engine/icon_engine.h"
#include "resources/resources.h"
#include "tests/support/scratch.h"

namespace lumaro {
inline void PrintTo(const ItemError& e, std::ostream* os) {  // the line, and the kind when not an item's
    *os << testing::PrintToString(e.line())
        << (e.kind == ErrorKind::item ? "" : " kind " + std::to_string(int(e.kind)));
}
inline void PrintTo(const OperationReport& r, std::ostream* os) {  // the fields in their order
    *os << testing::PrintToString(std::tie(r.succeeded, r.skipped, r.errors, r.remaining,
                                           r.relaunchApplications, r.missingItems, r.setAsideItems,
                                           r.desktopMetadataUnavailable));
}
}  // namespace lumaro

namespace lumaro::test {

// The real file system, logging each call of interest as "op path" (a call through a descriptor names the
// path it was opened on; attribute calls add the name; "rename from to"). It fails a call listed in `fail`
// (by its log entry, or by "op") with that errno, and refuses what would block a test: an open of a FIFO
// without O_NONBLOCK, a flock without LOCK_NB. Changes of the disk (an open creating or truncating, fsync
// included) are counted: failAt() fails change `n` (from 1) with `error`, with `sticky` every one from it on,
// naming them in `failed`; the process ends, without unwinding, at change `crashAt`. `noSync` skips fsync (a
// process that dies keeps all the kernel has). The on* hooks run in place of the call; -1 forwards it.
class FaultFs : public platform::ForwardingFileSystem {
  public:
    static constexpr int kCrashedExitCode = 86;
    explicit FaultFs(bool skipSync = false)
        : ForwardingFileSystem(platform::FileSystem::real()), noSync(skipSync) {}

    std::vector<std::string> log, failed;
    std::map<std::string, int> fail;
    std::set<int> openFds;
    bool noSync, blocked = false;  // blocked: a call that would have waited was refused
    int crashAt = 0;
    std::string otherDevice;  // lstat reports this path on another device
    std::function<void(const std::string& call)> observe;
    std::function<void(const std::string& to)> afterRename;
    std::function<void(const std::string& path, platform::FileStatus&)> afterLstat;
    std::function<void(platform::FileStatus&)> afterFstat;
    std::function<int(const std::string& name, void*, std::size_t size, std::size_t& length)> onGetAttribute;
    std::function<int(char*, std::size_t size, std::size_t& length)> onListAttributes;

    void failAt(int n, int error, bool sticky) {
        failAt_ = n, error_ = error, sticky_ = sticky, changes_ = 0, failed.clear(), log.clear();
    }
    long indexOf(const std::string& entry) const {  // of the first such entry, -1 when none
        const auto it = std::find(log.begin(), log.end(), entry);
        return it == log.end() ? -1 : it - log.begin();
    }
    // Logs and counts a call, and gives the injected errno or 0; also for stores beside the files.
    int note(const std::string& call, bool change = false) {
        log.push_back(call), observe ? observe(call) : void();
        if (change && ++changes_ == crashAt)
            ::_exit(kCrashedExitCode);
        if (change && failAt_ > 0 && (changes_ == failAt_ || (sticky_ && changes_ > failAt_)))
            return failed.push_back(call), error_;
        auto it = fail.find(call);
        it = it != fail.end() ? it : fail.find(call.substr(0, call.find(' ')));
        return it == fail.end() ? 0 : it->second;
    }

// An override of `call`: notes `entry` (a change when `change`) and, unless an error is injected, gives
// `then`.
#define NOTED(call, entry, change, then)         \
    int call override {                          \
        if (const int err = note(entry, change)) \
            return err;                          \
        return then;                             \
    }
    using Status = platform::FileStatus;
    using Size = std::size_t;
    using Names = std::vector<std::string>;
    NOTED(access(const std::string& p, int m), "access " + p, false, target().access(p, m))
    NOTED(listDirectory(const std::string& p, Names& n), "list " + p, false, target().listDirectory(p, n))
    NOTED(listDirectoryAt(int dir, Names& n), "list " + at(dir), false, target().listDirectoryAt(dir, n))
    NOTED(lstat(const std::string& p, Status& out), "lstat " + p, false,
          looked(p, target().lstat(p, out), out, p == otherDevice))
    NOTED(lstatAt(int dir, const std::string& n, Status& out), "lstat " + at(dir) + "/" + n, false,
          looked(at(dir) + "/" + n, target().lstatAt(dir, n, out), out, false))
    int fstat(int fd, Status& out) override {
        const int err = target().fstat(fd, out);
        return err == 0 && afterFstat ? (afterFstat(out), 0) : err;
    }
    int open(const std::string& p, int flags, unsigned m, int& fd) override {
        return opened(p, flags, fd, [&] { return target().open(p, flags, m, fd); });
    }
    int openAt(int dir, const std::string& name, int flags, unsigned m, int& fd) override {
        return opened(at(dir) + "/" + name, flags, fd,
                      [&] { return target().openAt(dir, name, flags, m, fd); });
    }
    NOTED(write(int fd, const void* d, Size n, Size& w), "write " + at(fd), true, target().write(fd, d, n, w))
    NOTED(ftruncate(int fd, std::uint64_t n), "ftruncate " + at(fd), true, target().ftruncate(fd, n))
    NOTED(fchmod(int fd, unsigned m), "fchmod " + at(fd), true, target().fchmod(fd, m))
    NOTED(fsync(int fd), "fsync " + at(fd), true, noSync ? 0 : target().fsync(fd))
    int flock(int fd, int op) override {
        return (op & (LOCK_UN | LOCK_NB)) == 0 ? (blocked = true, EWOULDBLOCK) : target().flock(fd, op);
    }
    int close(int fd) override {  // the descriptor is released even when a failure is injected
        const int injected = note("close " + at(fd));
        const int err = (openFds.erase(fd), names_.erase(fd), target().close(fd));
        return injected != 0 ? injected : err;
    }
    NOTED(unlinkAt(int dir, const std::string& n), "unlink " + at(dir) + "/" + n, true,
          target().unlinkAt(dir, n))
    int renameAt(int dir, const std::string& from, const std::string& to, platform::Rename how) override {
        const std::string d = at(dir) + "/", op = how == platform::Rename::exchange ? "exchange " : "rename ";
        return renamed(op + d + from + " " + d + to, d + to,
                       [&] { return target().renameAt(dir, from, to, how); });
    }
    NOTED(fchown(int fd, std::uint32_t u, std::uint32_t g), "fchown " + at(fd), true,
          target().fchown(fd, u, g))
    NOTED(fcopyAttributes(int from, int to), "copyAttributes " + at(to), true,
          target().fcopyAttributes(from, to))
    NOTED(fgetAttribute(int fd, const std::string& n, void* b, Size size, Size& length),
          "getAttribute " + at(fd) + " " + n, false,
          orForward(onGetAttribute ? onGetAttribute(n, b, size, length) : -1,
                    [&] { return target().fgetAttribute(fd, n, b, size, length); }))
    NOTED(fsetAttribute(int fd, const std::string& n, const void* d, Size size),
          "setAttribute " + at(fd) + " " + n, true, target().fsetAttribute(fd, n, d, size))
    NOTED(fremoveAttribute(int fd, const std::string& n), "removeAttribute " + at(fd) + " " + n, true,
          target().fremoveAttribute(fd, n))
    NOTED(flistAttributes(int fd, char* b, Size size, Size& length), "listAttributes " + at(fd), false,
          orForward(onListAttributes ? onListAttributes(b, size, length) : -1,
                    [&] { return target().flistAttributes(fd, b, size, length); }))
    NOTED(mkdir(const std::string& p, unsigned m), "mkdir " + p, true, target().mkdir(p, m))
    int rename(const std::string& from, const std::string& to) override {
        return renamed("rename " + from + " " + to, to, [&] { return target().rename(from, to); });
    }
    NOTED(unlink(const std::string& p), "unlink " + p, true, target().unlink(p))
    NOTED(rmdir(const std::string& p), "rmdir " + p, true, target().rmdir(p))
#undef NOTED

  private:
    std::string at(int fd) const {
        return names_.contains(fd) ? names_.at(fd) : std::to_string(fd);
    }
    int looked(const std::string& path, int err, platform::FileStatus& out, bool otherDevice_) {
        out.device += err == 0 && otherDevice_ ? 1 : 0;
        return err == 0 && afterLstat ? (afterLstat(path, out), 0) : err;
    }
    static int orForward(int hooked, const std::function<int()>& forward) {
        return hooked >= 0 ? hooked : forward();
    }
    int opened(const std::string& path, int flags, int& fd, const std::function<int()>& open) {
        if (platform::FileStatus st;
            (flags & O_NONBLOCK) == 0 && target().stat(path, st) == 0 && st.type() == S_IFIFO)
            return blocked = true, EAGAIN;
        const int err = note("open " + path, (flags & (O_CREAT | O_TRUNC)) != 0),
                  got = err != 0 ? err : open();
        return got == 0 ? (openFds.insert(fd), names_[fd] = path, 0) : got;
    }
    int renamed(const std::string& call, const std::string& to, const std::function<int()>& rename) {
        const int err = note(call, true), got = err != 0 ? err : rename();
        return afterRename ? (afterRename(to), got) : got;
    }
    std::map<int, std::string> names_;
    int failAt_ = 0, error_ = 0, changes_ = 0;
    bool sticky_ = false;
};

// Points TMPDIR, when unset, at /dev/shm if it keeps "user." attributes: fault tests make thousands of
// small changes and model power loss themselves, so a disk only adds time.
inline void preferMemoryScratch() {
    char probe[] = "/dev/shm/lumaro-probe-XXXXXX";
    const int fd = std::getenv("TMPDIR") == nullptr ? ::mkstemp(probe) : -1;
    if (fd >= 0 && ::fsetxattr(fd, "user.probe", "1", 1, 0) == 0)
        ::setenv("TMPDIR", "/dev/shm", 0);
    fd >= 0 ? ::close(fd), ::unlink(probe) : 0;
}

}  // namespace lumaro::test
