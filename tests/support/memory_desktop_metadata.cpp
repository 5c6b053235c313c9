#include "tests/support/memory_desktop_metadata.h"

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>

namespace lumaro::test {

// The file holds {"<path>": {"icon": ..., "name": ..., "emblems": [...]}}, a key left out when absent. A read
// (no `call`) fails only in a store unavailable and saves nothing.
int MemoryDesktopMetadata::change(const std::string& call, const std::function<void()>& apply) {
    const int err = unavailable    ? ENOTSUP
                    : call.empty() ? 0
                    : failWrites   ? failWrites
                    : inject       ? inject(call)
                                   : 0;
    if (err != 0)
        return err;
    using nlohmann::json;
    const auto text = [](const json& v, const char* key) {
        return v.contains(key) ? std::optional(v[key].get<std::string>()) : std::nullopt;
    };
    if (std::ifstream in(file); !file.empty() && in) {
        keys.clear(), emblems.clear();
        const json saved = json::parse(in);
        for (const auto& [path, value] : saved.items()) {
            if (value.contains("icon") || value.contains("name"))
                keys[path] = {text(value, "icon"), text(value, "name")};
            if (value.contains("emblems"))
                emblems[path] = value["emblems"].get<std::vector<std::string>>();
        }
    }
    apply();
    if (file.empty() || call.empty())
        return 0;
    json all = json::object();
    for (const auto& [path, m] : keys)  // each with one key at least
        for (const auto& [key, value] :
             {std::pair("icon", m.customIcon), std::pair("name", m.customIconName)})
            value ? (void)(all[path][key] = *value) : void();
    for (const auto& [path, names] : emblems)
        all[path]["emblems"] = names;
    std::ofstream(file + ".new") << all.dump();
    return std::rename((file + ".new").c_str(), file.c_str()), 0;
}

int MemoryDesktopMetadata::read(const std::string& path, platform::IconMetadata& out) {
    return change("", [&] { out = keys.contains(path) ? keys.at(path) : platform::IconMetadata{}; });
}

int MemoryDesktopMetadata::write(const std::string& path, const platform::IconMetadata& value) {
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

int MemoryDesktopMetadata::clearEmblem(const std::string& path, const std::string& emblem) {
    return change("emblems-clear " + path, [&] {
        if (const auto found = emblems.find(path); found != emblems.end()) {
            std::erase(found->second, emblem);
            found->second.empty() ? (void)emblems.erase(found) : void();
        }
    });
}

int MemoryDesktopMetadata::readEmblems(const std::string& path, std::vector<std::string>& out) {
    return change("", [&] { out = emblems.contains(path) ? emblems.at(path) : std::vector<std::string>{}; });
}

int MemoryDesktopMetadata::writeEmblems(const std::string& path, const std::vector<std::string>& names) {
    return change("emblems " + path,
                  [&] { names.empty() ? (void)emblems.erase(path) : (void)(emblems[path] = names); });
}

}  // namespace lumaro::test
