#include "platform/bundles.h"

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

std::optional<std::string> bundleIdentifier(FileSystem& fs, const std::string& bundle) {
    constexpr std::uint64_t kMaxInfoPlist = 4u * 1024 * 1024;
    Bytes data;
    if (readRegularFile(fs, appendPathComponent(bundle, "Contents/Info.plist"), kMaxInfoPlist, data) != 0 ||
        data.empty()) {
        return std::nullopt;
    }
    return rootStringMember(data, "CFBundleIdentifier");
}

}  // namespace lumaro::platform
