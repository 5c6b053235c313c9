// The JSON form of the backup records, the acceptance check of manifests and report merging.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <functional>
#include <limits>
#include <nlohmann/json.hpp>
#include <numeric>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "records/errors.h"
#include "records/json.h"
#include "records/records.h"

namespace lumaro {
namespace {

using nlohmann::json;
using nlohmann::ordered_json;

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes pattern(std::size_t size, unsigned seed) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>((seed + i * 37u) & 0xffu);
    }
    return bytes;
}

// A manifest that uses every member, an absent and a present-but-empty optional, and the
// extremes of the integer fields.
BackupManifest sampleManifest() {
    BackupManifest m;
    m.schema = 1;
    m.rootPath = "/home/anna/Schreibtisch";
    // Inode 2^53 + 1 is not representable as a double.
    m.rootIdentity = {.device = std::numeric_limits<std::int32_t>::min(), .inode = 9007199254740993ull,
                      .birthSeconds = std::numeric_limits<std::int64_t>::max(), .birthNanos = 999999999,
                      .type = kTypeDirectory};
    m.createdAt = 786543210.123456;

    BackupEntry file;
    file.name = "Résumé.pdf";
    file.identity = {.device = -1, .inode = std::numeric_limits<std::uint64_t>::max(),
                     .birthSeconds = std::numeric_limits<std::int64_t>::min(), .birthNanos = 1,
                     .type = kTypeRegular};
    file.applied.finder = pattern(32, 1);
    file.applied.fork = pattern(300, 2);
    file.phase = kPhaseApplied;

    BackupEntry folder;
    folder.name = "Fotos";
    folder.identity = {.device = 2049, .inode = 42, .birthSeconds = 1700000000, .birthNanos = 5,
                       .type = kTypeDirectory};
    folder.original.finder = pattern(32, 3);
    folder.original.iconFile = IconFile{.contents = {}, .attributes = {}, .mode = 0};
    folder.applied.fork = Bytes{};  // present but empty: must stay present
    folder.applied.iconFile = IconFile{.contents = pattern(256, 0),
                                       .attributes = {{"com.apple.FinderInfo", pattern(32, 4)},
                                                      {"com.apple.ResourceFork", pattern(1000, 5)},
                                                      {"x", Bytes{}}},
                                       .mode = 0755};
    folder.phase = kPhaseRestoring;

    m.entries = {file, folder};
    return m;
}

// The raw token following `"key"` and its colon in a JSON text.
std::string rawValue(const std::string& text, const std::string& key) {
    std::size_t at = text.find('"' + key + '"');
    at = text.find(':', at) + 1;
    while (text[at] == ' ') {
        ++at;
    }
    const std::size_t end = text.find_first_of(",\n}", at);
    return text.substr(at, end - at);
}

// Checks, in a document parsed with its member order kept, that every object's members are sorted.
void expectSortedKeys(const ordered_json& value) {
    if (!value.is_structured()) {
        return;
    }
    std::vector<std::string> keys;
    for (const auto& [key, member] : value.items()) {
        keys.push_back(key);
        expectSortedKeys(member);
    }
    EXPECT_TRUE(value.is_array() || std::is_sorted(keys.begin(), keys.end())) << value.dump().substr(0, 200);
}

std::set<std::string> keysOf(const json& object) {
    std::set<std::string> keys;
    for (const auto& [key, member] : object.items()) {
        keys.insert(key);
    }
    return keys;
}

// `document` with the member at `pointer` removed (raw null) or replaced by the raw JSON text.
std::string withMember(const json& document, const std::string& pointer, const char* raw) {
    json copy = document;
    const json::json_pointer where(pointer);
    if (raw == nullptr) {
        copy.at(where.parent_pointer()).erase(where.back());
        return copy.dump();
    }
    copy[where] = "@RAW@";
    std::string text = copy.dump();
    const std::size_t at = text.find("\"@RAW@\"");
    return text.replace(at, 7, raw);
}

