#include "tests/support/fault_fs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

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

int FaultFs::note(const std::string& call, bool change) {
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

int FaultFs::opened(const std::string& path, int flags, int& fd, const std::function<int()>& open) {
    platform::FileStatus st;
    if ((flags & O_NONBLOCK) == 0 && target().stat(path, st) == 0 && st.type() == S_IFIFO)
        return blocked = true, EAGAIN;
    int err = note("open " + path, (flags & (O_CREAT | O_TRUNC)) != 0);
    err = err != 0 ? err : open();
    if (err == 0)
        openFds.insert(fd), names_[fd] = path;
    return err;
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
