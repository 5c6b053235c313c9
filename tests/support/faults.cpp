#include "tests/support/faults.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace lumaro::test {

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

int FailingFileSystem::pass(const std::string& call, const std::function<int()>& forward) {
    ++changes_;
    const bool fails = failAt_ > 0 && (changes_ == failAt_ || (sticky_ && changes_ > failAt_));
    return fails ? (failed.push_back(call), error_) : forward();
}

int FailingFileSystem::pass(const char* op, int fd, const std::function<int()>& forward) {
    std::error_code unknown;
    return pass(op + (" " + stdfs::read_symlink(self(fd), unknown).string()), forward);
}

int FailingFileSystem::open(const std::string& path, int flags, unsigned mode, int& fd) {
    const auto forward = [&] { return target().open(path, flags, mode, fd); };
    return (flags & (O_CREAT | O_TRUNC)) != 0 ? pass("open " + path, forward) : forward();
}

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
