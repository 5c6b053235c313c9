#include "records/operation_lock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

#include "platform/paths.h"
#include "records/errors.h"

namespace lumaro {

OperationLock::OperationLock(platform::FileSystem& fs, const std::string& directory,
                             const std::string& fileName)
    : fs_(fs) {
    const std::string path = platform::appendPathComponent(directory, fileName);
    int fd = -1;
    if (fs_.open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK, 0600, fd) != 0) {
        throw SkinError("无法打开操作锁");
    }
    if (fs_.flock(fd, LOCK_EX | LOCK_NB) != 0) {
        fs_.close(fd);
        throw SkinError(kLockBusyMessage);
    }
    descriptor_ = fd;
}

bool lockHeldElsewhere(platform::FileSystem& fs, const std::string& directory, const std::string& fileName) {
    int fd = -1;
    if (fs.open(platform::appendPathComponent(directory, fileName), O_RDONLY | O_NOFOLLOW | O_NONBLOCK, 0,
                fd) != 0) {
        return false;  // no lock file: no operation ever ran here
    }
    const bool held = fs.flock(fd, LOCK_SH | LOCK_NB) == EWOULDBLOCK;
    if (!held) {
        fs.flock(fd, LOCK_UN);
    }
    fs.close(fd);
    return held;
}

OperationLock::~OperationLock() {
    fs_.flock(descriptor_, LOCK_UN);
    fs_.close(descriptor_);
}

}  // namespace lumaro
