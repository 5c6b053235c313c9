#include "tests/support/fault_fs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <sys/xattr.h>

#include <cstdlib>

namespace lumaro {

void PrintTo(const OperationReport& r, std::ostream* os) {
    *os << "{succeeded " << r.succeeded << ", skipped " << r.skipped << ", errors "
        << testing::PrintToString(r.errors) << ", remaining " << r.remaining << ", relaunch "
        << testing::PrintToString(r.relaunchApplications) << ", missing "
        << testing::PrintToString(r.missingItems) << (r.desktopMetadataUnavailable ? ", no metadata" : "")
        << "}";
}

}  // namespace lumaro

namespace lumaro::test {

int FaultFs::note(const std::string& call, bool change) {
    log.push_back(call);
    if (observe)
        observe(call);
    if (change && ++changes_ == crashAt)
        ::_exit(kCrashedExitCode);
    if (change && failAt_ > 0 && (changes_ == failAt_ || (sticky_ && changes_ > failAt_)))
        return failed.push_back(call), error_;
    auto it = fail.find(call);
    it = it != fail.end() ? it : fail.find(call.substr(0, call.find(' ')));
    return it == fail.end() ? 0 : it->second;
}

int FaultFs::opened(const std::string& path, int flags, int& fd, const std::function<int()>& open) {
    platform::FileStatus st;
    if ((flags & O_NONBLOCK) == 0 && target().stat(path, st) == 0 && st.type() == S_IFIFO)
        return blocked = true, EAGAIN;
    int err = note("open " + path, (flags & (O_CREAT | O_TRUNC)) != 0);
    err = err != 0 ? err : open();
    if (err == 0)
        openFds.insert(fd), names_[fd] = path;
    return err;
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
