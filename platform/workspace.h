// The desktop-session services the engines use besides files: running applications, the
// program's own identity, and change notifications. Tests substitute it.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/desktop_entries.h"
#include "platform/desktop_metadata.h"
#include "platform/file_system.h"

namespace lumaro::platform {

struct RunningApplication {
    std::string bundlePath;  // standardized
    bool regular = true;     // shown to the user as an application (every one on Linux)
};

class Workspace {
  public:
    Workspace() = default;
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;
    virtual ~Workspace() = default;

    static Workspace& real();

    // On Linux: every process whose executable lies inside a folder named "*.app" (any case);
    // the bundle is the outermost such folder. Processes that cannot be read are left out.
    virtual std::vector<RunningApplication> runningApplications() = 0;
    // The running program's own bundle identifier; Linux programs have none.
    virtual std::optional<std::string> ownBundleIdentifier() { return std::nullopt; }
    // Tells running file managers that an item's icon changed (its times set to themselves);
    // failures are ignored.
    virtual void noteFileSystemChanged(const std::string& path);
    // The session's desktop metadata store. Here one that is never available; the real
    // workspace gives the store reached through GIO.
    virtual DesktopMetadata& desktopMetadata();
    // The user's home folder: $HOME, else the password database's entry; "/" when neither.
    virtual std::string homeDirectory();
    // Where applications keep their data ($XDG_DATA_HOME, by default ~/.local/share).
    virtual std::string applicationSupportFolder();
    // The user's desktop folder (the XDG desktop directory).
    virtual std::string desktopFolder();
    // The XDG data folders desktop entries are found in, from the environment.
    virtual DesktopDataFolders desktopDataFolders();
    // The session's desktop as `XDG_CURRENT_DESKTOP` names it; empty when unset.
    virtual std::string currentDesktop();
    // Of `entryPaths`, those a running process of this user was launched from.
    virtual std::set<std::string> launchedDesktopFiles(const std::set<std::string>& entryPaths);
};

// The path with links resolved where it exists (realpath), otherwise only standardized.
std::string resolvingSymlinksInPath(FileSystem& fs, const std::string& path);

// The lower-case hexadecimal SHA-256 digest of the bytes.
std::string sha256Hex(std::string_view bytes);

// The local path of a "file:" URL (percent-decoded, standardized), or nothing for any other URL.
std::optional<std::string> localPathOfFileUrl(const std::string& url);

// The bundle of an executable path: the outermost component ending in ".app" (any case),
// or nothing.
std::optional<std::string> applicationBundleOf(const std::string& executablePath);

// "CFBundleIdentifier" from `bundle`/Contents/Info.plist (binary or XML); nothing when the file
// is missing, unreadable, malformed or has no such string.
std::optional<std::string> bundleIdentifier(FileSystem& fs, const std::string& bundle);

// The names listed, one per line, in `folder`/.hidden, the file Linux file managers read for
// names to hide. Empty when the file is missing or unreadable.
std::set<std::string> hiddenNamesIn(FileSystem& fs, const std::string& folder);

// Whether a name is hidden in a folder: it begins with "." or is listed in `hiddenNames`.
bool isHiddenName(const std::string& name, const std::set<std::string>& hiddenNames);

// Whether a folder with this name is a package on this platform (by extension, any case).
bool isPackageExtension(const std::string& extension);

// Sorts names as the user's file browser does: the user's collation, digits by numeric value,
// case-insensitive; names that compare equal keep their order.
void sortNamesForDisplay(std::vector<std::string>& names);

// A new random UUID: 36 characters, upper-case, without braces.
std::string newUuidString();

}  // namespace lumaro::platform
