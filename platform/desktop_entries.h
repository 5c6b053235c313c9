// The user's applications on Linux: the desktop entries a launcher shows, found in the XDG data
// folders, and the processes that were launched from them.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace lumaro::platform {

// The program's own desktop-file ID, never skinned.
inline constexpr const char* kOwnDesktopFileId = "lumaro.desktop";

struct DesktopDataFolders {
    std::string user;                 // $XDG_DATA_HOME, default ~/.local/share
    std::vector<std::string> system;  // $XDG_DATA_DIRS, default /usr/local/share:/usr/share
};

// From the environment; empty and relative entries are ignored, as are duplicates.
DesktopDataFolders desktopDataFolders(const std::string& homeDirectory);

struct DesktopEntry {
    std::string id;               // desktop-file ID, e.g. "org.example-tool.desktop"
    std::string path;             // the winning file
    std::string userPath;         // <user>/applications/<id path>, where the skin writes
    bool userCopyExists = false;  // the winning file is the user's own copy
    std::string name;             // Name, localized for `locale`
};

// The reason given for an entry that is a link, a FIFO or another non-regular file.
inline constexpr const char* kNotARegularEntry = "a link or special file";
// The reason given for an ID that is not valid UTF-8 or leaves no room for the private names a
// copy is written through.
inline constexpr const char* kUnusableEntryId = "an ID not valid UTF-8 or too long";

struct DesktopEntryProblem {
    std::string path;
    std::string reason;  // English detail; the caller words the user's message
};

struct DesktopEntryDiscovery {
    std::vector<DesktopEntry> entries;  // by ID
    std::vector<DesktopEntryProblem> problems;
};

// Every shown entry of Type=Application: the user folder first, then the system folders in
// order; the first file of an ID wins, and a winner with Hidden or NoDisplay true hides the ID.
// Links, FIFOs and other non-regular files are refused unread; malformed files are problems.
// A missing folder is not a problem.
DesktopEntryDiscovery discoverDesktopEntries(FileSystem& fs, const DesktopDataFolders& folders,
                                             const std::string& locale);

// Of `entryPaths` (each entry's known paths: system and user copy), those that a running process
// of this user names in GIO_LAUNCHED_DESKTOP_FILE. Processes that cannot be read are left out.
// `procRoot` is "/proc" outside tests.
std::set<std::string> launchedDesktopFiles(FileSystem& fs, const std::set<std::string>& entryPaths,
                                           const std::string& procRoot = "/proc");

}  // namespace lumaro::platform