TEST(recordsJson, ManifestRoundTripsEveryFieldExactly) {
    BackupManifest m = sampleManifest();
    EXPECT_EQ(decodeManifest(encodeManifest(m)), m);

    m.entries.clear();
    for (const double createdAt : {786543210.123456, 0.1, 1.0 / 3.0, -12345.678901234, 1e-9, 4.5e15, 0.0}) {
        m.createdAt = createdAt;
        EXPECT_EQ(decodeManifest(encodeManifest(m)).createdAt, createdAt);
    }
    m.createdAt = 12;
    EXPECT_EQ(rawValue(encodeManifest(m), "createdAt"), "12.0");

    // Text that is not UTF-8 cannot be stored.
    m.rootPath = "/home/\xC0\xAF";
    EXPECT_THROW(encodeManifest(m), DecodingError);
    m = sampleManifest();
    m.entries[1].name = "Fo\xFFos";
    EXPECT_THROW(encodeManifest(m), DecodingError);
    EXPECT_THROW(encodeScope(PendingScope{"/a/\xED\xA0\x80", false}), DecodingError);
}

TEST(recordsJson, ManifestTextIsPrettySortedAndWithoutNulls) {
    const std::string text = encodeManifest(sampleManifest());
    expectSortedKeys(ordered_json::parse(text));
    EXPECT_EQ(text.find("null"), std::string::npos);

    // One member per line.
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const std::size_t colon = line.find("\":");
        EXPECT_TRUE(colon == std::string::npos || line.find("\":", colon + 2) == std::string::npos) << line;
    }
    EXPECT_GT(std::count(text.begin(), text.end(), '\n'), 40);
    const json doc = json::parse(text);

    using Keys = std::set<std::string>;
    EXPECT_EQ(keysOf(doc), (Keys{"createdAt", "entries", "rootIdentity", "rootPath", "schema"}));
    EXPECT_EQ(keysOf(doc["rootIdentity"]), (Keys{"birthNanos", "birthSeconds", "device", "inode", "type"}));
    const json& file = doc["entries"][0];
    const json& folder = doc["entries"][1];
    EXPECT_EQ(keysOf(file), (Keys{"applied", "identity", "name", "original", "phase"}));
    EXPECT_EQ(keysOf(file["original"]), Keys{});
    EXPECT_EQ(keysOf(file["applied"]), (Keys{"finder", "fork"}));
    EXPECT_EQ(keysOf(folder["applied"]), (Keys{"fork", "iconFile"}));
    EXPECT_EQ(keysOf(folder["applied"]["iconFile"]), (Keys{"attributes", "contents", "mode"}));

    const std::string rootText = text.substr(text.find("\"rootIdentity\""));
    EXPECT_EQ(rawValue(rootText, "inode"), "9007199254740993");
    EXPECT_EQ(rawValue(rootText, "device"), "-2147483648");
    EXPECT_EQ(file["identity"]["inode"].get<std::uint64_t>(), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(folder["applied"]["fork"], "");
    EXPECT_EQ(folder["applied"]["iconFile"]["attributes"]["x"], "");
    EXPECT_EQ(folder["applied"]["iconFile"]["mode"], 0755);
    EXPECT_EQ(file["applied"]["finder"], encodeBase64(pattern(32, 1)));
}

TEST(recordsJson, ScopeRecordIsCompactAndStrict) {
    for (const PendingScope& scope : {PendingScope{"/Volumes/Daten/Ordner", true}, PendingScope{"/", false},
                                      PendingScope{"/home/anna/\"quoted\"\\ünï", true}}) {
        const std::string text = encodeScope(scope);
        EXPECT_EQ(text.find('\n'), std::string::npos) << text;
        EXPECT_EQ(decodeScope(text), scope);
    }
    const std::string plain = encodeScope(PendingScope{"/Volumes/Daten", true});
    EXPECT_EQ(plain.find(' '), std::string::npos) << plain;
    EXPECT_EQ(json::parse(plain), json::parse(R"({"includesApplications":true,"rootPath":"/Volumes/Daten"})"))
        << plain;

    EXPECT_EQ(decodeScope(" {\n \"rootPath\" : \"\\/a\", \"x\": [1], \"includesApplications\" : false }"),
              (PendingScope{"/a", false}));
    for (const char* bad : {R"({"rootPath":"/a"})", R"({"includesApplications":true})", R"(["/a",true])", "",
                            "{", R"({"includesApplications":1,"rootPath":"/a"})",
                            R"({"includesApplications":"true","rootPath":"/a"})",
                            R"({"includesApplications":null,"rootPath":"/a"})",
                            R"({"includesApplications":true,"rootPath":null})",
                            R"({"includesApplications":true,"rootPath":7})"}) {
        EXPECT_THROW(decodeScope(bad), DecodingError) << bad;
    }
}

