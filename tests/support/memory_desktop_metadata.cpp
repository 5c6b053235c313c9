#include "tests/support/memory_desktop_metadata.h"

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>

namespace lumaro::test {

int MemoryDesktopMetadata::read(const std::string& path, platform::IconMetadata& out) {
    if (unavailable)
        return ENOTSUP;
    load();
    const auto found = keys.find(path);
    out = found == keys.end() ? platform::IconMetadata{} : found->second;
    return 0;
}

// The file holds {"<path>": {"icon": ..., "name": ...}}, a key left out when absent.
void MemoryDesktopMetadata::load() {
    std::ifstream in(file);
    if (file.empty() || !in)
        return;
    keys.clear();
    const nlohmann::json all = nlohmann::json::parse(in);
    for (const auto& [path, value] : all.items())
        keys[path] = {value.contains("icon") ? std::optional(value["icon"].get<std::string>()) : std::nullopt,
                      value.contains("name") ? std::optional(value["name"].get<std::string>()) : std::nullopt};
}

int MemoryDesktopMetadata::change(const std::string& call, const std::function<void()>& apply) {
    if (unavailable || failWrites != 0)
        return unavailable ? ENOTSUP : failWrites;
    if (const int err = inject ? inject(call) : 0)
        return err;
    load(), apply();
    if (file.empty())
        return 0;
    nlohmann::json all = nlohmann::json::object();
    for (const auto& [path, m] : keys) {
        nlohmann::json& value = all[path] = nlohmann::json::object();
        m.customIcon ? (void)(value["icon"] = *m.customIcon) : void();
        m.customIconName ? (void)(value["name"] = *m.customIconName) : void();
    }
    std::ofstream(file + ".new") << all.dump();
    return std::rename((file + ".new").c_str(), file.c_str()), 0;
}

int MemoryDesktopMetadata::write(const std::string& path, const platform::IconMetadata& value) {
    if (observe && !unavailable && failWrites == 0)
        observe("write " + path);
    return change("metadata " + path, [&] {
        value == platform::IconMetadata{} ? (void)keys.erase(path) : (void)(keys[path] = value);
    });
}

int MemoryDesktopMetadata::clearIfOurs(const std::string& path, const std::string& expectedUri) {
    return change("metadata-clear " + path, [&] {
        const auto found = keys.find(path);
        if (found != keys.end() && found->second.customIcon == expectedUri)
            found->second.customIconName ? found->second.customIcon.reset() : (void)keys.erase(found);
    });
}

int MemoryDesktopMetadata::flush() {
    return failFlush != 0 ? failFlush : inject ? inject("fsync metadata-store") : 0;
}

}  // namespace lumaro::test
