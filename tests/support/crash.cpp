#include "tests/support/crash.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

namespace lumaro::test {

void CrashingFileSystem::change() {
    ++changes_;
    if (crashAt_ > 0 && changes_ >= crashAt_) {
        ::_exit(kCrashedExitCode);
    }
}

int CrashingFileSystem::open(const std::string& path, int flags, unsigned mode, int& fd) {
    if ((flags & (O_CREAT | O_TRUNC)) != 0) {
        change();
    }
    return NoSyncFileSystem::open(path, flags, mode, fd);
}

int CrashingFileSystem::write(int fd, const void* data, std::size_t size, std::size_t& written) {
    change();
    return NoSyncFileSystem::write(fd, data, size, written);
}

int CrashingFileSystem::ftruncate(int fd, std::uint64_t length) {
    change();
    return NoSyncFileSystem::ftruncate(fd, length);
}

int CrashingFileSystem::fchmod(int fd, unsigned mode) {
    change();
    return NoSyncFileSystem::fchmod(fd, mode);
}

int CrashingFileSystem::fsync(int fd) {
    change();
    return NoSyncFileSystem::fsync(fd);
}

int CrashingFileSystem::setAttribute(const std::string& path, const std::string& name, const void* data,
                                     std::size_t size) {
    change();
    return NoSyncFileSystem::setAttribute(path, name, data, size);
}

int CrashingFileSystem::removeAttribute(const std::string& path, const std::string& name) {
    change();
    return NoSyncFileSystem::removeAttribute(path, name);
}

int CrashingFileSystem::mkdir(const std::string& path, unsigned mode) {
    change();
    return NoSyncFileSystem::mkdir(path, mode);
}

int CrashingFileSystem::rename(const std::string& from, const std::string& to) {
    change();
    return NoSyncFileSystem::rename(from, to);
}

int CrashingFileSystem::unlink(const std::string& path) {
    change();
    return NoSyncFileSystem::unlink(path);
}

int CrashingFileSystem::rmdir(const std::string& path) {
    change();
    return NoSyncFileSystem::rmdir(path);
}

ChildOutcome runUntilCrash(int crashAt, const std::function<void(platform::FileSystem&)>& operation) {
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child < 0) {
        return ChildOutcome::Failed;
    }
    if (child == 0) {
        CrashingFileSystem fs(platform::FileSystem::real(), crashAt);
        try {
            operation(fs);
        } catch (...) {
            ::_exit(1);
        }
        ::_exit(0);
    }
    int status = 0;
    if (::waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
        return ChildOutcome::Failed;
    }
    switch (WEXITSTATUS(status)) {
        case 0:
            return ChildOutcome::Completed;
        case CrashingFileSystem::kCrashedExitCode:
            return ChildOutcome::Crashed;
        default:
            return ChildOutcome::Failed;
    }
}

}  // namespace lumaro::test
