// Test helpers: scratch folders on the real disk and small file utilities.
#pragma once

#include <QImage>
#include <string>

#include "platform/file_ops.h"

namespace lumaro::test {

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it on destruction.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const;

private:
    std::string path_;
};

platform::Bytes bytesOf(const std::string& text);
void writeFile(const std::string& path, const std::string& contents, unsigned mode = 0644);
std::string readFile(const std::string& path);
void makeDirectory(const std::string& path, unsigned mode = 0755);
// Raw attribute access on the real disk, with the full Linux name ("user.x").
void setRawAttribute(const std::string& path, const std::string& fullName, const platform::Bytes& value);
bool hasRawAttribute(const std::string& path, const std::string& fullName);
platform::Bytes rawAttribute(const std::string& path, const std::string& fullName);
unsigned fileMode(const std::string& path);  // st_mode & 07777 of lstat

// A small opaque image for engines.
QImage sampleImage();

}  // namespace lumaro::test
