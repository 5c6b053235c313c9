#include "records/operation_lock.h"

#include <fcntl.h>
#include <sys/file.h>

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

OperationLock::~OperationLock() {
    fs_.flock(descriptor_, LOCK_UN);
    fs_.close(descriptor_);
}

}  // namespace lumaro
