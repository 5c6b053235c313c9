#include "platform/key_file.h"

#include <algorithm>
#include <cstdlib>

#include "platform/text.h"

namespace lumaro::platform {

namespace {

constexpr std::string_view kDesktopEntry = "Desktop Entry";

bool isBlank(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c == ' ' || c == '\t'; });
}

bool hasControl(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; });
}

std::string_view trimRight(std::string_view text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

// The key of a "key=value" line, or nothing when the line is not one.
std::optional<std::string> keyOfLine(std::string_view text) {
    const std::size_t equals = text.find('=');
    if (equals == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view key = trimRight(text.substr(0, equals));
    if (key.empty() || hasControl(key) || key.front() == ' ' || key.front() == '[') {
        return std::nullopt;
    }
    const std::size_t open = key.find('[');
    if (open != std::string_view::npos &&
        (key.back() != ']' || key.find('[', open + 1) != std::string_view::npos ||
         key.find(']') != key.size() - 1 || open + 2 > key.size() - 1)) {
        return std::nullopt;
    }
    if (open == std::string_view::npos && key.find(']') != std::string_view::npos) {
        return std::nullopt;
    }
    return std::string(key);
}

std::string_view rawOfLine(std::string_view text) {
    std::string_view value = text.substr(text.find('=') + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) {
        value.remove_prefix(1);
    }
    return value;
}

}  // namespace

std::string escapeKeyFileValue(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            case ' ':
                out += i == 0 ? "\\s" : " ";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string unescapeKeyFileValue(std::string_view raw) {
    std::string out;
    out.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '\\' || i + 1 == raw.size()) {
            out += raw[i];
            continue;
        }
        switch (raw[++i]) {
            case 's':
                out += ' ';
                break;
            case 'n':
                out += '\n';
                break;
            case 't':
                out += '\t';
                break;
            case 'r':
                out += '\r';
                break;
            case '\\':
                out += '\\';
                break;
            default:  // not a string escape: kept as written
                out += '\\';
                out += raw[i];
        }
    }
    return out;
}

std::optional<KeyFile> KeyFile::parse(std::string_view bytes, std::string* problem) {
    auto fail = [&](std::string reason) -> std::optional<KeyFile> {
        if (problem != nullptr) {
            *problem = std::move(reason);
        }
        return std::nullopt;
    };
    if (bytes.size() > kMaxValueSize) {
        return fail("file too large");
    }
    if (!isValidUtf8(bytes)) {
        return fail("invalid UTF-8");
    }
    KeyFile file;
    file.groups_.push_back({});
    std::size_t start = 0;
    std::size_t number = 0;
    while (start < bytes.size()) {
        ++number;
        std::size_t end = bytes.find('\n', start);
        Line line;
        if (end == std::string_view::npos) {
            end = bytes.size();
        } else {
            line.ending = "\n";
        }
        std::string_view text = bytes.substr(start, end - start);
        if (!line.ending.empty() && !text.empty() && text.back() == '\r') {
            text.remove_suffix(1);
            line.ending = "\r\n";
        }
        line.text = std::string(text);
        start = end + 1;
        const std::string where = "line " + std::to_string(number) + ": ";
        if (isBlank(text) || text.front() == '#') {
            file.groups_.back().lines.push_back(std::move(line));
            continue;
        }
        if (text.front() == '[') {
            const std::string_view name = trimRight(text);
            if (name.size() < 3 || name.back() != ']' ||
                name.substr(1, name.size() - 2).find_first_of("[]") != std::string_view::npos ||
                hasControl(name)) {
                return fail(where + "malformed group header");
            }
            const std::string groupName(name.substr(1, name.size() - 2));
            if (file.findGroup(groupName) != nullptr) {
                return fail(where + "group [" + groupName + "] appears twice");
            }
            file.groups_.push_back({groupName, {}});
            file.groups_.back().lines.push_back(std::move(line));
            continue;
        }
        auto key = keyOfLine(text);
        if (!key) {
            return fail(where + "neither a group, a comment nor key=value");
        }
        if (file.groups_.size() == 1) {
            return fail(where + "key before the first group");
        }
        line.key = std::move(*key);
        file.groups_.back().lines.push_back(std::move(line));
    }
    return file;
}

std::string KeyFile::serialize() const {
    std::string out;
    for (const Group& group : groups_) {
        for (const Line& line : group.lines) {
            out += line.text;
            out += line.ending;
        }
    }
    return out;
}

const KeyFile::Group* KeyFile::findGroup(std::string_view group) const {
    for (std::size_t i = 1; i < groups_.size(); ++i) {
        if (groups_[i].name == group) {
            return &groups_[i];
        }
    }
    return nullptr;
}

const KeyFile::Line* KeyFile::findKey(std::string_view group, std::string_view key) const {
    const Group* found = findGroup(group);
    if (found == nullptr) {
        return nullptr;
    }
    // A key written twice: the later line wins, as GLib reads it.
    for (auto it = found->lines.rbegin(); it != found->lines.rend(); ++it) {
        if (it->key == key) {
            return &*it;
        }
    }
    return nullptr;
}

bool KeyFile::hasGroup(std::string_view group) const {
    return findGroup(group) != nullptr;
}

