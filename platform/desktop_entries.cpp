#include "platform/desktop_entries.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/child_file.h"
#include "platform/file_ops.h"
#include "platform/key_file.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace lumaro::platform {

namespace {

constexpr std::string_view kGroup = "Desktop Entry";
constexpr std::size_t kMaxDepth = 32;
constexpr std::uint64_t kMaxEnviron = 4u * 1024 * 1024;
constexpr std::uint64_t kMaxStatus = 64u * 1024;

struct Candidate {
    std::string id;
    std::string path;
    bool user = false;
};

// Lists `folder` and its subfolders (never through a link) in name order; a subfolder adds its
// name and "-" to the IDs below it. Non-regular "*.desktop" names are kept: the caller refuses them.
void collect(FileSystem& fs, const std::string& folder, const std::string& prefix, bool user,
             std::size_t depth, std::vector<Candidate>& out, std::vector<DesktopEntryProblem>& problems) {
    std::vector<std::string> names;
    const int err = fs.listDirectory(folder, names);
    if (err != 0) {
        if (err != ENOENT && err != ENOTDIR) {
            problems.push_back({folder, std::strerror(err)});
        }
        return;
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const std::string path = appendPathComponent(folder, name);
        FileStatus st;
        if (fs.lstat(path, st) != 0) {
            continue;  // gone meanwhile
        }
        if (st.isDirectory()) {
            if (depth < kMaxDepth) {
                collect(fs, path, prefix + name + "-", user, depth + 1, out, problems);
            }
        } else if (name.size() > 8 && name.ends_with(".desktop")) {
            out.push_back({prefix + name, path, user});
        }
    }
}

std::string fromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

}  // namespace

DesktopDataFolders desktopDataFolders(const std::string& homeDirectory) {
    DesktopDataFolders folders;
    const std::string home = fromEnvironment("XDG_DATA_HOME");
    folders.user = !home.empty() && home.front() == '/' ? standardizePath(home)
                                                        : appendPathComponent(homeDirectory, ".local/share");
    std::string dirs = fromEnvironment("XDG_DATA_DIRS");
    if (dirs.empty()) {
        dirs = "/usr/local/share:/usr/share";
    }
    std::size_t start = 0;
    while (start <= dirs.size()) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos) {
            end = dirs.size();
        }
        const std::string entry = dirs.substr(start, end - start);
        if (!entry.empty() && entry.front() == '/') {
            const std::string folder = standardizePath(entry);
            if (folder != folders.user &&
                std::find(folders.system.begin(), folders.system.end(), folder) == folders.system.end()) {
                folders.system.push_back(folder);
            }
        }
        start = end + 1;
    }
    return folders;
}

DesktopEntryDiscovery discoverDesktopEntries(FileSystem& fs, const DesktopDataFolders& folders,
                                             const std::string& locale) {
    DesktopEntryDiscovery result;
    std::vector<Candidate> candidates;
    const std::string userApplications = appendPathComponent(folders.user, "applications");
    collect(fs, userApplications, "", true, 0, candidates, result.problems);
    for (const std::string& folder : folders.system) {
        collect(fs, appendPathComponent(folder, "applications"), "", false, 0, candidates, result.problems);
    }
    std::set<std::string> claimed;
    for (const Candidate& candidate : candidates) {
        // The first file of an ID decides it, even when it cannot be used: a lower one must not
        // show through (and a user copy we cannot read must never be written over).
        if (!claimed.insert(candidate.id).second || candidate.id == kOwnDesktopFileId) {
            continue;
        }
        if (!isValidUtf8(candidate.id) || !fitsPrivateName(candidate.id)) {
            result.problems.push_back({candidate.path, kUnusableEntryId});
            continue;
        }
        Bytes data;
        const int err = readRegularFile(fs, candidate.path, kMaxValueSize, data);
        if (err != 0) {
            result.problems.push_back(
                {candidate.path, err == ELOOP || err == EINVAL ? kNotARegularEntry : std::strerror(err)});
            continue;
        }
        std::string problem;
        const auto file = KeyFile::parse(
            std::string_view(reinterpret_cast<const char*>(data.data()), data.size()), &problem);
        if (!file || !file->hasGroup(kGroup)) {
            result.problems.push_back({candidate.path, file ? "no [Desktop Entry] group" : problem});
            continue;
        }
        if (file->value(kGroup, "Type") != "Application" || file->isTrue(kGroup, "Hidden") ||
            file->isTrue(kGroup, "NoDisplay")) {
            continue;
        }
        DesktopEntry entry;
        entry.id = candidate.id;
        entry.path = candidate.path;
        entry.userCopyExists = candidate.user;
        // A user copy in a subfolder is edited where it is; otherwise the copy goes flat by ID.
        entry.userPath =
            candidate.user ? candidate.path : appendPathComponent(userApplications, candidate.id);
        entry.name = file->localizedValue(kGroup, "Name", locale)
                         .value_or(candidate.id.substr(0, candidate.id.size() - 8));
        result.entries.push_back(std::move(entry));
    }
    std::sort(result.entries.begin(), result.entries.end(),
              [](const DesktopEntry& a, const DesktopEntry& b) { return a.id < b.id; });
    return result;
}

std::set<std::string> launchedDesktopFiles(FileSystem& fs, const std::set<std::string>& entryPaths,
                                           const std::string& procRoot) {
    std::set<std::string> found;
    std::vector<std::string> pids;
    if (entryPaths.empty() || fs.listDirectory(procRoot, pids) != 0) {
        return found;
    }
    const std::string uid = std::to_string(::getuid());
    for (const std::string& pid : pids) {
        if (pid.empty() ||
            !std::all_of(pid.begin(), pid.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            continue;
        }
        const std::string folder = appendPathComponent(procRoot, pid);
        // The real uid from "Uid:\treal\teffective\tsaved\tfs": only the user's own processes.
        Bytes status;
        if (readRegularFile(fs, appendPathComponent(folder, "status"), kMaxStatus, status) != 0) {
            continue;
        }
        const std::string statusText(status.begin(), status.end());
        const std::size_t at = statusText.find("\nUid:\t");
        if (at == std::string::npos || statusText.compare(at + 6, uid.size() + 1, uid + "\t") != 0) {
            continue;
        }
        Bytes environ;
        if (readRegularFile(fs, appendPathComponent(folder, "environ"), kMaxEnviron, environ) != 0) {
            continue;
        }
        constexpr std::string_view kKey = "GIO_LAUNCHED_DESKTOP_FILE=";
        std::size_t start = 0;
        while (start < environ.size()) {
            std::size_t end = start;
            while (end < environ.size() && environ[end] != 0) {
                ++end;
            }
            const std::string_view variable(reinterpret_cast<const char*>(environ.data()) + start,
                                            end - start);
            if (variable.starts_with(kKey)) {
                const std::string path = standardizePath(variable.substr(kKey.size()));
                if (entryPaths.count(path) > 0) {
                    found.insert(path);
                }
            }
            start = end + 1;
        }
    }
    return found;
}

}  // namespace lumaro::platform
