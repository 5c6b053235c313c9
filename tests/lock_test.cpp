// The operation lock: one holder at a time, never waiting (across processes: the fault tests).
#include "records/operation_lock.h"

#include <unistd.h>

#include <gtest/gtest.h>
#include <optional>

#include "tests/support/fault_fs.h"
#include "tests/support/scratch.h"

namespace lumaro {
namespace {

std::string lockError(platform::FileSystem& fs, const std::string& directory, const std::string& name) {
    return test::errorOf([&] { OperationLock lock(fs, directory, name); });
}

TEST(OperationLock, OneHolderAtATimeReusingTheFileAndRefusingLinksAndMissingFolders) {
    test::ScratchDir dir;
    test::FaultFs fs;  // refuses, instead of waiting on, a flock without LOCK_NB
    test::writeFile(dir / "lock", "left by an earlier run\n", 0600);
    std::optional<OperationLock> first(std::in_place, fs, dir.path(), "lock");
    EXPECT_EQ(lockError(fs, dir.path(), "lock"), kLockBusyMessage);
    EXPECT_FALSE(fs.blocked);
    first.reset();
    EXPECT_EQ(lockError(fs, dir.path(), "lock"), "<no error>");
    EXPECT_EQ(test::readFile(dir / "lock"), "left by an earlier run\n");
    EXPECT_EQ(lockError(fs, dir.path(), "new"), "<no error>");
    EXPECT_EQ(test::fileMode(dir / "new"), 0600u);

    ASSERT_EQ(::symlink((dir / "target").c_str(), (dir / "link").c_str()), 0);
    EXPECT_EQ(lockError(fs, dir.path(), "link"), "无法打开操作锁");
    EXPECT_EQ(lockError(fs, dir / "absent", "lock"), "无法打开操作锁");
    EXPECT_NE(::access((dir / "target").c_str(), F_OK), 0);  // nothing created through the link
    EXPECT_TRUE(fs.openFds.empty());                         // refused attempts closed their descriptors
}

}  // namespace
}  // namespace lumaro
