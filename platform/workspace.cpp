#include "platform/workspace.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QStandardPaths>
#include <QString>
#include <algorithm>
#include <array>
#include <cstdlib>
#include <memory>

#include "platform/bundles.h"
#include "platform/paths.h"

namespace lumaro::platform {

DesktopMetadata& LinuxWorkspace::desktopMetadata() {
    // Made on first use: its worker thread and GIO start only for a program that needs them.
    static const std::unique_ptr<DesktopMetadata> store = makeGioDesktopMetadata();
    return *store;
}

std::vector<RunningApplication> LinuxWorkspace::runningApplications() {
    std::vector<RunningApplication> result;
    std::vector<std::string> entries;
    if (FileSystem::real().listDirectory("/proc", entries) != 0) {
        return result;
    }
    std::vector<std::string> seen;
    for (const std::string& entry : entries) {
        if (entry.empty() ||
            !std::all_of(entry.begin(), entry.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            continue;
        }
        std::array<char, 4096> target{};
        const std::string link = "/proc/" + entry + "/exe";
        const ssize_t n = ::readlink(link.c_str(), target.data(), target.size() - 1);
        if (n <= 0) {
            continue;
        }
        std::string executable(target.data(), static_cast<std::size_t>(n));
        // A replaced executable reads as "path (deleted)"; it still names where it ran from.
        constexpr std::string_view kDeleted = " (deleted)";
        if (executable.ends_with(kDeleted)) {
            executable.resize(executable.size() - kDeleted.size());
        }
        const auto bundle = applicationBundleOf(executable);
        if (bundle && std::find(seen.begin(), seen.end(), *bundle) == seen.end()) {
            seen.push_back(*bundle);
            result.push_back({*bundle, true});
        }
    }
    return result;
}

void LinuxWorkspace::noteFileSystemChanged(const std::string& path) {
    // Setting the times they already have changes only the status time, which running file
    // managers see as an attribute change and redraw the item for.
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return;
    }
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    (void)::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

std::string LinuxWorkspace::homeDirectory() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        return standardizePath(home);
    }
    struct passwd entry {};
    struct passwd* result = nullptr;
    std::array<char, 16384> buffer{};
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result != nullptr &&
        result->pw_dir != nullptr && *result->pw_dir != '\0') {
        return standardizePath(result->pw_dir);
    }
    return "/";
}

DesktopDataFolders LinuxWorkspace::desktopDataFolders() {
    return platform::desktopDataFolders(homeDirectory());
}

std::set<std::string> LinuxWorkspace::launchedDesktopFiles(const std::set<std::string>& entryPaths) {
    return platform::launchedDesktopFiles(FileSystem::real(), entryPaths);
}

std::string LinuxWorkspace::applicationSupportFolder() {
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    return folder.isEmpty() ? appendPathComponent(homeDirectory(), ".local/share")
                            : standardizePath(folder.toStdString());
}

std::string LinuxWorkspace::desktopFolder() {
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    return folder.isEmpty() ? appendPathComponent(homeDirectory(), "Desktop")
                            : standardizePath(folder.toStdString());
}

std::string LinuxWorkspace::currentDesktop() {
    const char* desktop = std::getenv("XDG_CURRENT_DESKTOP");
    return desktop != nullptr ? desktop : "";
}

}  // namespace lumaro::platform