TEST(recordsJson, ReaderIgnoresUnknownMembersAndTakesNullAsAbsent) {
    const BackupManifest m = sampleManifest();
    json doc = json::parse(encodeManifest(m));
    doc["future"] = {{"nested", {1, 2, 3}}};
    doc["rootIdentity"]["volume"] = "x";
    doc["entries"][0]["comment"] = nullptr;
    doc["entries"][0]["applied"]["tag"] = 5;
    doc["entries"][1]["applied"]["iconFile"]["owner"] = "root";
    doc["entries"][0]["applied"]["fork"] = nullptr;
    doc["entries"][1]["original"]["finder"] = doc["entries"][1]["original"]["iconFile"] = nullptr;
    doc["entries"][0]["original"]["finder"] = nullptr;
    // Integral floats are accepted for integer fields.
    doc["schema"] = 1.0;
    doc["entries"][1]["identity"]["inode"] = 42.0;
    doc["entries"][1]["identity"]["device"] = 2049.0;
    doc["entries"][1]["applied"]["iconFile"]["mode"] = 493.0;
    doc["rootIdentity"]["type"] = 16384.0;

    BackupManifest expected = m;
    expected.entries[0].applied.fork.reset();
    expected.entries[1].original.finder.reset();
    expected.entries[1].original.iconFile.reset();
    EXPECT_EQ(decodeManifest(doc.dump()), expected);
}

TEST(recordsJson, ReaderRefusesMissingWrongTypedAndOutOfRangeMembers) {
    const json doc = json::parse(encodeManifest(sampleManifest()));
    std::vector<std::pair<std::string, const char*>> cases;  // raw text nullptr: the member is removed
    // Every member of these objects is required.
    for (const std::string object : {"", "/rootIdentity", "/entries/0", "/entries/1/applied/iconFile"}) {
        for (const auto& [key, value] : doc.at(json::json_pointer(object)).items()) {
            cases.emplace_back(object + "/" + key, nullptr);
        }
    }
    const std::string id = "/entries/0/identity/", icon = "/entries/1/applied/iconFile/";
    const std::pair<std::string, const char*> wrong[] = {
        // Wrong JSON types, null for a required member included.
        {"/schema", "\"1\""}, {"/createdAt", "\"786543210\""}, {"/createdAt", "null"}, {"/createdAt", "true"},
        {"/entries", "{}"}, {"/entries", "null"}, {"/rootPath", "5"}, {"/rootPath", "null"},
        {"/rootIdentity", "[]"}, {"/entries/0", "\"x\""}, {"/entries/0/name", "null"},
        {"/entries/0/name", "[]"},
        {"/entries/0/phase", "1"}, {"/entries/0/applied", "[]"}, {"/entries/0/original", "null"},
        {"/entries/0/applied/finder", "12"}, {"/entries/0/applied/fork", "[1,2]"},
        {"/entries/1/applied/iconFile", "\"\""}, {icon + "attributes", "[]"}, {icon + "attributes/x", "7"},
        {icon + "attributes/x", "null"}, {icon + "contents", "null"}, {id + "inode", "\"5\""},
        {id + "type", "true"}, {id + "device", "null"},
        // Inexact or out of the field's range.
        {id + "inode", "1.5"}, {id + "inode", "-1"}, {id + "inode", "18446744073709551616"},
        {id + "inode", "1e20"},
        // 2^53 + 1 written as a float parses to the double 2^53: it cannot be taken as exact.
        {id + "inode", "9007199254740993.0"},
        {id + "device", "2147483648"}, {id + "device", "-2147483649"}, {id + "device", "2147483648.0"},
        {id + "device", "0.5"}, {id + "type", "65536"}, {id + "type", "-1"}, {icon + "mode", "65536"},
        {icon + "mode", "-0.5"}, {"/schema", "9223372036854775808"}, {"/schema", "1.25"},
        {"/rootIdentity/birthSeconds", "9223372036854775808"},
        {"/rootIdentity/birthSeconds", "-9223372036854775809"},
        {"/rootIdentity/birthNanos", "1e19"}, {"/rootIdentity/birthNanos", "1e300"}};
    cases.insert(cases.end(), std::begin(wrong), std::end(wrong));
    ASSERT_GT(cases.size(), std::size(wrong) + 15);
    for (const auto& [pointer, raw] : cases) {
        EXPECT_THROW(decodeManifest(withMember(doc, pointer, raw)), DecodingError)
            << pointer << " = " << (raw ? raw : "(removed)");
    }
    // Control: the unchanged document and in-range extremes load.
    EXPECT_NO_THROW(decodeManifest(doc.dump()));
    EXPECT_NO_THROW(decodeManifest(withMember(doc, id + "type", "65535")));
    EXPECT_NO_THROW(decodeManifest(withMember(doc, id + "device", "2147483647")));
    EXPECT_NO_THROW(decodeManifest(withMember(doc, id + "inode", "9007199254740991.0")));
}

