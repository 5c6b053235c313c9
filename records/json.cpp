#include "records/json.h"

#include "records/icon_facet.h"
#include "records/json_members.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <functional>
#include <istream>
#include <iterator>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <type_traits>
#include <unordered_map>

namespace lumaro {

using nlohmann::json;

namespace {

constexpr const char* kKindDesktopEntry = "desktopEntry";

}  // namespace

// ---------------------------------------------------------------------------------------------
// Writing

namespace {

json encodeIdentity(const FileIdentity& identity) {
    json object = json::object();
    object["birthNanos"] = identity.birthNanos;
    object["birthSeconds"] = identity.birthSeconds;
    object["device"] = identity.device;
    object["inode"] = identity.inode;
    object["type"] = identity.type;
    return object;
}

json encodeState(const IconState& state) {
    json object = json::object();
    for (const IconFacet* facet : iconFacets()) {
        facet->encode(state, object);
    }
    return object;
}

json encodeEntry(const BackupEntry& entry) {
    json object = json::object();
    object["applied"] = encodeState(entry.applied);
    object["identity"] = encodeIdentity(entry.identity);
    if (entry.isDesktopEntry()) {
        object["kind"] = kKindDesktopEntry;
    }
    object["name"] = entry.name;
    object["original"] = encodeState(entry.original);
    object["phase"] = entry.phase;
    return object;
}

std::string dumpStrict(const json& value, int indent) {
    try {
        return value.dump(indent, ' ', false, json::error_handler_t::strict);
    } catch (const json::exception&) {
        throw DecodingError("text is not valid UTF-8");
    }
}

}  // namespace

namespace {

// Every line after the first moved right by `spaces`, as the value nests inside a document.
std::string indented(const std::string& text, std::size_t spaces) {
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    const std::string pad(spaces, ' ');
    for (const char c : text) {
        out.push_back(c);
        if (c == '\n') {
            out += pad;
        }
    }
    return out;
}

// Readers ignore members they do not know, so a build that knows only the Mac form would restore
// just that part of a backup holding the Linux forms: those backups carry a schema it refuses.
bool hasDesktopForms(const BackupEntry& e) {
    return beyondFirstSchema(e.original) || beyondFirstSchema(e.applied) || e.isDesktopEntry();
}

std::int64_t schemaFor(const BackupManifest& manifest) {
    return std::any_of(manifest.entries.begin(), manifest.entries.end(), hasDesktopForms)
               ? kSchemaWithDesktopForms
               : 1;
}

std::string encodeEntryText(const BackupEntry& entry) {
    return indented(dumpStrict(encodeEntry(entry), 2), 4);
}

// The members after the entries, in name order, as the JSON library prints the whole object.
void appendFooter(const BackupManifest& manifest, std::int64_t schema, std::string& out) {
    out += ",\n  \"rootIdentity\": ";
    out += indented(dumpStrict(encodeIdentity(manifest.rootIdentity), 2), 2);
    out += ",\n  \"rootPath\": ";
    out += dumpStrict(json(manifest.rootPath), -1);
    out += ",\n  \"schema\": ";
    out += std::to_string(schema);
    out += "\n}\n";
}

std::string headOf(const BackupManifest& manifest) {
    return "{\n  \"createdAt\": " + dumpStrict(json(manifest.createdAt), -1) + ",\n  \"entries\": [";
}

// The end of the document after its last entry (of `desktop` with Linux forms).
std::string footerOf(const BackupManifest& manifest, std::size_t desktop) {
    const std::int64_t schema = manifest.schema != 1 ? manifest.schema
                                : desktop > 0        ? kSchemaWithDesktopForms
                                                     : 1;
    std::string footer = manifest.entries.empty() ? "]" : "\n  ]";
    appendFooter(manifest, schema, footer);
    return footer;
}

constexpr std::string_view kPhaseMember = "\n      \"phase\": ";
constexpr std::string_view kEntryEnd = "\n    }";

// Where the value of an entry's phase starts in its text, the last member as encodeEntryText lays
// an entry out; nothing when the text does not end so. The text from there on is the phase's
// value and the entry's end: phaseTail() gives them.
std::optional<std::size_t> phaseValueAt(std::string_view text) {
    const std::size_t at = text.rfind(kPhaseMember);
    if (at == std::string_view::npos || text.size() < at + kPhaseMember.size() + 2 + kEntryEnd.size() ||
        text.substr(text.size() - kEntryEnd.size()) != kEntryEnd) {
        return std::nullopt;
    }
    const std::string_view value =
        text.substr(at + kPhaseMember.size(), text.size() - kEntryEnd.size() - at - kPhaseMember.size());
    if (value.size() < 2 || value.front() != '"' || value.back() != '"' ||
        value.substr(1, value.size() - 2).find_first_of("\"\\") != std::string_view::npos) {
        return std::nullopt;
    }
    return at + kPhaseMember.size();
}

std::string phaseTail(const std::string& phase) {
    std::string out = dumpStrict(json(phase), -1);
    out += kEntryEnd;
    return out;
}

// The length of the JSON object that opens at `at`, or 0 when none closes within `text`. Exact for
// valid JSON; any other text gives some length within it, or 0.
std::size_t objectLength(std::string_view text, std::size_t at) {
    if (at >= text.size() || text[at] != '{') {
        return 0;
    }
    std::size_t depth = 0;
    for (std::size_t i = at; i < text.size(); ++i) {
        switch (text[i]) {
            case '"':
                // To the closing quote: one after an even run of backslashes (none escapes it).
                for (std::size_t slashes = 1; slashes % 2 != 0;) {
                    const void* quote = std::memchr(text.data() + i + 1, '"', text.size() - i - 1);
                    if (quote == nullptr) {
                        return 0;
                    }
                    i = static_cast<std::size_t>(static_cast<const char*>(quote) - text.data());
                    for (slashes = 0; text[i - 1 - slashes] == '\\'; ++slashes) {
                    }
                }
                break;
            case '{':
            case '[':
                ++depth;
                break;
            case '}':
            case ']':
                if (--depth == 0) {
                    return i + 1 - at;
                }
                break;
            default:
                break;
        }
    }
    return 0;
}

}  // namespace

std::string encodeManifest(const BackupManifest& manifest) {
    return ManifestEncoder().encode(manifest);
}

std::optional<std::size_t> countEncodedEntries(std::string_view document) {
    constexpr std::string_view kStart = "{\n  \"createdAt\": ";
    constexpr std::string_view kEntries = ",\n  \"entries\": [";
    const std::size_t open = document.find(kEntries);
    if (!document.starts_with(kStart) || open == std::string_view::npos ||
        document.find('\n', kStart.size()) < open) {
        return std::nullopt;
    }
    std::size_t at = open + kEntries.size();
    std::size_t count = 0;
    for (;; ++count) {
        const std::string_view separator = count == 0 ? "\n    " : ",\n    ";
        if (!document.substr(at).starts_with(separator)) {
            break;
        }
        const std::size_t length = objectLength(document, at + separator.size());
        if (length == 0) {
            return std::nullopt;
        }
        at += separator.size() + length;
    }
    if (!document.substr(at).starts_with(count == 0 ? "]" : "\n  ]")) {
        return std::nullopt;
    }
    return count;
}

bool ManifestEncoder::adopt(std::string text, const BackupManifest& manifest) {
    const std::string head = headOf(manifest);
    if (text.compare(0, head.size(), head) != 0) {
        return false;
    }
    std::vector<Slot> slots;
    slots.reserve(manifest.entries.size());
    std::size_t at = head.size();
    std::size_t desktop = 0;
    for (const BackupEntry& entry : manifest.entries) {
        const std::string_view separator = slots.empty() ? "\n    " : ",\n    ";
        if (text.compare(at, separator.size(), separator) != 0) {
            return false;
        }
        at += separator.size();
        const std::size_t length = objectLength(text, at);
        if (length == 0) {
            return false;
        }
        const bool forms = hasDesktopForms(entry);
        desktop += forms ? 1 : 0;
        slots.push_back({entry.name, at, length, forms, desktop});
        at += length;
    }
    if (text.compare(at, std::string::npos, footerOf(manifest, desktop)) != 0) {
        return false;
    }
    text_ = std::move(text);
    slots_ = std::move(slots);
    return true;
}

const std::string& ManifestEncoder::encode(const BackupManifest& manifest,
                                           const std::set<std::string>* changed,
                                           const std::set<std::string>* rephased) {
    const std::vector<BackupEntry>& entries = manifest.entries;
    const std::string head = headOf(manifest);
    // Entries before `first` keep their text where it stands.
    const bool reuse =
        changed != nullptr && text_.size() > head.size() && text_.compare(0, head.size(), head) == 0;
    const auto named = [](const std::set<std::string>* names, const std::string& name) {
        return names != nullptr && names->count(name) > 0;
    };
    std::size_t first = 0;
    while (reuse && first < slots_.size() && first < entries.size() &&
           slots_[first].name == entries[first].name && !named(changed, entries[first].name) &&
           !named(rephased, entries[first].name)) {
        ++first;
    }
    const std::size_t cut = first == 0 ? head.size() : slots_[first - 1].offset + slots_[first - 1].length;
    // The texts after `first` that may move, by name; each is taken once.
    std::unordered_map<std::string_view, const Slot*> movable;
    if (reuse) {
        for (std::size_t i = first; i < slots_.size(); ++i) {
            movable.emplace(slots_[i].name, &slots_[i]);
        }
    }
    // Afresh, the text is built in place: the old one is of no further use, and a second copy of a
    // large manifest would double what a save holds in memory.
    if (!reuse) {
        slots_.clear();
        std::string().swap(text_);
        // With room for the entries' phases to grow in place: past the room, the text is copied.
        text_.reserve(std::max(expected_ + expected_ / 8, head.size()));
        text_ = head;
    }
    // The entries from `first` on: each the start of an old text that moves (`keep` bytes of
    // `from`: all of it, or up to its phase's value), followed by a new text. New texts are made
    // before anything changes, so that a failure leaves the cached text as it was.
    struct Piece {
        const Slot* from = nullptr;
        std::size_t keep = 0;
        std::string text;
    };
    std::vector<Piece> pieces;
    std::vector<Slot> added;
    added.reserve(entries.size() - first);
    std::size_t desktop = first == 0 ? 0 : slots_[first - 1].desktopUpTo;
    std::size_t end = cut;
    bool ordered = true;  // the old texts keep their order: they can move within the text
    const Slot* last = nullptr;
    const auto moves = [&](const Slot& slot, std::size_t keep, std::string text) {
        pieces.push_back({&slot, keep, std::move(text)});
        ordered = ordered && (last == nullptr || last->offset < slot.offset);
        last = &slot;
    };
    for (std::size_t i = first; i < entries.size(); ++i) {
        const BackupEntry& entry = entries[i];
        end += i == 0 ? 5 : 6;  // "\n    " or ",\n    "
        const auto found =
            changed != nullptr && changed->count(entry.name) == 0 ? movable.find(entry.name) : movable.end();
        bool forms = false;
        std::size_t length = 0;
        if (!reuse) {
            try {
                text_ += i == 0 ? "\n    " : ",\n    ";
                text_ += encodeEntryText(entry);
            } catch (...) {
                text_.clear();  // the next call starts afresh
                throw;
            }
            length = text_.size() - end;
            forms = hasDesktopForms(entry);
        } else if (found != movable.end()) {
            // Its old text, with the new phase when only that changed, or afresh when that text is
            // not laid out as ours.
            const Slot& slot = *found->second;
            const std::optional<std::size_t> phaseAt =
                named(rephased, entry.name)
                    ? phaseValueAt(std::string_view(text_).substr(slot.offset, slot.length))
                    : std::optional<std::size_t>(slot.length);
            if (phaseAt) {
                moves(slot, *phaseAt, *phaseAt < slot.length ? phaseTail(entry.phase) : std::string());
                length = *phaseAt + pieces.back().text.size();
                forms = slot.desktopForms;
            } else {
                pieces.push_back({nullptr, 0, encodeEntryText(entry)});
                length = pieces.back().text.size();
                forms = hasDesktopForms(entry);
            }
            movable.erase(found);
        } else {
            pieces.push_back({nullptr, 0, encodeEntryText(entry)});
            length = pieces.back().text.size();
            forms = hasDesktopForms(entry);
        }
        desktop += forms ? 1 : 0;
        added.push_back({entry.name, end, length, forms, desktop});
        end += length;
    }
    const std::string footer = footerOf(manifest, desktop);
    if (reuse && ordered) {
        // In place: an old text that moves left can only land on earlier old texts that move left
        // too, one that moves right only on later ones that move right; so the first go in
        // order, the others in reverse, and the new texts and separators fill the gaps after.
        text_.resize(std::max(text_.size(), end));
        for (std::size_t k = 0; k < pieces.size(); ++k) {
            const Slot& slot = added[k];
            if (pieces[k].from != nullptr && slot.offset <= pieces[k].from->offset) {
                std::memmove(text_.data() + slot.offset, text_.data() + pieces[k].from->offset,
                             pieces[k].keep);
            }
        }
        for (std::size_t k = pieces.size(); k-- > 0;) {
            const Slot& slot = added[k];
            if (pieces[k].from != nullptr && slot.offset > pieces[k].from->offset) {
                std::memmove(text_.data() + slot.offset, text_.data() + pieces[k].from->offset,
                             pieces[k].keep);
            }
        }
        for (std::size_t k = 0; k < pieces.size(); ++k) {
            const Slot& slot = added[k];
            const std::string_view separator = first + k == 0 ? "\n    " : ",\n    ";
            separator.copy(text_.data() + slot.offset - separator.size(), separator.size());
            pieces[k].text.copy(text_.data() + slot.offset + pieces[k].keep, pieces[k].text.size());
        }
        text_.resize(end);
    } else if (reuse) {
        std::string tail;
        tail.reserve(end - cut);
        for (std::size_t k = 0; k < pieces.size(); ++k) {
            tail += first + k == 0 ? "\n    " : ",\n    ";
            if (pieces[k].from != nullptr) {
                tail.append(text_, pieces[k].from->offset, pieces[k].keep);
            }
            tail += pieces[k].text;
        }
        text_.resize(cut);
        text_ += tail;
    }
    slots_.resize(first);
    std::move(added.begin(), added.end(), std::back_inserter(slots_));
    text_ += footer;
    return text_;
}

std::string encodeScope(const PendingScope& scope) {
    json object = json::object();
    object["includesApplications"] = scope.includesApplications;
    object["rootPath"] = scope.rootPath;
    return dumpStrict(object, -1);
}

// ---------------------------------------------------------------------------------------------
// Reading

namespace {

// Deeper documents than this are not records; refusing them keeps hostile input cheap.
constexpr int kMaxDepth = 32;

json parseDocument(std::string_view document) {
    try {
        return json::parse(document.begin(), document.end(), [](int depth, json::parse_event_t, json&) {
            if (depth > kMaxDepth) {
                throw DecodingError("nesting too deep");
            }
            return true;
        });
    } catch (const json::exception& error) {
        throw DecodingError::notJson(error.what());
    }
}

}  // namespace

namespace json_members {

std::string memberPath(const std::string& parent, const char* name) {
    return parent.empty() ? std::string(name) : parent + "." + name;
}

const json& require(const json& object, const std::string& parent, const char* name) {
    const auto it = object.find(name);
    if (it == object.end()) {
        throw DecodingError(memberPath(parent, name) + ": missing");
    }
    return *it;
}

// The member, or nullptr when it is missing or null.
const json* optionalMember(const json& object, const char* name) {
    const auto it = object.find(name);
    if (it == object.end() || it->is_null()) {
        return nullptr;
    }
    return &*it;
}

const json& requireObject(const json& value, const std::string& path) {
    if (!value.is_object()) {
        throw DecodingError(path + ": expected an object");
    }
    return value;
}

std::string readString(const json& value, const std::string& path) {
    if (!value.is_string()) {
        throw DecodingError(path + ": expected a string");
    }
    return value.get<std::string>();
}

Bytes readBytes(const json& value, const std::string& path) {
    if (!value.is_string()) {
        throw DecodingError(path + ": expected a Base64 string");
    }
    Bytes bytes;
    if (!decodeBase64(value.get_ref<const std::string&>(), bytes)) {
        throw DecodingError(path + ": malformed Base64");
    }
    return bytes;
}

}  // namespace json_members

namespace {

using namespace json_members;

FileIdentity decodeIdentity(const json& value, const std::string& path) {
    requireObject(value, path);
    FileIdentity identity;
    identity.birthNanos = readInteger<std::int64_t>(require(value, path, "birthNanos"), path + ".birthNanos");
    identity.birthSeconds =
        readInteger<std::int64_t>(require(value, path, "birthSeconds"), path + ".birthSeconds");
    identity.device = readInteger<std::int32_t>(require(value, path, "device"), path + ".device");
    identity.inode = readInteger<std::uint64_t>(require(value, path, "inode"), path + ".inode");
    identity.type = readInteger<std::uint16_t>(require(value, path, "type"), path + ".type");
    return identity;
}

IconState decodeState(const json& value, const std::string& path) {
    requireObject(value, path);
    IconState state;
    for (const IconFacet* facet : iconFacets()) {
        facet->decode(value, path, state);
    }
    return state;
}

BackupEntry decodeEntry(const json& value, const std::string& path) {
    requireObject(value, path);
    BackupEntry entry;
    entry.applied = decodeState(require(value, path, "applied"), path + ".applied");
    entry.identity = decodeIdentity(require(value, path, "identity"), path + ".identity");
    if (const json* kind = optionalMember(value, "kind")) {
        if (readString(*kind, path + ".kind") != kKindDesktopEntry) {
            throw DecodingError(path + ".kind");
        }
        entry.kind = ItemKind::desktopEntry;
    }
    entry.name = readString(require(value, path, "name"), path + ".name");
    entry.original = decodeState(require(value, path, "original"), path + ".original");
    entry.phase = readString(require(value, path, "phase"), path + ".phase");
    return entry;
}

}  // namespace

namespace {

using Parse = std::function<json(const json::parser_callback_t&)>;

BackupManifest decodeManifestWith(const Parse& parse) {
    // Each element of the root's "entries" is decoded as soon as it is parsed and then dropped:
    // the whole document never stands in memory as a tree. The first entry that fails keeps its
    // error until the checks that come before the entries have been made, so the errors are those
    // of decoding the whole tree in order.
    BackupManifest manifest;
    std::exception_ptr entryError;
    std::string rootKey;  // the last member name of the root object
    bool inEntries = false;
    IconState::PartPool parts;
    const auto element = [&](json& value) {
        if (!entryError) {
            try {
                const std::size_t i = manifest.entries.size();
                BackupEntry& entry =
                    manifest.entries.emplace_back(decodeEntry(value, "entries[" + std::to_string(i) + "]"));
                parts.share(entry.original);
                parts.share(entry.applied);
            } catch (...) {
                entryError = std::current_exception();
            }
        }
        return false;
    };
    json root;
    try {
        root = parse([&](int depth, json::parse_event_t event, json& value) {
            if (depth > kMaxDepth) {
                throw DecodingError("nesting too deep");
            }
            switch (event) {
                case json::parse_event_t::key:
                    if (depth == 1) {
                        rootKey = value.get<std::string>();
                        if (rootKey == "entries") {
                            // A later member of the same name replaces an earlier one.
                            manifest.entries.clear();
                            entryError = nullptr;
                        }
                    }
                    return true;
                case json::parse_event_t::array_start:
                    inEntries = inEntries || (depth == 1 && rootKey == "entries");
                    return true;
                case json::parse_event_t::array_end:
                    if (depth == 1) {
                        inEntries = false;
                    }
                    return depth == 2 && inEntries ? element(value) : true;
                case json::parse_event_t::object_end:
                case json::parse_event_t::value:
                    return depth == 2 && inEntries ? element(value) : true;
                default:
                    return true;
            }
        });
    } catch (const json::exception& error) {
        throw DecodingError::notJson(error.what());
    }
    requireObject(root, "document");
    const json& createdAt = require(root, "", "createdAt");
    if (!createdAt.is_number()) {
        throw DecodingError("createdAt: expected a number");
    }
    manifest.createdAt = createdAt.get<double>();
    const json& entries = require(root, "", "entries");
    if (!entries.is_array()) {
        throw DecodingError("entries: expected an array");
    }
    if (entryError) {
        std::rethrow_exception(entryError);
    }
    manifest.rootIdentity = decodeIdentity(require(root, "", "rootIdentity"), "rootIdentity");
    manifest.rootPath = readString(require(root, "", "rootPath"), "rootPath");
    manifest.schema = readInteger<std::int64_t>(require(root, "", "schema"), "schema");
    if (manifest.schema == 1) {
        manifest.schema = schemaFor(manifest);
    }
    return manifest;
}

}  // namespace

BackupManifest decodeManifest(std::string_view document) {
    return decodeManifestWith([&](const json::parser_callback_t& callback) {
        return json::parse(document.begin(), document.end(), callback);
    });
}

BackupManifest decodeManifestFrom(std::istream& document) {
    return decodeManifestWith(
        [&](const json::parser_callback_t& callback) { return json::parse(document, callback); });
}

PendingScope decodeScope(std::string_view document) {
    const json root = parseDocument(document);
    requireObject(root, "document");
    PendingScope scope;
    const json& include = require(root, "", "includesApplications");
    if (!include.is_boolean()) {
        throw DecodingError("includesApplications: expected a boolean");
    }
    scope.includesApplications = include.get<bool>();
    scope.rootPath = readString(require(root, "", "rootPath"), "rootPath");
    return scope;
}

// ---------------------------------------------------------------------------------------------
// Acceptance

namespace {

bool stateWithinBounds(const IconState& state) {
    return std::all_of(iconFacets().begin(), iconFacets().end(),
                       [&](const IconFacet* facet) { return facet->withinBounds(state); });
}

bool validName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

}  // namespace

void checkManifest(const BackupManifest& manifest) {
    if (manifest.schema != 1 && manifest.schema != kSchemaWithDesktopForms) {
        throw SkinError(kUnsupportedManifestMessage);
    }
    const auto invalid = [] { return SkinError(kInvalidManifestMessage); };
    if (manifest.rootPath.empty() || manifest.rootPath.front() != '/' ||
        manifest.rootPath.find('\0') != std::string::npos) {
        throw invalid();
    }
    if (manifest.rootIdentity.type != kTypeDirectory) {
        throw invalid();
    }
    std::set<std::string_view> names;
    for (const BackupEntry& entry : manifest.entries) {
        names.insert(entry.name);
    }
    if (names.size() != manifest.entries.size()) {
        throw invalid();
    }
    for (const BackupEntry& entry : manifest.entries) {
        if (!validName(entry.name)) {
            throw invalid();
        }
        if (entry.identity.type != kTypeDirectory && entry.identity.type != kTypeRegular) {
            throw invalid();
        }
        // A desktop entry's item is the root itself, and its name a desktop-file ID.
        if (entry.isDesktopEntry() &&
            (entry.identity != manifest.rootIdentity || !entry.name.ends_with(".desktop"))) {
            throw invalid();
        }
        if (!stateWithinBounds(entry.original) || !stateWithinBounds(entry.applied)) {
            throw invalid();
        }
        if (entry.phase != kPhasePrepared && entry.phase != kPhaseApplied && entry.phase != kPhaseRestoring &&
            entry.phase != kPhaseClearing) {
            throw invalid();
        }
    }
}

}  // namespace lumaro
