// Fault models over the FileSystem seam: a disk that fails calls, and a power loss.
#pragma once

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace lumaro::test {

// Fails the disk-changing call number `failAt` (from 1; the calls CrashingFileSystem counts) with `error`:
// only that call, or with `sticky` every one from it on. A failed call never reaches the target and is
// named in `failed` as "op path". arm() starts counting afresh; a `failAt` of 0 never fails.
class FailingFileSystem : public platform::ForwardingFileSystem {
  public:
    using ForwardingFileSystem::ForwardingFileSystem;
    void arm(int failAt, int error, bool sticky) {
        failAt_ = failAt, error_ = error, sticky_ = sticky, changes_ = 0, failed.clear();
    }
    std::vector<std::string> failed;

    int open(const std::string& path, int flags, unsigned mode, int& fd) override;
    int write(int fd, const void* data, std::size_t size, std::size_t& done) override {
        return pass("write", fd, [&] { return target().write(fd, data, size, done); });
    }
    int ftruncate(int fd, std::uint64_t size) override {
        return pass("ftruncate", fd, [&] { return target().ftruncate(fd, size); });
    }
    int fchmod(int fd, unsigned mode) override {
        return pass("fchmod", fd, [&] { return target().fchmod(fd, mode); });
    }
    int fsync(int fd) override {
        return pass("fsync", fd, [&] { return target().fsync(fd); });
    }
    int setAttribute(const std::string& path, const std::string& name, const void* data,
                     std::size_t size) override {
        return pass("setAttribute " + path, [&] { return target().setAttribute(path, name, data, size); });
    }
    int removeAttribute(const std::string& path, const std::string& name) override {
        return pass("removeAttribute " + path, [&] { return target().removeAttribute(path, name); });
    }
    int mkdir(const std::string& path, unsigned mode) override {
        return pass("mkdir " + path, [&] { return target().mkdir(path, mode); });
    }
    int rename(const std::string& from, const std::string& to) override {
        return pass("rename " + to, [&] { return target().rename(from, to); });
    }
    int unlink(const std::string& path) override {
        return pass("unlink " + path, [&] { return target().unlink(path); });
    }
    int rmdir(const std::string& path) override {
        return pass("rmdir " + path, [&] { return target().rmdir(path); });
    }

  private:
    int pass(const std::string& call, const std::function<int()>& forward);  // counts; fails or forwards
    int pass(const char* op, int fd, const std::function<int()>& forward);   // names the descriptor's file
    int failAt_ = 0, error_ = 0, changes_ = 0;
    bool sticky_ = false;
};

// What a power loss keeps of the trees under `roots`, by conservative POSIX rules: a file's contents,
// attributes and mode are durable as of its own last fsync; a folder's names (name -> inode) and attributes
// as of the folder's last fsync; all there at the start is durable. dropUnsynced() rewrites the trees to
// that picture: a name never synced vanishes; a durable name whose object is gone (renamed over, unlinked)
// comes back as a new object holding what that one held when last synced; an object never synced comes
// back empty and without attributes or names. Objects still standing keep their inodes (so items keep
// their identities). Paths in `keep` model the kernel having written them back early: they stay as they are.
class PowerLossFileSystem : public platform::ForwardingFileSystem {
  public:
    PowerLossFileSystem(platform::FileSystem& target, const std::vector<std::string>& roots);
    std::function<void(int sync)> beforeSync;  // told before each fsync, numbered from 1
    int fsync(int fd) override;
    void dropUnsynced(const std::set<std::string>& keep);

  private:
    struct Durable {
        bool folder;
        unsigned mode;
        std::string contents;
        std::map<std::string, std::string> attributes;  // "user." ones, full names
        std::map<std::string, std::uint64_t> names;     // a folder's entries
    };
    void capture(int fd, bool tree);  // the object at `fd` (with `tree`, all below it) is durable now
    void rebuild(const std::string& path, const std::set<std::string>& keep);
    std::vector<std::string> roots_;
    int syncs_ = 0;
    std::map<std::uint64_t, Durable> durable_;
};

// Points TMPDIR, when unset, at /dev/shm if it keeps "user." attributes: fault tests make thousands of
// small changes and model power loss themselves, so a disk only adds time.
void preferMemoryScratch();

}  // namespace lumaro::test