TEST(recordsJson, ReaderRefusesMalformedBase64) {
    const json doc = json::parse(encodeManifest(sampleManifest()));
    const char* const bad[] = {"A",        "QUI",       "QUJDR",     "QU=D",     "Q===",     "====",
                               "QQ==QQ==", "QUJD\nREVG", "QUJD REVG", "QUJD\r\n", " QUJD",   "QUJD ",
                               "QUJ-",     "QUJ_",      "QU*D",      "QUJD=",    "QUJ\tD",   "QU\xC3\xA9"};
    const char* const places[] = {"/entries/0/applied/finder", "/entries/0/applied/fork",
                                  "/entries/1/applied/iconFile/contents",
                                  "/entries/1/applied/iconFile/attributes/com.apple.FinderInfo"};
    for (const char* text : bad) {
        Bytes out;
        EXPECT_FALSE(decodeBase64(text, out)) << json(text).dump();
        for (const char* place : places) {
            EXPECT_THROW(decodeManifest(withMember(doc, place, json(text).dump().c_str())), DecodingError)
                << place << " = " << json(text).dump();
        }
    }
}

TEST(recordsJson, ReaderRefusesTextThatIsNotARecord) {
    const std::string manifest = encodeManifest(sampleManifest());
    std::vector<std::string> documents = {"", "   ", "null", "[]", "\"text\"", "{}", "{", "{'schema':1}",
                                          manifest.substr(0, manifest.size() / 2), manifest + "x",
                                          manifest + manifest, "NaN"};
    documents.push_back(std::string(100000, '['));
    std::string objects;
    for (int i = 0; i < 100000; ++i) {
        objects += "{\"a\":";
    }
    documents.push_back(objects);
    // Deep nesting hidden in a member the reader would otherwise ignore.
    std::string deep = std::string(100000, '[') + std::string(100000, ']');
    documents.push_back("{\"future\":" + deep + "," + manifest.substr(manifest.find('{') + 1));
    // A name that is not valid UTF-8.
    std::string badText = manifest;
    badText.replace(badText.find("Fotos"), 5, "Fo\xFFos");
    documents.push_back(badText);

    for (const std::string& document : documents) {
        EXPECT_THROW(decodeManifest(document), DecodingError) << document.substr(0, 60);
        EXPECT_THROW(decodeScope(document), DecodingError) << document.substr(0, 60);
    }
}