std::optional<std::string> KeyFile::rawValue(std::string_view group, std::string_view key) const {
    const Line* line = findKey(group, key);
    if (line == nullptr) {
        return std::nullopt;
    }
    return std::string(rawOfLine(line->text));
}

std::optional<std::string> KeyFile::value(std::string_view group, std::string_view key) const {
    auto raw = rawValue(group, key);
    if (!raw) {
        return std::nullopt;
    }
    return unescapeKeyFileValue(*raw);
}

std::optional<std::string> KeyFile::localizedValue(std::string_view group, std::string_view key,
                                                   std::string_view locale) const {
    // lang_COUNTRY.ENCODING@MODIFIER; the encoding never takes part in matching.
    std::string_view rest = locale;
    std::string modifier;
    if (const std::size_t at = rest.find('@'); at != std::string_view::npos) {
        modifier = std::string(rest.substr(at));
        rest = rest.substr(0, at);
    }
    if (const std::size_t dot = rest.find('.'); dot != std::string_view::npos) {
        rest = rest.substr(0, dot);
    }
    std::string lang(rest);
    std::string country;
    if (const std::size_t underscore = rest.find('_'); underscore != std::string_view::npos) {
        lang = std::string(rest.substr(0, underscore));
        country = std::string(rest.substr(underscore));
    }
    std::vector<std::string> candidates;
    if (!lang.empty() && lang != "C" && lang != "POSIX") {
        if (!country.empty() && !modifier.empty()) {
            candidates.push_back(lang + country + modifier);
        }
        if (!country.empty()) {
            candidates.push_back(lang + country);
        }
        if (!modifier.empty()) {
            candidates.push_back(lang + modifier);
        }
        candidates.push_back(lang);
    }
    for (const std::string& candidate : candidates) {
        if (auto found = value(group, std::string(key) + "[" + candidate + "]")) {
            return found;
        }
    }
    return value(group, key);
}

bool KeyFile::isTrue(std::string_view group, std::string_view key) const {
    const auto raw = rawValue(group, key);
    return raw && (trimRight(*raw) == "true" || trimRight(*raw) == "1");
}

std::string KeyFile::newline() const {
    for (const Group& group : groups_) {
        for (const Line& line : group.lines) {
            if (!line.ending.empty()) {
                return line.ending;
            }
        }
    }
    return "\n";
}

void KeyFile::setValue(std::string_view group, std::string_view key, std::string_view value) {
    const std::string text = std::string(key) + "=" + escapeKeyFileValue(value);
    const std::string eol = newline();
    Group* target = const_cast<Group*>(findGroup(group));
    if (target == nullptr) {
        Line* last = nullptr;
        for (Group& g : groups_) {
            if (!g.lines.empty()) {
                last = &g.lines.back();
            }
        }
        if (last != nullptr && last->ending.empty()) {
            last->ending = eol;
        }
        groups_.push_back({std::string(group), {}});
        target = &groups_.back();
        if (last != nullptr && !isBlank(last->text)) {
            target->lines.push_back({"", eol, ""});
        }
        target->lines.push_back({"[" + std::string(group) + "]", eol, ""});
        target->lines.push_back({text, eol, std::string(key)});
        return;
    }
    if (const Line* found = findKey(group, key); found != nullptr) {
        const_cast<Line*>(found)->text = text;
        return;
    }
    std::size_t after = 0;  // the header, or the group's last key line
    for (std::size_t i = 0; i < target->lines.size(); ++i) {
        if (!target->lines[i].key.empty()) {
            after = i;
        }
    }
    Line added{text, eol, std::string(key)};
    if (target->lines[after].ending.empty()) {  // the file's last line had no line ending
        target->lines[after].ending = eol;
        added.ending.clear();
    }
    target->lines.insert(target->lines.begin() + static_cast<std::ptrdiff_t>(after) + 1, std::move(added));
}

void KeyFile::removeLocalizedKeys(std::string_view group, std::string_view key) {
    Group* target = const_cast<Group*>(findGroup(group));
    if (target == nullptr) {
        return;
    }
    const std::string prefix = std::string(key) + "[";
    auto& lines = target->lines;
    for (std::size_t i = lines.size(); i-- > 0;) {
        if (lines[i].key.starts_with(prefix)) {
            lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
}

std::string messageLocale() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        if (const char* value = std::getenv(name); value != nullptr && *value != '\0') {
            return value;
        }
    }
    return "C";
}

std::optional<std::string> skinnedDirectoryFile(std::string_view original, const std::string& iconPath,
                                                std::string* problem) {
    auto file = KeyFile::parse(original, problem);
    if (!file) {
        return std::nullopt;
    }
    file->setValue(kDesktopEntry, "Icon", iconPath);
    return file->serialize();
}

std::optional<std::string> skinnedDesktopEntry(std::string_view original, const std::string& iconPath,
                                               std::string* problem) {
    auto file = KeyFile::parse(original, problem);
    if (!file) {
        return std::nullopt;
    }
    file->setValue(kDesktopEntry, "Icon", iconPath);
    file->removeLocalizedKeys(kDesktopEntry, "Icon");
    return file->serialize();
}

}  // namespace lumaro::platform
