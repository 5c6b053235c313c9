#include "platform/property_list.h"

#include <plist/plist.h>

#include <limits>
#include <string>

namespace lumaro::platform {

void PropertyListDeleter::operator()(void* node) const {
    plist_free(static_cast<plist_t>(node));
}

PropertyList parsePropertyList(const Bytes& data) {
    if (data.empty() || data.size() > std::numeric_limits<std::uint32_t>::max()) {
        return nullptr;
    }
    plist_t root = nullptr;
    plist_from_memory(reinterpret_cast<const char*>(data.data()), static_cast<std::uint32_t>(data.size()),
                      &root);
    return PropertyList(root);
}

bool isDictionary(void* node) {
    return node != nullptr && plist_get_node_type(static_cast<plist_t>(node)) == PLIST_DICT;
}

void* dictionaryMember(void* node, const char* key) {
    if (!isDictionary(node)) {
        return nullptr;
    }
    return plist_dict_get_item(static_cast<plist_t>(node), key);
}

std::optional<std::string> stringMember(void* node, const char* key) {
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

}  // namespace lumaro::platform
