#include "tests/support/scratch.h"

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/paths.h"

namespace lumaro::test {

ScratchDir::ScratchDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/lumaro-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
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

platform::Bytes bytesOf(const std::string& text) { return platform::Bytes(text.begin(), text.end()); }

void writeFile(const std::string& path, const std::string& contents, unsigned mode) {
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        if (!out) {
            throw std::runtime_error("cannot write " + path);
        }
        out << contents;
    }
    ::chmod(path.c_str(), static_cast<mode_t>(mode));
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void makeDirectory(const std::string& path, unsigned mode) {
    if (::mkdir(path.c_str(), static_cast<mode_t>(mode)) != 0) {
        throw std::runtime_error("mkdir failed: " + path);
    }
    ::chmod(path.c_str(), static_cast<mode_t>(mode));
}

void setRawAttribute(const std::string& path, const std::string& fullName, const platform::Bytes& value) {
    if (::lsetxattr(path.c_str(), fullName.c_str(), value.data(), value.size(), 0) != 0) {
        throw std::runtime_error("lsetxattr failed: " + path + " " + fullName);
    }
}

bool hasRawAttribute(const std::string& path, const std::string& fullName) {
    return ::lgetxattr(path.c_str(), fullName.c_str(), nullptr, 0) >= 0;
}

platform::Bytes rawAttribute(const std::string& path, const std::string& fullName) {
    const ssize_t size = ::lgetxattr(path.c_str(), fullName.c_str(), nullptr, 0);
    if (size < 0) {
        throw std::runtime_error("no attribute " + fullName + " on " + path);
    }
    platform::Bytes value(static_cast<std::size_t>(size));
    const ssize_t got = ::lgetxattr(path.c_str(), fullName.c_str(), value.data(), value.size());
    value.resize(static_cast<std::size_t>(got < 0 ? 0 : got));
    return value;
}

unsigned fileMode(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        throw std::runtime_error("lstat failed: " + path);
    }
    return st.st_mode & 07777;
}

QImage sampleImage() {
    QImage image(16, 16, QImage::Format_RGBA8888);
    image.fill(QColor(200, 120, 40, 255));
    return image;
}

}  // namespace lumaro::test
