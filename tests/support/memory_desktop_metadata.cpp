#include "tests/support/memory_desktop_metadata.h"

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>

namespace lumaro::test {

void MemoryDesktopMetadata::load() {
    std::ifstream in(file);
    if (file.empty() || !in)
        return;
    keys.clear();
    const nlohmann::json all = nlohmann::json::parse(in);
    for (auto it = all.begin(); it != all.end(); ++it) {
        platform::IconMetadata m;
        if (it->contains("icon"))
            m.customIcon = it->at("icon").get<std::string>();
        if (it->contains("name"))
            m.customIconName = it->at("name").get<std::string>();
        keys[it.key()] = m;
    }
}

void MemoryDesktopMetadata::save() const {
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

int MemoryDesktopMetadata::read(const std::string& path, platform::IconMetadata& out) {
    if (unavailable || failReads != 0)
        return unavailable ? ENOTSUP : failReads;
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
    if (value == platform::IconMetadata{}) {
        keys.erase(path);
    } else {
        keys[path] = value;
    }
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
    ++flushes;
    return 0;
}

}  // namespace lumaro::test
