#include "tests/support/fault_fs.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "platform/paths.h"

namespace lumaro::test {

using platform::lastPathComponent;

long FaultFs::indexOf(const std::string& entry) const {
    const auto it = std::find(log.begin(), log.end(), entry);
    return it == log.end() ? -1 : static_cast<long>(it - log.begin());
}

int FaultFs::note(const std::string& op, const std::string& detail) {
    log.push_back(op + " " + detail);
    auto it = fail.find(op + " " + detail);
    if (it == fail.end()) {
        it = fail.find(op);
    }
    return it == fail.end() ? 0 : it->second;
}

std::string FaultFs::nameOf(int fd) const {
    const auto it = names_.find(fd);
    return it == names_.end() ? std::to_string(fd) : it->second;
}

int FaultFs::lstat(const std::string& path, platform::FileStatus& out) {
    if (const int err = note("lstat", lastPathComponent(path))) {
        return err;
    }
    const int err = target().lstat(path, out);
    if (err == 0 && afterLstat) {
        afterLstat(path, out);
    }
    return err;
}

int FaultFs::open(const std::string& path, int flags, unsigned mode, int& fd) {
    platform::FileStatus st;
    if ((flags & O_NONBLOCK) == 0 && target().stat(path, st) == 0 && st.type() == S_IFIFO) {
        blocked = true;
        return EAGAIN;
    }
    int err = note("open", lastPathComponent(path));
    if (err == 0) {
        err = target().open(path, flags, mode, fd);
    }
    if (err == 0) {
        openFds.insert(fd);
        names_[fd] = lastPathComponent(path);
    }
    return err;
}

int FaultFs::fstat(int fd, platform::FileStatus& out) {
    const int err = target().fstat(fd, out);
    if (err == 0 && afterFstat) {
        afterFstat(out);
    }
    return err;
}

int FaultFs::write(int fd, const void* data, std::size_t size, std::size_t& written) {
    if (const int err = note("write", nameOf(fd))) {
        return err;
    }
    const int hooked = onWrite ? onWrite(written) : -1;
    return hooked >= 0 ? hooked : target().write(fd, data, size, written);
}

int FaultFs::ftruncate(int fd, std::uint64_t length) {
    const int err = note("ftruncate", nameOf(fd));
    return err != 0 ? err : target().ftruncate(fd, length);
}

int FaultFs::fchmod(int fd, unsigned mode) {
    const int err = note("fchmod", nameOf(fd));
    return err != 0 ? err : target().fchmod(fd, mode);
}

int FaultFs::fsync(int fd) {
    const int err = note("fsync", nameOf(fd));
    return err != 0 ? err : target().fsync(fd);
}

int FaultFs::flock(int fd, int operation) {
    if ((operation & (LOCK_UN | LOCK_NB)) == 0) {
        blocked = true;
        return EWOULDBLOCK;
    }
    return target().flock(fd, operation);
}

int FaultFs::close(int fd) {
    const int injected = note("close", nameOf(fd));
    openFds.erase(fd);
    names_.erase(fd);
    const int err = target().close(fd);
    return injected != 0 ? injected : err;
}

int FaultFs::getAttribute(const std::string& path, const std::string& name, void* buffer, std::size_t size,
                          std::size_t& length) {
    if (const int err = note("getAttribute", name)) {
        return err;
    }
    const int hooked = onGetAttribute ? onGetAttribute(name, buffer, size, length) : -1;
    return hooked >= 0 ? hooked : target().getAttribute(path, name, buffer, size, length);
}

int FaultFs::setAttribute(const std::string& path, const std::string& name, const void* data,
                          std::size_t size) {
    const int err = note("setAttribute", name);
    return err != 0 ? err : target().setAttribute(path, name, data, size);
}

int FaultFs::removeAttribute(const std::string& path, const std::string& name) {
    const int err = note("removeAttribute", name);
    return err != 0 ? err : target().removeAttribute(path, name);
}

int FaultFs::listAttributes(const std::string& path, char* buffer, std::size_t size, std::size_t& length) {
    if (const int err = note("listAttributes", lastPathComponent(path))) {
        return err;
    }
    const int hooked = onListAttributes ? onListAttributes(buffer, size, length) : -1;
    return hooked >= 0 ? hooked : target().listAttributes(path, buffer, size, length);
}

int FaultFs::rename(const std::string& from, const std::string& to) {
    const int err = note("rename", lastPathComponent(from) + " " + lastPathComponent(to));
    return err != 0 ? err : target().rename(from, to);
}

}  // namespace lumaro::test