TEST(recordsBase64, RoundTripsEveryLengthAndByteValue) {
    const std::pair<const char*, const char*> vectors[] = {
        {"", ""},           {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
    for (const auto& [plain, encoded] : vectors) {
        EXPECT_EQ(encodeBase64(bytesOf(plain)), encoded);
        Bytes out{1, 2, 3};
        ASSERT_TRUE(decodeBase64(encoded, out)) << encoded;
        EXPECT_EQ(out, bytesOf(plain));
    }
    EXPECT_EQ(encodeBase64(Bytes{0xfb, 0xff}), "+/8=");

    for (std::size_t length = 0; length <= 10; ++length) {
        for (const unsigned seed : {0u, 0xffu, 0x5au}) {
            const Bytes bytes = pattern(length, seed);
            const std::string text = encodeBase64(bytes);
            EXPECT_EQ(text.size(), (length + 2) / 3 * 4);
            Bytes out;
            ASSERT_TRUE(decodeBase64(text, out)) << text;
            EXPECT_EQ(out, bytes);
        }
    }
    // Every byte value, ending in each of the three padding cases.
    for (const std::size_t first : {0u, 1u, 2u}) {
        Bytes all(256);
        std::iota(all.begin(), all.end(), static_cast<std::uint8_t>(first));
        all.erase(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(first));
        Bytes out;
        ASSERT_TRUE(decodeBase64(encodeBase64(all), out));
        EXPECT_EQ(out, all);
    }
}

TEST(recordsJson, ManifestWrittenByTheMacProgramLoads) {
    std::ifstream in(std::string(LUMARO_TEST_DATA_DIR) + "/mac-backup.json", std::ios::binary);
    ASSERT_TRUE(in);
    std::ostringstream text;
    text << in.rdbuf();
    const BackupManifest m = decodeManifest(text.str());

    Bytes finder(32, 0), counting(32);
    finder[8] = 0x04;
    std::iota(counting.begin(), counting.end(), std::uint8_t{0});
    const Bytes fork{0, 0, 1, 0, 0, 0, 0x21, 0x9e, 'i', 'c', 'n', 's'};
    Bytes typed = finder;
    std::copy_n("TEXTttxt", 8, typed.begin());

    BackupManifest expected;
    expected.schema = 1;
    expected.rootPath = "/Users/anna/Desktop";
    expected.createdAt = 786543210.123456;
    expected.rootIdentity = {.device = 16777234, .inode = 2, .birthSeconds = 1600000000,
                             .birthNanos = 987654321, .type = kTypeDirectory};
    BackupEntry file{.name = "Notes.txt",
                     .identity = {.device = 16777234, .inode = 12884901888ull, .birthSeconds = 1700000000,
                                  .birthNanos = 250000000, .type = kTypeRegular},
                     .original = {},
                     .applied = {.finder = finder, .fork = fork, .iconFile = std::nullopt},
                     .phase = kPhaseApplied};
    BackupEntry folder{
        .name = "Fotos \xE2\x80\x93 Urlaub",
        .identity = {.device = 16777234, .inode = 4181, .birthSeconds = 1690000001, .birthNanos = 0,
                     .type = kTypeDirectory},
        .original = {.finder = finder, .fork = std::nullopt, .iconFile = std::nullopt},
        .applied = {.finder = counting,
                    .fork = std::nullopt,
                    .iconFile = IconFile{.contents = {},
                                         .attributes = {{"com.apple.FinderInfo", typed},
                                                        {"com.apple.ResourceFork", fork}},
                                         .mode = 420}},
        .phase = kPhasePrepared};
    expected.entries = {file, folder};
    EXPECT_EQ(m, expected);

    EXPECT_NO_THROW(checkManifest(m));
    EXPECT_EQ(decodeManifest(encodeManifest(m)), m);
}

// The message checkManifest raises, or "accepted".
std::string verdict(const BackupManifest& m) {
    try {
        checkManifest(m);
        return "accepted";
    } catch (const SkinError& error) {
        return error.message();
    }
}

TEST(recordsCheckManifest, AcceptsValidManifestsUpToTheLimits) {
    BackupManifest m = sampleManifest();
    EXPECT_EQ(verdict(m), "accepted");
    for (const char* phase : {kPhasePrepared, kPhaseApplied, kPhaseRestoring}) {
        m.entries[0].phase = phase;
        EXPECT_EQ(verdict(m), "accepted") << phase;
    }
    m.entries[0].applied.finder.reset();
    m.entries[1].original.finder.reset();
    EXPECT_EQ(verdict(m), "accepted");

    m.entries[0].original.fork = Bytes(kMaxStoredValue, 1);
    m.entries[1].applied.iconFile->contents = Bytes(kMaxStoredValue, 2);
    m.entries[1].applied.iconFile->attributes["com.apple.ResourceFork"] = Bytes(kMaxStoredValue, 3);
    EXPECT_EQ(verdict(m), "accepted");

    m.entries.clear();
    EXPECT_EQ(verdict(m), "accepted");
}

TEST(recordsCheckManifest, UnsupportedSchemaWinsOverEveryOtherFault) {
    for (const std::int64_t schema : {std::int64_t{0}, std::int64_t{2}, std::int64_t{-1},
                                      std::numeric_limits<std::int64_t>::max()}) {
        BackupManifest m = sampleManifest();
        m.schema = schema;
        EXPECT_EQ(verdict(m), kUnsupportedManifestMessage) << schema;
        m.rootPath = "";
        m.rootIdentity.type = 0;
        m.entries[0].name = "..";
        m.entries[1].name = "..";
        m.entries[1].phase = "done";
        m.entries[1].applied.finder = Bytes(3);
        EXPECT_EQ(verdict(m), kUnsupportedManifestMessage) << schema;
    }
}

TEST(recordsCheckManifest, RefusesInvalidContent) {
    using Mutation = std::function<void(BackupManifest&)>;
    const auto name = [](std::string value) -> Mutation {
        return [value](BackupManifest& m) { m.entries[0].name = value; };
    };
    const auto phase = [](std::string value) -> Mutation {
        return [value](BackupManifest& m) { m.entries[1].phase = value; };
    };
    using M = BackupManifest&;
    const Bytes tooLarge(kMaxStoredValue + 1);
    const std::pair<const char*, Mutation> cases[] = {
        {"empty root path", [](M m) { m.rootPath = ""; }},
        {"relative root path", [](M m) { m.rootPath = "home/anna"; }},
        {"dot root path", [](M m) { m.rootPath = "./x"; }},
        {"NUL in root path", [](M m) { m.rootPath = std::string("/home\0/x", 8); }},
        {"root is a file", [](M m) { m.rootIdentity.type = kTypeRegular; }},
        {"root type 0", [](M m) { m.rootIdentity.type = 0; }},
        {"duplicate name, other identity",
         [](M m) {
             m.entries.push_back(m.entries[1]);
             m.entries.back().identity.inode += 1000;
         }},
        {"empty name", name("")}, {"dot name", name(".")}, {"dot-dot name", name("..")},
        {"slash in name", name("a/b")}, {"slash name", name("/")},
        {"NUL in name", name(std::string("a\0b", 3))},
        {"symlink entry", [](M m) { m.entries[0].identity.type = 0120000; }},
        {"fifo entry", [](M m) { m.entries[0].identity.type = 0010000; }},
        {"finder 31 original", [](M m) { m.entries[1].original.finder = Bytes(31); }},
        {"finder 33 original", [](M m) { m.entries[1].original.finder = Bytes(33); }},
        {"finder 31 applied", [](M m) { m.entries[0].applied.finder = Bytes(31); }},
        {"finder 33 applied", [](M m) { m.entries[0].applied.finder = Bytes(33); }},
        {"finder empty", [](M m) { m.entries[0].applied.finder = Bytes{}; }},
        {"fork too large", [&](M m) { m.entries[0].original.fork = tooLarge; }},
        {"icon contents too large", [&](M m) { m.entries[1].applied.iconFile->contents = tooLarge; }},
        {"icon attribute too large",
         [&](M m) { m.entries[1].original.iconFile->attributes["big"] = tooLarge; }},
        {"phase empty", phase("")}, {"phase unknown", phase("done")}, {"phase capitalised", phase("Applied")},
        {"phase padded", phase("prepared ")},
    };
    for (const auto& [what, mutate] : cases) {
        BackupManifest m = sampleManifest();
        mutate(m);
        EXPECT_EQ(verdict(m), kInvalidManifestMessage) << what;
    }
}

TEST(recordsReport, MergeAddsCountsAndAppendsListsInOrder) {
    OperationReport total{1, 2, {"a：x"}, 3, {"/Applications/One.app"}, {"gone"}};
    const OperationReport other{10, 20, {"b：y", "c：z"}, 30, {"/Applications/Two.app"}, {"lost", "missing"}};
    total.merge(other);
    EXPECT_EQ(total, (OperationReport{11, 22, {"a：x", "b：y", "c：z"}, 33,
                                      {"/Applications/One.app", "/Applications/Two.app"},
                                      {"gone", "lost", "missing"}}));
    total.merge(OperationReport{});
    EXPECT_EQ(total.succeeded, 11);
    EXPECT_EQ(total.errors.size(), 3u);

    EXPECT_EQ(errorLine("Fotos", "Zugriff verweigert"), "Fotos\xEF\xBC\x9AZugriff verweigert");
}

}  // namespace
}  // namespace lumaro
