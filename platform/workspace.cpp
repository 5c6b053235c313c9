#include "platform/workspace.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCollator>
#include <QCryptographicHash>
#include <QLocale>
#include <QStandardPaths>
#include <QString>
#include <QUrl>
#include <QUuid>
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <memory>

#include "platform/file_ops.h"
#include "platform/paths.h"
#include "platform/property_list.h"

namespace lumaro::platform {

std::optional<std::string> applicationBundleOf(const std::string& executablePath) {
    const std::string path = standardizePath(executablePath);
    std::size_t start = 0;
    while (start < path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) {
            end = path.size();
        }
        const std::string component = path.substr(start, end - start);
        // The executable itself is not a bundle, only a folder on its path is.
        if (end < path.size() && component.size() > 4 &&
            asciiLower(component.substr(component.size() - 4)) == ".app") {
            return path.substr(0, end);
        }
        start = end + 1;
    }
    return std::nullopt;
}

namespace {

class LinuxWorkspace final : public Workspace {
  public:
    DesktopMetadata& desktopMetadata() override {
        // Made on first use: its worker thread and GIO start only for a program that needs them.
        static const std::unique_ptr<DesktopMetadata> store = makeGioDesktopMetadata();
        return *store;
    }

    std::vector<RunningApplication> runningApplications() override {
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
};

}  // namespace

void Workspace::noteFileSystemChanged(const std::string& path) {
    // Setting the times they already have changes only the status time, which running file
    // managers see as an attribute change and redraw the item for.
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return;
    }
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    (void)::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

std::string Workspace::homeDirectory() {
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

DesktopDataFolders Workspace::desktopDataFolders() {
    return platform::desktopDataFolders(homeDirectory());
}

std::set<std::string> Workspace::launchedDesktopFiles(const std::set<std::string>& entryPaths) {
    return platform::launchedDesktopFiles(FileSystem::real(), entryPaths);
}

std::string Workspace::applicationSupportFolder() {
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    return folder.isEmpty() ? appendPathComponent(homeDirectory(), ".local/share")
                            : standardizePath(folder.toStdString());
}

std::string Workspace::desktopFolder() {
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    return folder.isEmpty() ? appendPathComponent(homeDirectory(), "Desktop")
                            : standardizePath(folder.toStdString());
}

namespace {

class UnavailableDesktopMetadata final : public DesktopMetadata {
  public:
    int available(const std::string&) override { return ENOTSUP; }
    int read(const std::string&, IconMetadata&) override { return ENOTSUP; }
    int write(const std::string&, const IconMetadata&) override { return ENOTSUP; }
    int clearIfOurs(const std::string&, const std::string&) override { return ENOTSUP; }
    int flush() override { return 0; }
};

}  // namespace

std::string Workspace::currentDesktop() {
    const char* desktop = std::getenv("XDG_CURRENT_DESKTOP");
    return desktop != nullptr ? desktop : "";
}

DesktopMetadata& Workspace::desktopMetadata() {
    static UnavailableDesktopMetadata none;
    return none;
}

Workspace& Workspace::real() {
    static LinuxWorkspace instance;
    return instance;
}

std::optional<std::string> bundleIdentifier(FileSystem& fs, const std::string& bundle) {
    constexpr std::uint64_t kMaxInfoPlist = 4u * 1024 * 1024;
    Bytes data;
    if (readRegularFile(fs, appendPathComponent(bundle, "Contents/Info.plist"), kMaxInfoPlist, data) != 0 ||
        data.empty()) {
        return std::nullopt;
    }
    const PropertyList root = parsePropertyList(data);
    return stringMember(root.get(), "CFBundleIdentifier");
}

std::set<std::string> hiddenNamesIn(FileSystem& fs, const std::string& folder) {
    constexpr std::uint64_t kMaxHiddenList = 1024 * 1024;
    std::set<std::string> names;
    Bytes data;
    if (readRegularFile(fs, appendPathComponent(folder, ".hidden"), kMaxHiddenList, data) != 0) {
        return names;
    }
    std::size_t start = 0;
    while (start < data.size()) {
        std::size_t end = start;
        while (end < data.size() && data[end] != '\n') {
            ++end;
        }
        if (end > start) {
            names.emplace(reinterpret_cast<const char*>(data.data()) + start, end - start);
        }
        start = end + 1;
    }
    return names;
}

bool isHiddenName(const std::string& name, const std::set<std::string>& hiddenNames) {
    return (!name.empty() && name.front() == '.') || hiddenNames.count(name) > 0;
}

bool isPackageExtension(const std::string& extension) {
    static const std::array<const char*, 23> kPackages = {
        "app",         "appex",       "bundle",     "framework", "plugin", "kext",    "xpc",  "prefpane",
        "qlgenerator", "mdimporter",  "saver",      "wdgt",      "rtfd",   "pkg",     "mpkg", "photoslibrary",
        "xcodeproj",   "xcworkspace", "playground", "scptd",     "pages",  "numbers", "key"};
    const std::string lower = asciiLower(extension);
    return std::any_of(kPackages.begin(), kPackages.end(), [&](const char* p) { return lower == p; });
}

void sortNamesForDisplay(std::vector<std::string>& names) {
    QLocale locale;
    // Qt collates the C locale by code point and ignores numeric mode; use English rules there.
    if (locale.language() == QLocale::C) {
        locale = QLocale(QLocale::English, QLocale::UnitedStates);
    }
    QCollator collator(locale);
    collator.setNumericMode(true);
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::vector<std::pair<QString, std::size_t>> keyed;
    keyed.reserve(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        keyed.emplace_back(QString::fromStdString(names[i]), i);
    }
    std::stable_sort(keyed.begin(), keyed.end(),
                     [&](const auto& a, const auto& b) { return collator.compare(a.first, b.first) < 0; });
    std::vector<std::string> sorted;
    sorted.reserve(names.size());
    for (const auto& [key, index] : keyed) {
        sorted.push_back(std::move(names[index]));
    }
    names = std::move(sorted);
}

std::string resolvingSymlinksInPath(FileSystem& fs, const std::string& path) {
    std::string resolved;
    if (fs.realPath(path, resolved) == 0) {
        return standardizePath(resolved);
    }
    return standardizePath(path);
}

std::string sha256Hex(std::string_view bytes) {
    const QByteArray digest = QCryptographicHash::hash(
        QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())), QCryptographicHash::Sha256);
    return digest.toHex().toStdString();
}

std::optional<std::string> localPathOfFileUrl(const std::string& url) {
    const QUrl parsed(QString::fromStdString(url), QUrl::StrictMode);
    if (!parsed.isValid() || !parsed.isLocalFile()) {
        return std::nullopt;
    }
    const std::string path = parsed.toLocalFile().toStdString();
    if (path.empty() || path.front() != '/') {
        return std::nullopt;
    }
    return standardizePath(path);
}

std::string newUuidString() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toStdString();
}

}  // namespace lumaro::platform
