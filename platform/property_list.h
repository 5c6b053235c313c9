// Property lists (binary or XML), read with libplist.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/file_ops.h"

namespace lumaro::platform {

struct PropertyListDeleter {
    void operator()(void* node) const;
};
// Owns a parsed property list; nodes inside it are borrowed `void*` handles.
using PropertyList = std::unique_ptr<void, PropertyListDeleter>;

// The parsed list, or null when the bytes are not a property list.
PropertyList parsePropertyList(const Bytes& data);

// The member `key` of a dictionary node when it is a dictionary; null otherwise.
void* dictionaryMember(void* node, const char* key);
bool isDictionary(void* node);
// The string value of a dictionary's member, or nothing when missing or not a string.
std::optional<std::string> stringMember(void* node, const char* key);

}  // namespace lumaro::platform
