// A byte-preserving editor of the key files that desktop entries and a folder's ".directory"
// are written in: groups of "key=value" lines. Every byte that is not changed on purpose stays
// (comments, blank lines, other groups, key order, line endings, a missing final newline).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/bounds.h"

namespace lumaro::platform {

class KeyFile {
  public:
    // Parses `bytes`; nothing when they are not a well-formed key file, with the reason in
    // `problem`: too large, invalid UTF-8, a line that is neither a group header, a comment,
    // blank nor key=value, a key before any group, a group twice.
    static std::optional<KeyFile> parse(std::string_view bytes, std::string* problem = nullptr);

    // The file's bytes: exactly the parsed input when nothing was changed.
    std::string serialize() const;

    bool hasGroup(std::string_view group) const;
    // The value as written (escapes kept), or nothing when the key is absent.
    std::optional<std::string> rawValue(std::string_view group, std::string_view key) const;
    // The value with the string escapes (\s \n \t \r \\) undone.
    std::optional<std::string> value(std::string_view group, std::string_view key) const;
    // The value of key[locale] for the best match of `locale` (lang_COUNTRY.ENCODING@MODIFIER):
    // lang_COUNTRY@MODIFIER, lang_COUNTRY, lang@MODIFIER, lang, then the plain key.
    std::optional<std::string> localizedValue(std::string_view group, std::string_view key,
                                              std::string_view locale) const;
    // Whether the value is the boolean true.
    bool isTrue(std::string_view group, std::string_view key) const;

    // Sets a string value (escaped here). A present key has only its line replaced; a missing
    // key is added after the group's last key; a missing group is added at the end.
    void setValue(std::string_view group, std::string_view key, std::string_view value);
    // Removes every localized variant key[...] of `key` in the group; the plain key stays.
    void removeLocalizedKeys(std::string_view group, std::string_view key);

  private:
    struct Line {
        std::string text;    // without the line ending
        std::string ending;  // "\n", "\r\n" or "" for a last line without one
        std::string key;     // for a key line: the key, locale included; empty otherwise
    };
    struct Group {
        std::string name;         // empty for the lines before the first group
        std::vector<Line> lines;  // the header line first (for a named group)
    };
    const Group* findGroup(std::string_view group) const;
    const Line* findKey(std::string_view group, std::string_view key) const;
    std::string newline() const;

    std::vector<Group> groups_;
};

// Escapes a string value: "\\" "\n" "\t" "\r" and a leading space as "\s".
std::string escapeKeyFileValue(std::string_view value);
std::string unescapeKeyFileValue(std::string_view raw);

// The user's message locale: LC_ALL, else LC_MESSAGES, else LANG (first non-empty); "C" else.
std::string messageLocale();

// A folder's ".directory" with only [Desktop Entry] Icon= set to `iconPath` (the group added
// when missing). `original` is empty for a folder without one. Nothing when it is malformed.
std::optional<std::string> skinnedDirectoryFile(std::string_view original, const std::string& iconPath,
                                                std::string* problem = nullptr);

// A desktop entry with [Desktop Entry] Icon= set to `iconPath` and no Icon[...] keys; every
// other byte kept. Nothing when the entry is malformed.
std::optional<std::string> skinnedDesktopEntry(std::string_view original, const std::string& iconPath,
                                               std::string* problem = nullptr);

}  // namespace lumaro::platform
