#include "tests/support/scratch.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "platform/paths.h"

namespace lumaro::test {

namespace {

// No test reaches the session bus of the person running them (and so their metadata store), nor
// their launchers: only a program run through scripts/with-private-session.sh, on the bus and in
// the scratch XDG folders it made, keeps them. Elsewhere the XDG data folders point at a path
// that does not exist, so a run that looks for desktop entries finds none and writes none.
const bool kSessionBusHidden = [] {
    if (std::getenv("LUMARO_PRIVATE_SESSION") == nullptr) {
        ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
        ::unsetenv("XDG_RUNTIME_DIR");
        const std::string nowhere = "/nonexistent/lumaro-test-" + std::to_string(::getpid());
        ::setenv("XDG_DATA_HOME", (nowhere + "/data").c_str(), 1);
        ::setenv("XDG_DATA_DIRS", (nowhere + "/system").c_str(), 1);
    }
    return true;
}();

}  // namespace

ScratchDir::ScratchDir() {
    (void)kSessionBusHidden;
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/lumaro-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

ScratchDir::~ScratchDir() {
    // Make everything removable again (tests may leave folders without permissions).
    const std::string command = "chmod -R u+rwx '" + path_ + "' 2>/dev/null; rm -rf '" + path_ + "'";
    [[maybe_unused]] const int status = std::system(command.c_str());
}

std::string ScratchDir::operator/(const std::string& name) const {
    return platform::appendPathComponent(path_, name);
}

void writeFile(const std::string& path, const std::string& contents, unsigned mode) {
    if (!(std::ofstream(path, std::ios::binary | std::ios::trunc) << contents).flush())
        throw std::runtime_error("cannot write " + path);
    ::chmod(path.c_str(), static_cast<mode_t>(mode));
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    return {std::istreambuf_iterator<char>(in), {}};
}

void makeDirectory(const std::string& path, unsigned mode) {
    if (::mkdir(path.c_str(), static_cast<mode_t>(mode)) != 0)
        throw std::runtime_error("mkdir failed: " + path);
    ::chmod(path.c_str(), static_cast<mode_t>(mode));
}

void setRawAttribute(const std::string& path, const std::string& fullName, const platform::Bytes& value) {
    if (::lsetxattr(path.c_str(), fullName.c_str(), value.data(), value.size(), 0) != 0)
        throw std::runtime_error("lsetxattr failed: " + path + " " + fullName);
}

platform::Bytes rawAttribute(const std::string& path, const std::string& fullName) {
    const ssize_t size = ::lgetxattr(path.c_str(), fullName.c_str(), nullptr, 0);
    if (size < 0)
        throw std::runtime_error("no attribute " + fullName + " on " + path);
    platform::Bytes value(static_cast<std::size_t>(size));
    const ssize_t got = ::lgetxattr(path.c_str(), fullName.c_str(), value.data(), value.size());
    value.resize(static_cast<std::size_t>(got < 0 ? 0 : got));
    return value;
}

int exitCodeOf(const std::function<int()>& child) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(child());
    int status = 0;
    return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

unsigned fileMode(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        throw std::runtime_error("lstat failed: " + path);
    return st.st_mode & 07777;
}

std::uint64_t inodeOf(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

bool exists(const std::string& path) {
    return inodeOf(path) != 0;
}

QImage sampleImage() {
    QImage image(16, 16, QImage::Format_RGBA8888);
    image.fill(QColor(200, 120, 40, 255));
    return image;
}

std::uint32_t be32(const platform::Bytes& b, std::size_t at) {
    return (std::uint32_t{b.at(at)} << 24) | (std::uint32_t{b.at(at + 1)} << 16) |
           (std::uint32_t{b.at(at + 2)} << 8) | b.at(at + 3);
}

platform::Resource resource(const std::string& type, std::int16_t id, const std::string& data,
                            std::uint8_t attributes, std::optional<platform::Bytes> name) {
    platform::Resource r{{}, id, attributes, std::move(name), bytesOf(data)};
    std::copy_n(type.begin(), 4, r.type.begin());
    return r;
}

platform::Bytes resourceFork(const std::string& type, std::int16_t id, const std::string& data) {
    return platform::buildResourceFork({resource(type, id, data)}).value();
}

std::map<std::string, platform::Bytes> userAttributes(const std::string& path) {
    std::map<std::string, platform::Bytes> result;
    std::string list(static_cast<std::size_t>(std::max<ssize_t>(::llistxattr(path.c_str(), nullptr, 0), 0)),
                     '\0');
    const ssize_t got = ::llistxattr(path.c_str(), list.data(), list.size());
    list.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    for (std::size_t start = 0; start < list.size();) {
        const std::string name(list.c_str() + start);
        if (name.starts_with("user."))
            result[name] = rawAttribute(path, name);
        start += name.size() + 1;
    }
    return result;
}

std::map<std::string, std::string> treeSnapshot(const std::string& root) {
    std::map<std::string, std::string> out;
    std::vector<std::string> paths{root};
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root))
        paths.push_back(entry.path());
    for (const std::string& path : paths) {
        const auto status = std::filesystem::symlink_status(path);
        const bool link = std::filesystem::is_symlink(status),
                   file = std::filesystem::is_regular_file(status);
        out[path] = std::to_string(fileMode(path)) + (link ? " link" : file ? " " + readFile(path) : "");
        for (const auto& [name, value] : userAttributes(path))
            out[path + " " + name] = std::string(value.begin(), value.end());
    }
    return out;
}

std::string run(const std::string& command) {
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    for (char buffer[512]; pipe != nullptr && std::fgets(buffer, sizeof buffer, pipe) != nullptr;)
        output += buffer;
    return pipe != nullptr && ::pclose(pipe) == 0 ? output : "<failed> " + output;
}

}  // namespace lumaro::test
