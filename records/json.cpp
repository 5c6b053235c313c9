#include "records/json.h"

#include "records/icon_facet.h"
#include "records/json_members.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <iterator>
#include <limits>
#include <nlohmann/json.hpp>
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

}  // namespace

std::string encodeManifest(const BackupManifest& manifest) {
    return ManifestEncoder().encode(manifest);
}

const std::string& ManifestEncoder::encode(const BackupManifest& manifest,
                                           const std::set<std::string>* changed) {
    const std::vector<BackupEntry>& entries = manifest.entries;
    const std::string head =
        "{\n  \"createdAt\": " + dumpStrict(json(manifest.createdAt), -1) + ",\n  \"entries\": [";
    // Entries before `first` keep their text where it stands.
    const bool reuse =
        changed != nullptr && text_.size() > head.size() && text_.compare(0, head.size(), head) == 0;
    std::size_t first = 0;
    while (reuse && first < slots_.size() && first < entries.size() &&
           slots_[first].name == entries[first].name && changed->count(entries[first].name) == 0) {
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
    std::size_t desktop = first == 0 ? 0 : slots_[first - 1].desktopUpTo;
    std::string tail;
    std::vector<Slot> added;
    added.reserve(entries.size() - first);
    for (std::size_t i = first; i < entries.size(); ++i) {
        const BackupEntry& entry = entries[i];
        tail += i == 0 ? "\n    " : ",\n    ";
        const std::size_t offset = cut + tail.size();
        const auto found =
            changed != nullptr && changed->count(entry.name) == 0 ? movable.find(entry.name) : movable.end();
        bool forms = false;
        if (found != movable.end()) {
            tail.append(text_, found->second->offset, found->second->length);
            forms = found->second->desktopForms;
            movable.erase(found);
        } else {
            tail += encodeEntryText(entry);
            forms = hasDesktopForms(entry);
        }
        desktop += forms ? 1 : 0;
        added.push_back({entry.name, offset, cut + tail.size() - offset, forms, desktop});
    }
    // Nothing above threw: the new text replaces the old from `cut` on.
    if (reuse) {
        text_.resize(cut);
    } else {
        text_ = head;
    }
    text_ += tail;
    slots_.resize(first);
    std::move(added.begin(), added.end(), std::back_inserter(slots_));
    text_ += entries.empty() ? "]" : "\n  ]";
    const std::int64_t schema = manifest.schema != 1 ? manifest.schema
                                : desktop > 0        ? kSchemaWithDesktopForms
                                                     : 1;
    appendFooter(manifest, schema, text_);
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

BackupManifest decodeManifest(std::string_view document) {
    const json root = parseDocument(document);
    requireObject(root, "document");
    BackupManifest manifest;
    const json& createdAt = require(root, "", "createdAt");
    if (!createdAt.is_number()) {
        throw DecodingError("createdAt: expected a number");
    }
    manifest.createdAt = createdAt.get<double>();
    const json& entries = require(root, "", "entries");
    if (!entries.is_array()) {
        throw DecodingError("entries: expected an array");
    }
    manifest.entries.reserve(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        manifest.entries.push_back(decodeEntry(entries[i], "entries[" + std::to_string(i) + "]"));
    }
    manifest.rootIdentity = decodeIdentity(require(root, "", "rootIdentity"), "rootIdentity");
    manifest.rootPath = readString(require(root, "", "rootPath"), "rootPath");
    manifest.schema = readInteger<std::int64_t>(require(root, "", "schema"), "schema");
    if (manifest.schema == 1) {
        manifest.schema = schemaFor(manifest);
    }
    return manifest;
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
