#include "platform/property_list.h"

#include <plist/plist.h>

#include <cstdlib>
#include <limits>
#include <memory>
#include <string>

namespace lumaro::platform {

namespace {

struct ListDeleter {
    void operator()(plist_t node) const { plist_free(node); }
};
using List = std::unique_ptr<std::remove_pointer_t<plist_t>, ListDeleter>;

// The parsed list, or null when the bytes are not a property list.
List parse(const Bytes& data) {
    if (data.empty() || data.size() > std::numeric_limits<std::uint32_t>::max()) {
        return nullptr;
    }
    plist_t root = nullptr;
    plist_from_memory(reinterpret_cast<const char*>(data.data()), static_cast<std::uint32_t>(data.size()),
                      &root);
    return List(root);
}

bool isDictionary(plist_t node) {
    return node != nullptr && plist_get_node_type(node) == PLIST_DICT;
}

// The member `key` of a dictionary node when it is a dictionary; null otherwise.
plist_t dictionaryMember(plist_t node, const char* key) {
    return isDictionary(node) ? plist_dict_get_item(node, key) : nullptr;
}

// The string value of a dictionary's member, or nothing when missing or not a string.
std::optional<std::string> stringMember(plist_t node, const char* key) {
    plist_t value = dictionaryMember(node, key);
    if (value == nullptr || plist_get_node_type(value) != PLIST_STRING) {
        return std::nullopt;
    }
    // Not plist_get_string_val: it asserts, and so aborts the program, on a string holding a NUL,
    // which a binary list can. No identifier or path holds one, so such a string counts as none.
    std::uint64_t length = 0;
    const char* text = plist_get_string_ptr(value, &length);
    if (text == nullptr || std::char_traits<char>::length(text) != length) {
        return std::nullopt;
    }
    return std::string(text, length);
}

void collectTiles(plist_t root, const char* key, std::vector<std::string>& out) {
    plist_t tiles = plist_dict_get_item(root, key);
    if (tiles == nullptr || plist_get_node_type(tiles) != PLIST_ARRAY) {
        return;
    }
    const std::uint32_t count = plist_array_get_size(tiles);
    for (std::uint32_t i = 0; i < count; ++i) {
        if (plist_get_node_type(plist_array_get_item(tiles, i)) != PLIST_DICT) {
            return;
        }
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        plist_t tileData = dictionaryMember(plist_array_get_item(tiles, i), "tile-data");
        if (auto url = stringMember(dictionaryMember(tileData, "file-data"), "_CFURLString")) {
            out.push_back(std::move(*url));
        }
    }
}

}  // namespace

std::optional<std::string> rootStringMember(const Bytes& list, const char* key) {
    const List root = parse(list);
    return stringMember(root.get(), key);
}

std::vector<std::string> dockTileUrls(const Bytes& preferences) {
    std::vector<std::string> urls;
    const List root = parse(preferences);
    if (isDictionary(root.get())) {
        collectTiles(root.get(), "persistent-apps", urls);
        collectTiles(root.get(), "recent-apps", urls);
    }
    return urls;
}

std::string webLinkFile(const std::string& url) {
    const List dict(plist_new_dict());
    plist_dict_set_item(dict.get(), "URL", plist_new_string(url.c_str()));
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(dict.get(), &xml, &length);
    std::string text = xml != nullptr ? std::string(xml, length) : std::string();
    std::free(xml);
    return text;
}

}  // namespace lumaro::platform
