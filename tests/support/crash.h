// Stopping a real operation at its Nth change to the disk, as a crash would.
#pragma once

#include <functional>
#include <string>

#include "platform/file_system.h"

namespace lumaro::test {

// Skips fsync: a process that dies keeps everything the kernel already has, so syncs only cost
// time in tests that model process crashes (not power loss).
class NoSyncFileSystem : public platform::ForwardingFileSystem {
  public:
    using ForwardingFileSystem::ForwardingFileSystem;
    int fsync(int) override { return 0; }
};

// Counts the calls that change the disk (fsync included, though it does not reach the disk) and
// ends the process, without unwinding as a crash does, when the count reaches `crashAt`.
// A `crashAt` of 0 never crashes.
class CrashingFileSystem : public NoSyncFileSystem {
  public:
    static constexpr int kCrashedExitCode = 86;

    CrashingFileSystem(platform::FileSystem& target, int crashAt)
        : NoSyncFileSystem(target), crashAt_(crashAt) {}

    int changes() const { return changes_; }

    int open(const std::string& path, int flags, unsigned mode, int& fd) override;
    int write(int fd, const void* data, std::size_t size, std::size_t& written) override;
    int ftruncate(int fd, std::uint64_t length) override;
    int fchmod(int fd, unsigned mode) override;
    int fsync(int fd) override;
    int setAttribute(const std::string& path, const std::string& name, const void* data,
                     std::size_t size) override;
    int removeAttribute(const std::string& path, const std::string& name) override;
    int mkdir(const std::string& path, unsigned mode) override;
    int rename(const std::string& from, const std::string& to) override;
    int unlink(const std::string& path) override;
    int rmdir(const std::string& path) override;

  private:
    void change();

    int crashAt_;
    int changes_ = 0;
};

enum class ChildOutcome { Completed, Crashed, Failed };

// Runs `operation` in a child process with a CrashingFileSystem over the real one that stops at
// change number `crashAt`. Completed when the operation returned, Crashed when it was stopped,
// Failed when it threw or the child died otherwise.
ChildOutcome runUntilCrash(int crashAt, const std::function<void(platform::FileSystem&)>& operation);

}  // namespace lumaro::test
