// A FileSystem over the real one for fault tests. It logs each call of interest as "op detail"
// (the attribute name for attribute calls, otherwise the last path component; a descriptor call
// names the file its descriptor was opened on), fails the calls listed in `fail` (by "op detail"
// or by "op") with their errno, tracks open descriptors, and refuses instead of hanging what
// would block a test: an open of a FIFO without O_NONBLOCK and a flock without LOCK_NB.
// The on* hooks run in place of the call; one that returns -1 forwards it.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace lumaro::test {

class FaultFs : public platform::ForwardingFileSystem {
  public:
    FaultFs() : ForwardingFileSystem(platform::FileSystem::real()) {}

    std::vector<std::string> log;
    std::map<std::string, int> fail;
    std::set<int> openFds;
    bool blocked = false;  // a call that would have waited was refused
    std::function<int(const std::string& name, void* buffer, std::size_t size, std::size_t& length)>
        onGetAttribute;
    std::function<int(char* buffer, std::size_t size, std::size_t& length)> onListAttributes;
    std::function<int(std::size_t& written)> onWrite;
    std::function<void(const std::string& path, platform::FileStatus&)> afterLstat;
    std::function<void(platform::FileStatus&)> afterFstat;

    bool called(const std::string& entry) const { return indexOf(entry) >= 0; }
    long indexOf(const std::string& entry) const;  // of the first such entry, -1 when none

    int lstat(const std::string& path, platform::FileStatus& out) override;
    int open(const std::string& path, int flags, unsigned mode, int& fd) override;
    int fstat(int fd, platform::FileStatus& out) override;
    int write(int fd, const void* data, std::size_t size, std::size_t& written) override;
    int ftruncate(int fd, std::uint64_t length) override;
    int fchmod(int fd, unsigned mode) override;
    int fsync(int fd) override;
    int flock(int fd, int operation) override;
    int close(int fd) override;  // the descriptor is released even when a failure is injected
    int getAttribute(const std::string& path, const std::string& name, void* buffer, std::size_t size,
                     std::size_t& length) override;
    int setAttribute(const std::string& path, const std::string& name, const void* data,
                     std::size_t size) override;
    int removeAttribute(const std::string& path, const std::string& name) override;
    int listAttributes(const std::string& path, char* buffer, std::size_t size, std::size_t& length) override;
    int rename(const std::string& from, const std::string& to) override;

  private:
    int note(const std::string& op, const std::string& detail);  // logs; the injected errno or 0
    std::string nameOf(int fd) const;

    std::map<int, std::string> names_;
};

}  // namespace lumaro::test
