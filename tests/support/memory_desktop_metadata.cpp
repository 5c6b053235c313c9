#include "tests/support/memory_desktop_metadata.h"

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>

namespace lumaro::test {
namespace {

using Keys = std::map<std::string, platform::IconMetadata>;

void load(const std::string& file, Keys& keys) {
    std::ifstream in(file);
    if (file.empty() || !in)
        return;
    keys.clear();
    const nlohmann::json all = nlohmann::json::parse(in);
    const auto member = [](const nlohmann::json& value, const char* name) {
        return value.contains(name) ? std::optional(value.at(name).get<std::string>()) : std::nullopt;
    };
    for (auto it = all.begin(); it != all.end(); ++it)
        keys[it.key()] = {member(*it, "icon"), member(*it, "name")};
}

void save(const std::string& file, const Keys& keys) {
    if (file.empty())
        return;
    nlohmann::json all = nlohmann::json::object();
    for (const auto& [path, m] : keys) {
        nlohmann::json& value = all[path] = nlohmann::json::object();
        if (m.customIcon)
            value["icon"] = *m.customIcon;
        if (m.customIconName)
            value["name"] = *m.customIconName;
    }
    std::ofstream(file + ".new") << all.dump();
    std::rename((file + ".new").c_str(), file.c_str());
}

}  // namespace

int MemoryDesktopMetadata::read(const std::string& path, platform::IconMetadata& out) {
    if (unavailable)
        return ENOTSUP;
    load(file, keys);
    const auto found = keys.find(path);
    out = found == keys.end() ? platform::IconMetadata{} : found->second;
    return 0;
}

int MemoryDesktopMetadata::change(const std::string& call, const std::function<void()>& apply) {
    if (unavailable || failWrites != 0)
        return unavailable ? ENOTSUP : failWrites;
    if (const int err = inject ? inject(call) : 0)
        return err;
    load(file, keys), apply(), save(file, keys);
    return 0;
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
        if (found == keys.end() || found->second.customIcon != expectedUri)
            return;
        found->second.customIcon.reset();
        found->second == platform::IconMetadata{} ? (void)keys.erase(found) : void();
    });
}

int MemoryDesktopMetadata::flush() {
    return failFlush != 0 ? failFlush : inject ? inject("fsync metadata-store") : 0;
}

}  // namespace lumaro::test
