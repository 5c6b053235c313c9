// The operation lock: one holder at a time, across descriptors and processes, never waiting.
#include "records/operation_lock.h"

#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <memory>
#include <set>

#include "records/errors.h"
#include "tests/support/scratch.h"

namespace lumaro {
namespace {

const std::string kBusy = "另一个窗口正在操作，请稍后重试。";

template <typename F>
std::string lockErrorOf(F&& call) {
    try {
        call();
    } catch (const SkinError& e) {
        return e.message();
    } catch (const std::exception& e) {
        return std::string("other exception: ") + e.what();
    }
    return "no error";
}

// Tracks open descriptors and turns a flock that would wait into a recorded failure, so a
// regression shows up as a failed expectation instead of a test that never ends.
class LockSeam : public platform::ForwardingFileSystem {
  public:
    LockSeam() : ForwardingFileSystem(platform::FileSystem::real()) {}
    std::set<int> openDescriptors;
    bool waitingFlock = false;

    int open(const std::string& path, int flags, unsigned mode, int& fd) override {
        const int err = target().open(path, flags, mode, fd);
        if (err == 0)
            openDescriptors.insert(fd);
        return err;
    }
    int close(int fd) override {
        openDescriptors.erase(fd);
        return target().close(fd);
    }
    int flock(int fd, int operation) override {
        if ((operation & LOCK_UN) == 0 && (operation & LOCK_NB) == 0) {
            waitingFlock = true;
            return EWOULDBLOCK;
        }
        return target().flock(fd, operation);
    }
};

TEST(OperationLock, OneHolderAtATimeWithinAProcess) {
    test::ScratchDir dir;
    LockSeam fs;
    auto first = std::make_unique<OperationLock>(fs, dir.path(), "lock");
    EXPECT_EQ(test::fileMode(dir / "lock"), 0600u);
    EXPECT_GE(first->descriptor(), 0);
    EXPECT_EQ(fs.openDescriptors.size(), 1u);

    EXPECT_EQ(lockErrorOf([&] { OperationLock second(fs, dir.path(), "lock"); }), kBusy);
    EXPECT_FALSE(fs.waitingFlock);
    EXPECT_EQ(fs.openDescriptors.size(), 1u);  // the refused attempt closed its descriptor

    first.reset();
    EXPECT_TRUE(fs.openDescriptors.empty());
    EXPECT_EQ(lockErrorOf([&] { OperationLock again(fs, dir.path(), "lock"); }), "no error");
}

TEST(OperationLock, ReusesLeftoverFileAndRefusesLinksAndMissingFolders) {
    test::ScratchDir dir;
    LockSeam fs;
    test::writeFile(dir / "lock", "left by an earlier run\n", 0600);
    {
        OperationLock lock(fs, dir.path(), "lock");
        EXPECT_EQ(test::readFile(dir / "lock"), "left by an earlier run\n");
    }
    EXPECT_EQ(test::readFile(dir / "lock"), "left by an earlier run\n");

    ASSERT_EQ(::symlink((dir / "created-through-link").c_str(), (dir / "dangling").c_str()), 0);
    EXPECT_EQ(lockErrorOf([&] { OperationLock lock(fs, dir.path(), "dangling"); }), "无法打开操作锁");
    EXPECT_NE(::access((dir / "created-through-link").c_str(), F_OK), 0);
    ASSERT_EQ(::symlink((dir / "lock").c_str(), (dir / "link").c_str()), 0);
    EXPECT_EQ(lockErrorOf([&] { OperationLock lock(fs, dir.path(), "link"); }), "无法打开操作锁");

    EXPECT_EQ(lockErrorOf([&] { OperationLock lock(fs, dir / "absent", "lock"); }), "无法打开操作锁");
    EXPECT_NE(::access((dir / "absent").c_str(), F_OK), 0);
    EXPECT_TRUE(fs.openDescriptors.empty());
}

TEST(OperationLock, AnotherProcessHoldingTheLockRefusesAtOnce) {
    test::ScratchDir dir;
    int ready[2];
    int release[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(release), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(ready[0]);
        ::close(release[1]);
        char signal = 'n';
        try {
            OperationLock lock(platform::FileSystem::real(), dir.path(), "lock");
            signal = 'y';
            [[maybe_unused]] const ssize_t w = ::write(ready[1], &signal, 1);
            [[maybe_unused]] const ssize_t r = ::read(release[0], &signal, 1);
            ::_exit(0);  // the lock goes with the process
        } catch (...) {
            [[maybe_unused]] const ssize_t w = ::write(ready[1], &signal, 1);
        }
        ::_exit(1);
    }
    ::close(ready[1]);
    ::close(release[0]);
    char signal = 0;
    ASSERT_EQ(::read(ready[0], &signal, 1), 1);
    ::close(ready[0]);
    ASSERT_EQ(signal, 'y');

    LockSeam fs;
    EXPECT_EQ(lockErrorOf([&] { OperationLock lock(fs, dir.path(), "lock"); }), kBusy);
    EXPECT_FALSE(fs.waitingFlock);

    ASSERT_EQ(::write(release[1], "x", 1), 1);
    ::close(release[1]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(lockErrorOf([&] { OperationLock lock(fs, dir.path(), "lock"); }), "no error");
}

}  // namespace
}  // namespace lumaro
