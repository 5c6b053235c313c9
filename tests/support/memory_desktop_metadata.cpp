#include "tests/support/memory_desktop_metadata.h"

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>

namespace lumaro::test {

namespace {
std::optional<std::string> member(const nlohmann::json& keys, const char* name) {
    return keys.contains(name) ? std::optional(keys.at(name).get<std::string>()) : std::nullopt;
}
}  // namespace

// Path -> {"icon": ..., "name": ...}, each present when set.
void MemoryDesktopMetadata::load() {
    std::ifstream in(file);
    if (file.empty() || !in)
        return;
    keys.clear();
    const nlohmann::json all = nlohmann::json::parse(in);
    for (const auto& [path, m] : all.items())
        keys[path] = {member(m, "icon"), member(m, "name")};
}

void MemoryDesktopMetadata::save() const {
    if (file.empty())
        return;
    nlohmann::json all = nlohmann::json::object();
    for (const auto& [path, m] : keys) {
        all[path] = nlohmann::json::object();
        if (m.customIcon)
            all[path]["icon"] = *m.customIcon;
        if (m.customIconName)
            all[path]["name"] = *m.customIconName;
    }
    std::ofstream(file + ".new") << all.dump();
    std::rename((file + ".new").c_str(), file.c_str());
}

int MemoryDesktopMetadata::read(const std::string& path, platform::IconMetadata& out) {
    if (unavailable)
        return ENOTSUP;
    load();
    const auto found = keys.find(path);
    out = found == keys.end() ? platform::IconMetadata{} : found->second;
    return 0;
}

int MemoryDesktopMetadata::write(const std::string& path, const platform::IconMetadata& value) {
    if (unavailable || failWrites != 0)
        return unavailable ? ENOTSUP : failWrites;
    if (observe)
        observe("write " + path);
    if (const int err = inject ? inject("metadata " + path) : 0)
        return err;
    load();
    value == platform::IconMetadata{} ? (void)keys.erase(path) : (void)(keys[path] = value);
    save();
    return 0;
}

int MemoryDesktopMetadata::clearIfOurs(const std::string& path, const std::string& expectedUri) {
    if (unavailable || failWrites != 0)
        return unavailable ? ENOTSUP : failWrites;
    if (const int err = inject ? inject("metadata-clear " + path) : 0)
        return err;
    load();
    const auto found = keys.find(path);
    if (found != keys.end() && found->second.customIcon == expectedUri) {
        found->second.customIcon.reset();
        if (found->second == platform::IconMetadata{})
            keys.erase(found);
    }
    save();
    return 0;
}

int MemoryDesktopMetadata::flush() {
    if (failFlush != 0)
        return failFlush;
    if (const int err = inject ? inject("fsync metadata-store") : 0)
        return err;
    return 0;
}

}  // namespace lumaro::test
