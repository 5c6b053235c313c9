// The JSON form of the backup records, the acceptance check of manifests and report merging.
#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>

#include "records/errors.h"
#include "records/json.h"
#include "records/records.h"
#include "tests/support/scratch.h"

namespace lumaro {
namespace {

using nlohmann::json;

// Every member used, a present-but-empty optional, and the extremes of the integer fields.
BackupManifest sampleManifest() {
    constexpr auto kMinDevice = std::numeric_limits<std::int32_t>::min();
    constexpr auto kMaxInode = std::numeric_limits<std::uint64_t>::max();
    using I64 = std::numeric_limits<std::int64_t>;
    // Inode 2^53 + 1 is not representable as a double.
    const FileIdentity root{kMinDevice, 9007199254740993ull, I64::max(), 999999999, kTypeDirectory};
    const BackupEntry file{"Résumé.pdf",
                           {-1, kMaxInode, I64::min(), 1, kTypeRegular},
                           {},
                           {Bytes(32, 1), Bytes(300, 2), std::nullopt},
                           kPhaseApplied};
    const IconFile icon{Bytes(256, 4), {{"com.apple.FinderInfo", Bytes(32, 5)}, {"x", Bytes{}}}, 0755};
    const IconState original{Bytes(32, 3), std::nullopt, IconFile{}};
    const IconState applied{std::nullopt, Bytes{}, icon};  // an empty fork stays present
    const BackupEntry folder{"Fotos", {2049, 42, 1, 5, kTypeDirectory}, original, applied, kPhaseRestoring};
    return {1, "/home/anna/Schreibtisch", root, 786543210.123456, {file, folder}};
}

// `document` with the member at `pointer` replaced by the raw JSON text.
std::string withMember(json document, const std::string& pointer, const char* raw) {
    document[json::json_pointer(pointer)] = "@RAW@";
    std::string text = document.dump();
    return text.replace(text.find("\"@RAW@\""), 7, raw);
}

TEST(recordsJson, ManifestRoundTripsAsSortedPrettyTextAndTheLinuxFormsRaiseTheSchema) {
    BackupManifest m = sampleManifest();
    const std::string text = encodeManifest(m);
    EXPECT_EQ(decodeManifest(text), m);
    EXPECT_EQ(text, json::parse(text).dump(2) + "\n");  // members sorted, pretty-printed
    EXPECT_EQ(text.find("null"), std::string::npos);
    EXPECT_NE(text.find("\"inode\": 9007199254740993"), std::string::npos) << text;
    EXPECT_NE(text.find("\"schema\": 1\n"), std::string::npos);
    // Unknown members are ignored, null is absent, an integral float is exact.
    json doc = json::parse(text);
    doc["future"] = {{"nested", {1, 2, 3}}};
    doc["entries"][1]["applied"]["iconFile"]["owner"] = "root";
    doc["entries"][0]["applied"]["fork"] = nullptr;
    doc["entries"][1]["original"]["iconFile"] = nullptr;
    doc["entries"][1]["identity"]["inode"] = 42.0;
    BackupManifest expected = m;
    expected.entries[0].applied.fork.reset();
    expected.entries[1].original.iconFile.reset();
    EXPECT_EQ(decodeManifest(doc.dump()), expected);

    // The desktop forms and a desktop entry (the root is its item, the user copy its state).
    m.entries[1].original.desktop = DesktopIcon{platform::IconMetadata{std::nullopt, "folder-music"}, std::nullopt};
    m.entries[1].applied.desktop =
        DesktopIcon{platform::IconMetadata{"file:///s/furball.png", std::nullopt}, DirectoryFile{test::bytesOf("[D]"), 0640}};
    BackupEntry entry{"org.example-tool.desktop", m.rootIdentity, {}, {}, kPhasePrepared, kKindDesktopEntry};
    entry.original.desktop = DesktopIcon{};
    entry.applied.desktop = DesktopIcon{std::nullopt, std::nullopt, DirectoryFile{test::bytesOf("[Desktop Entry]"), 0644}};
    m.entries.push_back(entry);
    const std::string forms = encodeManifest(m);
    EXPECT_NE(forms.find("\"schema\": 2\n"), std::string::npos) << forms;
    EXPECT_NE(forms.find("\"kind\": \"desktopEntry\""), std::string::npos);
    m.schema = 2;
    EXPECT_EQ(decodeManifest(forms), m);
    // Written as schema 1 by hand, the forms still raise it: this build never writes them as 1.
    EXPECT_EQ(decodeManifest(withMember(json::parse(forms), "/schema", "1")).schema, 2);
    EXPECT_EQ(decodeManifest(withMember(json::parse(forms), "/entries/1/original/desktop", "{}")).entries[1].original.desktop,
              DesktopIcon{});

    m.entries[1].name = "Fo\xFFos";  // text that is not UTF-8 cannot be stored
    EXPECT_THROW(encodeManifest(m), DecodingError);
}

TEST(recordsJson, ScopeRecordIsCompactAndStrict) {
    const PendingScope scope{"/home/anna/\"quoted\"\\ünï", true};
    const std::string text = encodeScope(scope);
    EXPECT_EQ(text.find_first_of("\n "), std::string::npos) << text;
    EXPECT_EQ(decodeScope(text), scope);
    for (const char* bad : {R"({"rootPath":"/a"})", R"({"includesApplications":1,"rootPath":"/a"})", "{"})
        EXPECT_THROW(decodeScope(bad), DecodingError) << bad;
}

TEST(recordsJson, ReaderRefusesMissingWrongTypedInexactAndOutOfRangeMembers) {
    json doc = json::parse(encodeManifest(sampleManifest()));
    const std::string id = "/entries/0/identity/";
    std::vector<std::pair<std::string, std::string>> cases = {
        {"/entries/0/name", "null"}, {"/rootPath", "5"}, {"/schema", "1.5"}, {id + "inode", "1.5"},
        {id + "inode", "18446744073709551616"}, {id + "inode", "9007199254740993.0"},  // 2^53 as a double
        {id + "device", "2147483648"}, {id + "device", "-2147483649"}, {id + "type", "65536"}};
    // Base64 of a bad length, misplaced padding, foreign characters, whitespace.
    for (const char* bad : {"QUI", "QQ==QQ==", "QUJ-", "QU*D", "QUJD\nREVG", " QUJD"})
        cases.emplace_back("/entries/0/applied/fork", json(bad).dump());
    for (const auto& [pointer, raw] : cases)
        EXPECT_THROW(decodeManifest(withMember(doc, pointer, raw.c_str())), DecodingError) << pointer << " = " << raw;
    EXPECT_NO_THROW(decodeManifest(withMember(doc, id + "device", "2147483647")));
    EXPECT_NO_THROW(decodeManifest(withMember(doc, id + "inode", "9007199254740991.0")));
    // Not a record: empty, truncated, nested deeper than any record (even in an ignored member).
    const std::string deep = "{\"future\":" + std::string(100000, '[') + std::string(100000, ']') + ",";
    for (const std::string& text : {std::string(), doc.dump().substr(0, 100), deep + doc.dump().substr(1)})
        EXPECT_THROW(decodeManifest(text), DecodingError) << text.substr(0, 40);
    doc.erase("createdAt");  // required
    EXPECT_THROW(decodeManifest(doc.dump()), DecodingError);
}

TEST(recordsJson, ManifestWrittenByTheMacProgramLoads) {
    const BackupManifest m = decodeManifest(test::readFile(LUMARO_TEST_DATA_DIR "/mac-backup.json"));
    const Bytes finder = test::finderInfo(std::string(8, '\0') + '\x04');
    const Bytes fork{0, 0, 1, 0, 0, 0, 0x21, 0x9e, 'i', 'c', 'n', 's'};
    EXPECT_EQ(std::tuple(m.rootPath, m.rootIdentity, m.entries.size()),
              std::tuple("/Users/anna/Desktop", FileIdentity{16777234, 2, 1600000000, 987654321, kTypeDirectory}, 2u));
    EXPECT_EQ(m.entries[0].identity.inode, 12884901888ull);
    EXPECT_EQ(m.entries[0].applied, (IconState{finder, fork, std::nullopt}));
    EXPECT_EQ(m.entries[1].name, "Fotos \xE2\x80\x93 Urlaub");
    EXPECT_EQ(m.entries[1].original, (IconState{finder, std::nullopt, std::nullopt}));
    EXPECT_EQ(std::tuple(m.entries[1].applied.iconFile->attributes.at("com.apple.ResourceFork"),
                        m.entries[1].applied.iconFile->mode), std::tuple(fork, std::uint16_t{420}));
    EXPECT_NO_THROW(checkManifest(m));
    EXPECT_EQ(decodeManifest(encodeManifest(m)), m);
}

std::string verdict(const BackupManifest& m) { return test::errorOf([&] { checkManifest(m); }); }

TEST(recordsCheckManifest, AcceptsAndRefusesWithTheRightMessage) {
    BackupManifest m = sampleManifest();
    m.entries[0].original.fork = Bytes(kMaxStoredValue, 1);
    EXPECT_EQ(verdict(m), "<no error>");
    m.schema = 2;
    EXPECT_EQ(verdict(m), "<no error>");
    m.schema = 3;
    EXPECT_EQ(verdict(m), kUnsupportedManifestMessage);

    using M = BackupManifest&;
    const std::pair<const char*, std::function<void(M)>> invalid[] = {
        {"duplicate name", [](M x) { x.entries.push_back(x.entries[1]), x.entries[2].identity.inode = 7; }},
        {"dot-dot name", [](M x) { x.entries[0].name = ".."; }},
        {"symlink entry", [](M x) { x.entries[0].identity.type = 0120000; }},
        {"finder 31", [](M x) { x.entries[1].original.finder = Bytes(31); }},
        {"finder 33", [](M x) { x.entries[1].applied.finder = Bytes(33); }},
        {"fork too large", [](M x) { x.entries[0].original.fork = Bytes(kMaxStoredValue + 1); }},
        {".directory too large",
         [](M x) { x.entries[1].applied.desktop = DesktopIcon{std::nullopt, DirectoryFile{Bytes(kMaxStoredValue + 1), 0644}}; }},
        {"phase unknown", [](M x) { x.entries[1].phase = "Applied"; }},
        {"kind unknown", [](M x) { x.entries[1].kind = "app"; }},
        {"entry not the root", [](M x) { x.entries[1].kind = kKindDesktopEntry, x.entries[1].name = "Fotos.desktop"; }},
        {"entry without an ID", [](M x) { x.entries[1].kind = kKindDesktopEntry, x.entries[1].identity = x.rootIdentity; }},
        {"relative root", [](M x) { x.rootPath = "home/anna"; }}};
    for (const auto& [what, mutate] : invalid) {
        m = sampleManifest();
        mutate(m);
        EXPECT_EQ(verdict(m), kInvalidManifestMessage) << what;
        m.schema = 0;  // an unsupported schema wins over every other fault
        EXPECT_EQ(verdict(m), kUnsupportedManifestMessage) << what;
    }
}

}  // namespace
}  // namespace lumaro
