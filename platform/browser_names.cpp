#include "platform/browser_names.h"

#include <QCollator>
#include <QLocale>
#include <QString>
#include <algorithm>
#include <array>

#include "platform/file_ops.h"
#include "platform/paths.h"

namespace lumaro::platform {

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

}  // namespace lumaro::platform
