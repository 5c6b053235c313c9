// Test helpers: scratch folders on the real disk and small file utilities.
#pragma once

#include <sys/stat.h>

#include <QImage>
#include <algorithm>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/file_ops.h"
#include "platform/file_system.h"
#include "platform/resource_fork.h"
#include "platform/workspace.h"
#include "records/errors.h"
#include "records/records.h"
#include "tests/support/memory_desktop_metadata.h"

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

inline platform::Bytes bytesOf(const std::string& text) {
    return {text.begin(), text.end()};
}
void writeFile(const std::string& path, const std::string& contents, unsigned mode = 0644);
std::string readFile(const std::string& path);
void makeDirectory(const std::string& path, unsigned mode = 0755);
// Runs `child` in a forked process and gives its exit code (-1 when it did not exit).
int exitCodeOf(const std::function<int()>& child);
// Raw attribute access on the real disk, with the full Linux name ("user.x").
void setRawAttribute(const std::string& path, const std::string& fullName, const platform::Bytes& value);
platform::Bytes rawAttribute(const std::string& path, const std::string& fullName);
unsigned fileMode(const std::string& path);      // st_mode & 07777 of lstat
std::uint64_t inodeOf(const std::string& path);  // of lstat, 0 when it fails

// A small opaque image for engines.
QImage sampleImage();

// Sets the process umask for its lifetime.
struct ScopedUmask {
    explicit ScopedUmask(unsigned mask) : old(::umask(static_cast<mode_t>(mask))) {}
    ~ScopedUmask() { ::umask(old); }
    const mode_t old;
};

// The full Linux names of the two icon attributes.
inline constexpr const char* kFinderInfo = "user.com.apple.FinderInfo";
inline constexpr const char* kResourceFork = "user.com.apple.ResourceFork";

bool exists(const std::string& path);  // lstat succeeds
// 32 bytes of Finder information: `head`, then zeros.
inline platform::Bytes finderInfo(const std::string& head) {
    auto b = bytesOf(head);
    return b.resize(32), b;
}
std::uint32_t be32(const platform::Bytes& bytes, std::size_t at);
platform::Resource resource(const std::string& type, std::int16_t id, const std::string& data,
                            std::uint8_t attributes = 0, std::optional<platform::Bytes> name = std::nullopt);
// A resource fork holding one resource.
platform::Bytes resourceFork(const std::string& type, std::int16_t id, const std::string& data);
// Every "user." attribute of a path, by full name.
std::map<std::string, platform::Bytes> userAttributes(const std::string& path);
// Everything a person could see change at and below `root`, links not followed: each entry's mode bits
// and, for a file, its bytes (a link is "link"), by path; each "user." attribute by "path name".
std::map<std::string, std::string> treeSnapshot(const std::string& root);
// The standard output of a shell command, after "<failed> " when the command fails.
std::string run(const std::string& command);

// Sets each of `parts` on `state` (a Linux form's part wants DesktopForms{true} beside it, as its
// facet records it); stateWith(parts...) is a fresh state holding them, IconState{} one holding none.
template <typename... Parts>
IconState& put(IconState& state, Parts... parts) {
    ((state.edit<Parts>() = std::move(parts)), ...);
    return state;
}
template <typename... Parts>
IconState stateWith(Parts... parts) {
    IconState state;
    return put(state, std::move(parts)...);
}

// The message of the E a call throws, or "<no error>".
template <typename E = SkinError, typename F>
std::string errorOf(F&& call) {
    try {
        call();
    } catch (const E& error) {
        return error.what();
    }
    return "<no error>";
}

class FakeWorkspace : public platform::Workspace {
  public:
    std::vector<platform::RunningApplication> running;
    std::optional<std::string> own;
    std::vector<platform::RunningApplication> runningApplications() override { return running; }
    // Never the person's own: a batch's default roots and the Dock's preferences are found under it.
    std::string home = "/nonexistent/lumaro-test-home";
    std::string homeDirectory() override { return home; }
    std::optional<std::string> ownBundleIdentifier() override { return own; }
    void noteFileSystemChanged(const std::string&) override {}
    // An available store kept in memory; tests make it unavailable or failing.
    platform::DesktopMetadata& desktopMetadata() override { return metadata; }
    MemoryDesktopMetadata metadata;
    // The session's desktop (none unless a test names one) and the user's data folder, where a
    // session that draws emblems gets the furball's theme emblem.
    std::string desktop;
    std::string currentDesktop() override { return desktop; }
    std::string dataHome = "/nonexistent/lumaro-test-data";
    std::string applicationSupportFolder() override { return dataHome; }
    std::string desktopFolder() override { return "/nonexistent/lumaro-test-desktop"; }
    // No desktop entries unless a test gives the folders.
    platform::DesktopDataFolders dataFolders;
    std::set<std::string> launched;
    platform::DesktopDataFolders desktopDataFolders() override { return dataFolders; }
    std::set<std::string> launchedDesktopFiles(const std::set<std::string>& paths) override {
        std::set<std::string> found;
        std::set_intersection(paths.begin(), paths.end(), launched.begin(), launched.end(),
                              std::inserter(found, found.end()));
        return found;
    }
};
// Nothing a fake leaves out falls back to the real system: it would not compile.
static_assert(std::is_abstract_v<platform::Workspace> && !std::is_abstract_v<FakeWorkspace>);

}  // namespace lumaro::test
