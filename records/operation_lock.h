// An advisory, non-blocking, exclusive lock on a file, held for the life of the object.
#pragma once

#include <string>

#include "platform/file_system.h"

namespace lumaro {

inline constexpr const char* kLockBusyMessage = "另一个窗口正在操作，请稍后重试。";

class OperationLock {
  public:
    // Opens (creating with mode 0600, never truncating, never following a link)
    // `directory`/`fileName` and locks it. Throws SkinError "无法打开操作锁" or kLockBusyMessage;
    // never waits.
    OperationLock(platform::FileSystem& fs, const std::string& directory, const std::string& fileName);
    OperationLock(const OperationLock&) = delete;
    OperationLock& operator=(const OperationLock&) = delete;
    ~OperationLock();

    int descriptor() const { return descriptor_; }

  private:
    platform::FileSystem& fs_;
    int descriptor_ = -1;
};

// Whether a descriptor, of another process or of this one, holds the lock on
// `directory`/`fileName` now. Never waits and never creates the file. It takes a shared lock for
// an instant itself, so an operation starting in that instant is refused as busy, as it would be
// a moment later by the holder it asked about.
bool lockHeldElsewhere(platform::FileSystem& fs, const std::string& directory, const std::string& fileName);

}  // namespace lumaro
