#include "tests/support/fault_fs.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace lumaro {

void PrintTo(const OperationReport& r, std::ostream* os) {
    *os << "{succeeded " << r.succeeded << ", skipped " << r.skipped << ", errors "
        << testing::PrintToString(r.errors) << ", remaining " << r.remaining << ", relaunch "
        << testing::PrintToString(r.relaunchApplications) << ", missing "
        << testing::PrintToString(r.missingItems) << (r.desktopMetadataUnavailable ? ", no metadata" : "")
        << "}";
}

}  // namespace lumaro

namespace lumaro::test {

long FaultFs::indexOf(const std::string& entry) const {
    const auto it = std::find(log.begin(), log.end(), entry);
    return it == log.end() ? -1 : static_cast<long>(it - log.begin());
}

int FaultFs::note(const std::string& call, bool change) {
    if (record)
        log.push_back(call);
    if (observe)
        observe(call);
    if (change && ++changes_ == crashAt)
        ::_exit(kCrashedExitCode);
    if (change && failAt_ > 0 && (changes_ == failAt_ || (sticky_ && changes_ > failAt_)))
        return failed.push_back(call), error_;
    auto it = fail.find(call);
    it = it != fail.end() ? it : fail.find(call.substr(0, call.find(' ')));
    return it == fail.end() ? 0 : it->second;
}

std::string FaultFs::nameOf(int fd) const {
    const auto it = names_.find(fd);
    return it == names_.end() ? std::to_string(fd) : it->second;
}

int FaultFs::lstat(const std::string& path, platform::FileStatus& out) {
    if (const int err = note("lstat " + path))
        return err;
    const int err = target().lstat(path, out);
    out.device += err == 0 && path == otherDevice ? 1 : 0;
    if (err == 0 && afterLstat)
        afterLstat(path, out);
    return err;
}

int FaultFs::access(const std::string& path, int mode) {
    const int err = note("access " + path);
    return err != 0 ? err : target().access(path, mode);
}

int FaultFs::listDirectory(const std::string& path, std::vector<std::string>& names) {
    const int err = note("list " + path);
    return err != 0 ? err : target().listDirectory(path, names);
}

int FaultFs::open(const std::string& path, int flags, unsigned mode, int& fd) {
    platform::FileStatus st;
    if ((flags & O_NONBLOCK) == 0 && target().stat(path, st) == 0 && st.type() == S_IFIFO)
        return blocked = true, EAGAIN;
    int err = note("open " + path, (flags & (O_CREAT | O_TRUNC)) != 0);
    err = err != 0 ? err : target().open(path, flags, mode, fd);
    if (err == 0)
        openFds.insert(fd), names_[fd] = path;
    return err;
}

int FaultFs::fstat(int fd, platform::FileStatus& out) {
    const int err = target().fstat(fd, out);
    if (err == 0 && afterFstat)
        afterFstat(out);
    return err;
}

int FaultFs::write(int fd, const void* data, std::size_t size, std::size_t& written) {
    const int err = note("write " + nameOf(fd), true);
    return err != 0 ? err : target().write(fd, data, size, written);
}

int FaultFs::ftruncate(int fd, std::uint64_t length) {
    const int err = note("ftruncate " + nameOf(fd), true);
    return err != 0 ? err : target().ftruncate(fd, length);
}

int FaultFs::fchmod(int fd, unsigned mode) {
    const int err = note("fchmod " + nameOf(fd), true);
    return err != 0 ? err : target().fchmod(fd, mode);
}

int FaultFs::fsync(int fd) {
    const int err = note("fsync " + nameOf(fd), true);
    return err != 0 || noSync ? err : target().fsync(fd);
}

int FaultFs::flock(int fd, int operation) {
    if ((operation & (LOCK_UN | LOCK_NB)) == 0)
        return blocked = true, EWOULDBLOCK;
    return target().flock(fd, operation);
}

int FaultFs::close(int fd) {
    const int injected = note("close " + nameOf(fd));
    openFds.erase(fd), names_.erase(fd);
    const int err = target().close(fd);
    return injected != 0 ? injected : err;
}

int FaultFs::openAt(int folder, const std::string& name, int flags, unsigned mode, int& fd) {
    const std::string path = nameOf(folder) + "/" + name;
    platform::FileStatus st;
    if ((flags & O_NONBLOCK) == 0 && target().stat(path, st) == 0 && st.type() == S_IFIFO)
        return blocked = true, EAGAIN;
    int err = note("open " + path, (flags & (O_CREAT | O_TRUNC)) != 0);
    err = err != 0 ? err : target().openAt(folder, name, flags, mode, fd);
    if (err == 0)
        openFds.insert(fd), names_[fd] = path;
    return err;
}

int FaultFs::unlinkAt(int folder, const std::string& name) {
    const int err = note("unlink " + nameOf(folder) + "/" + name, true);
    return err != 0 ? err : target().unlinkAt(folder, name);
}

int FaultFs::lstatAt(int folder, const std::string& name, platform::FileStatus& out) {
    const std::string path = nameOf(folder) + "/" + name;
    if (const int err = note("lstat " + path))
        return err;
    const int err = target().lstatAt(folder, name, out);
    if (err == 0 && afterLstat)
        afterLstat(path, out);
    return err;
}

int FaultFs::renameAt(int folder, const std::string& from, const std::string& to) {
    const std::string dir = nameOf(folder);
    int err = note("rename " + dir + "/" + from + " " + dir + "/" + to, true);
    err = err != 0 ? err : target().renameAt(folder, from, to);
    if (afterRename)
        afterRename(dir + "/" + to);
    return err;
}

int FaultFs::fgetAttribute(int fd, const std::string& name, void* buffer, std::size_t size,
                           std::size_t& length) {
    if (const int err = note("getAttribute " + nameOf(fd) + " " + name))
        return err;
    const int hooked = onGetAttribute ? onGetAttribute(name, buffer, size, length) : -1;
    return hooked >= 0 ? hooked : target().fgetAttribute(fd, name, buffer, size, length);
}

int FaultFs::fsetAttribute(int fd, const std::string& name, const void* data, std::size_t size) {
    const int err = note("setAttribute " + nameOf(fd) + " " + name, true);
    return err != 0 ? err : target().fsetAttribute(fd, name, data, size);
}

int FaultFs::fremoveAttribute(int fd, const std::string& name) {
    const int err = note("removeAttribute " + nameOf(fd) + " " + name, true);
    return err != 0 ? err : target().fremoveAttribute(fd, name);
}

int FaultFs::flistAttributes(int fd, char* buffer, std::size_t size, std::size_t& length) {
    if (const int err = note("listAttributes " + nameOf(fd)))
        return err;
    const int hooked = onListAttributes ? onListAttributes(buffer, size, length) : -1;
    return hooked >= 0 ? hooked : target().flistAttributes(fd, buffer, size, length);
}

int FaultFs::mkdir(const std::string& path, unsigned mode) {
    const int err = note("mkdir " + path, true);
    return err != 0 ? err : target().mkdir(path, mode);
}

int FaultFs::rename(const std::string& from, const std::string& to) {
    int err = note("rename " + from + " " + to, true);
    err = err != 0 ? err : target().rename(from, to);
    if (afterRename)
        afterRename(to);
    return err;
}

int FaultFs::unlink(const std::string& path) {
    const int err = note("unlink " + path, true);
    return err != 0 ? err : target().unlink(path);
}

int FaultFs::rmdir(const std::string& path) {
    const int err = note("rmdir " + path, true);
    return err != 0 ? err : target().rmdir(path);
}

ChildOutcome runUntilCrash(int crashAt, const std::function<void(platform::FileSystem&)>& operation) {
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        FaultFs fs(true);
        fs.crashAt = crashAt;
        try {
            operation(fs);
        } catch (...) {
            ::_exit(1);
        }
        ::_exit(0);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return ChildOutcome::Failed;
    const int code = WEXITSTATUS(status);
    return code == 0                           ? ChildOutcome::Completed
           : code == FaultFs::kCrashedExitCode ? ChildOutcome::Crashed
                                               : ChildOutcome::Failed;
}

namespace {

namespace stdfs = std::filesystem;

int openObject(const std::string& path) {
    return ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
}
std::string self(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}
std::string contentsOf(const std::string& path) {
    return (std::ostringstream() << std::ifstream(path).rdbuf()).str();
}

std::map<std::string, std::string> attributesOf(int fd) {
    std::string list(65536, '\0'), value(65536, '\0');
    std::map<std::string, std::string> out;
    const ssize_t size = ::flistxattr(fd, list.data(), list.size());
    for (std::size_t at = 0; size > 0 && at < static_cast<std::size_t>(size);
         at += std::strlen(&list[at]) + 1) {
        const ssize_t got = ::fgetxattr(fd, &list[at], value.data(), value.size());
        if (std::strncmp(&list[at], "user.", 5) == 0 && got >= 0)
            out[&list[at]] = value.substr(0, std::size_t(got));
    }
    return out;
}

std::map<std::string, std::uint64_t> entriesOf(const std::string& folder) {
    std::map<std::string, std::uint64_t> names;
    std::error_code unreadable;
    for (const auto& entry : stdfs::directory_iterator(folder, unreadable)) {
        struct stat st {};
        names[entry.path().filename()] = ::lstat(entry.path().c_str(), &st) == 0 ? st.st_ino : 0;
    }
    return names;
}

}  // namespace

PowerLossFileSystem::PowerLossFileSystem(platform::FileSystem& target, const std::vector<std::string>& roots)
    : ForwardingFileSystem(target), roots_(roots) {
    for (const std::string& root : roots_) {
        const int fd = openObject(root);
        capture(fd, true), ::close(fd);
    }
}

void PowerLossFileSystem::capture(int fd, bool tree) {
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return;
    const bool folder = S_ISDIR(st.st_mode);
    Durable& d =
        durable_[st.st_ino] = {folder, st.st_mode & 07777u, folder ? "" : contentsOf(self(fd)),
                               attributesOf(fd), folder ? entriesOf(self(fd)) : decltype(Durable::names){}};
    for (auto it = d.names.begin(); tree && it != d.names.end(); ++it) {
        const int child = ::openat(fd, it->first.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        capture(child, true), ::close(child);
    }
}

int PowerLossFileSystem::fsync(int fd) {
    if (beforeSync)
        beforeSync(++syncs_);
    const int err = target().fsync(fd);
    return err == 0 ? (capture(fd, false), 0) : err;
}

void PowerLossFileSystem::dropUnsynced(const std::set<std::string>& keep) {
    for (const std::string& root : roots_)
        rebuild(root, keep);
}

void PowerLossFileSystem::rebuild(const std::string& path, const std::set<std::string>& keep) {
    struct stat st {};
    if (keep.count(path) > 0 || ::lstat(path.c_str(), &st) != 0)
        return;
    const auto known = durable_.find(st.st_ino);
    const Durable d = known != durable_.end() ? known->second
                                              : Durable{S_ISDIR(st.st_mode), st.st_mode & 07777u, "", {}, {}};
    ::chmod(path.c_str(), 0700);
    if (!d.folder)
        std::ofstream(path, std::ios::binary | std::ios::trunc) << d.contents;
    const int fd = openObject(path);
    for (const auto& [name, value] : attributesOf(fd))
        ::fremovexattr(fd, name.c_str());
    for (const auto& [name, value] : d.attributes)
        ::fsetxattr(fd, name.c_str(), value.data(), value.size(), 0);
    ::close(fd);
    for (const auto& [name, inode] : entriesOf(path))  // names never made durable
        if (d.names.count(name) == 0 || d.names.at(name) != inode)
            stdfs::remove_all(path + "/" + name);
    for (const auto& [name, inode] : d.names) {  // durable names, back as new objects where gone
        const std::string entry = path + "/" + name;
        const auto gone = durable_.find(inode);
        if (::lstat(entry.c_str(), &st) != 0 && gone != durable_.end()) {
            gone->second.folder ? ::mkdir(entry.c_str(), 0700) : ::close(::creat(entry.c_str(), 0600));
            ::lstat(entry.c_str(), &st), durable_[st.st_ino] = gone->second;
        }
        rebuild(entry, keep);
    }
    ::chmod(path.c_str(), d.mode);
}

void preferMemoryScratch() {
    char probe[] = "/dev/shm/lumaro-probe-XXXXXX";
    const int fd = std::getenv("TMPDIR") == nullptr ? ::mkstemp(probe) : -1;
    if (fd >= 0 && ::fsetxattr(fd, "user.probe", "1", 1, 0) == 0)
        ::setenv("TMPDIR", "/dev/shm", 0);
    if (fd >= 0)
        ::close(fd), ::unlink(probe);
}

}  // namespace lumaro::test
