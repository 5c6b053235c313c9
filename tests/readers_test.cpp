// The JSON form of the backup records and the acceptance check of manifests; then bounded, deterministic
// mutation fuzzing of every reader of stored or foreign bytes, all over one corpus: each returns or
// throws the program's own errors, never crashes (sanitizer builds watch every read), and what it
// accepts survives a round trip.
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <limits>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>

#include <gtest/gtest.h>

#include "batch/icon_batch_engine.h"
#include "platform/browser_names.h"
#include "platform/bundles.h"
#include "platform/key_file.h"
#include "platform/resource_fork.h"
#include "records/desktop_form.h"
#include "records/icon_facet.h"
#include "records/identity.h"
#include "records/json.h"
#include "records/mac_form.h"
#include "records/records.h"
#include "tests/support/fault_fs.h"

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
                           test::stateWith(MacAttributes{Bytes(32, 1), Bytes(300, 2)}),
                           kPhaseApplied};
    const IconFile icon{Bytes(256, 4), {{"com.apple.FinderInfo", Bytes(32, 5)}, {"x", Bytes{}}}, 0755};
    const IconState original =
        test::stateWith(MacAttributes{Bytes(32, 3), std::nullopt}, FolderIconFile{IconFile{}});
    const IconState applied =  // an empty fork stays present
        test::stateWith(MacAttributes{std::nullopt, Bytes{}}, FolderIconFile{icon});
    const BackupEntry folder{"Fotos", {2049, 42, 1, 5, kTypeDirectory}, original, applied, kPhaseRestoring};
    return {1, "/home/anna/Schreibtisch", root, 786543210.123456, {file, folder}};
}

// `document` with the member at `pointer` replaced by the raw JSON text.
std::string withMember(json document, const std::string& pointer, const char* raw) {
    document[json::json_pointer(pointer)] = "@RAW@";
    std::string text = document.dump();
    return text.replace(text.find("\"@RAW@\""), 7, raw);
}

TEST(recordsJson, RecordsRoundTripAsSortedPrettyTextAndTheLinuxFormsRaiseTheSchema) {
    BackupManifest m = sampleManifest();
    const std::string text = encodeManifest(m);
    EXPECT_EQ(decodeManifest(text), m);  // its exact text is the first encoded-*.json
    // Unknown members are ignored, null is absent, an integral float is exact.
    json doc = json::parse(text);
    doc["future"] = {{"nested", {1, 2, 3}}};
    doc["entries"][1]["applied"]["iconFile"]["owner"] = "root";
    doc["entries"][0]["applied"]["fork"] = nullptr;
    doc["entries"][1]["original"]["iconFile"] = nullptr;
    doc["entries"][1]["identity"]["inode"] = 42.0;
    BackupManifest expected = m;
    expected.entries[0].applied.edit<MacAttributes>().fork.reset();
    expected.entries[1].original.edit<FolderIconFile>().file.reset();
    EXPECT_EQ(decodeManifest(doc.dump()), expected);
    // A copy's parts are its own once changed; a part holding its default is no part.
    EXPECT_NE(expected, m);
    EXPECT_EQ(test::stateWith(MacAttributes{}, DesktopForms{}, HiddenList{}), IconState{});
    const IconState recorded = test::stateWith(DesktopForms{true});
    EXPECT_TRUE(recorded != IconState{} && IconState{} != recorded);

    // The desktop forms and a desktop entry (the root is its item, the user copy its state).
    test::put(m.entries[1].original, DesktopForms{true},
              MetadataKeys{platform::IconMetadata{std::nullopt, "folder-music"}});
    test::put(m.entries[1].applied, DesktopForms{true},
              MetadataKeys{platform::IconMetadata{"file:///s/furball.png", std::nullopt}},
              DirectoryFileForm{DirectoryFile{test::bytesOf("[D]"), 0640}});
    // The emblem list, and a folder's ".hidden" captured absent, then present.
    test::put(m.entries[1].original, HiddenList{true, std::nullopt});
    test::put(m.entries[1].applied, HiddenList{true, DirectoryFile{test::bytesOf("Icon\r\n"), 0644}},
              EmblemList{std::vector<std::string>{"emblem-new", platform::kFurballEmblemName}});
    BackupEntry entry{"org.example-tool.desktop", m.rootIdentity, {}, {}, kPhasePrepared,
                      ItemKind::desktopEntry};
    entry.original = test::stateWith(DesktopForms{true});
    entry.applied =
        test::stateWith(DesktopForms{true}, EntryCopy{DirectoryFile{test::bytesOf("[Desktop Entry]"), 0644}});
    m.entries.push_back(entry);
    const std::string forms = encodeManifest(m);
    EXPECT_NE(forms.find("\"kind\": \"desktopEntry\""), std::string::npos);
    m.schema = 2;
    EXPECT_EQ(decodeManifest(forms), m);
    // Written as schema 1 by hand, the forms still raise it: this build never writes them as 1.
    EXPECT_EQ(decodeManifest(withMember(json::parse(forms), "/schema", "1")).schema, 2);
    IconState bare = m.entries[1].original;  // the Linux forms recorded, each form absent
    test::put(bare, MetadataKeys{}, HiddenList{});
    const auto noForms = decodeManifest(withMember(json::parse(forms), "/entries/1/original/desktop", "{}"));
    EXPECT_EQ(noForms.entries[1].original, bare);
    EXPECT_THROW(decodeManifest(withMember(json::parse(forms), "/entries/2/kind", "\"app\"")), DecodingError);

    m.entries[1].name = "Fo\xFFos";  // text that is not UTF-8 cannot be stored
    EXPECT_THROW(encodeManifest(m), DecodingError);

    // The scope record is compact and strict.
    const PendingScope scope{"/home/anna/\"quoted\"\\ünï", true};
    const std::string compact = encodeScope(scope);
    EXPECT_EQ(compact.find_first_of("\n "), std::string::npos) << compact;
    EXPECT_EQ(decodeScope(compact), scope);
    for (const char* bad : {R"({"rootPath":"/a"})", R"({"includesApplications":1,"rootPath":"/a"})", "{"})
        EXPECT_THROW(decodeScope(bad), DecodingError) << bad;
}

TEST(recordsJson, ReaderRefusesMissingWrongTypedInexactAndOutOfRangeMembers) {
    json doc = json::parse(encodeManifest(sampleManifest()));
    const std::string id = "/entries/0/identity/";
    std::vector<std::pair<std::string, std::string>> cases = {
        {"/entries/0/name", "null"},
        {"/rootPath", "5"},
        {"/schema", "1.5"},
        {id + "inode", "1.5"},
        {id + "inode", "18446744073709551616"},
        {id + "inode", "9007199254740993.0"},  // 2^53 as a double
        {id + "device", "2147483648"},
        {id + "device", "-2147483649"},
        {id + "type", "65536"}};
    // Base64 of a bad length, misplaced padding, foreign characters, whitespace.
    for (const char* bad : {"QUI", "QQ==QQ==", "QUJ-", "QU*D", "QUJD\nREVG", " QUJD"})
        cases.emplace_back("/entries/0/applied/fork", json(bad).dump());
    for (const char* bad : {R"({"emblems": "a"})", R"({"emblems": [1]})", R"({"hiddenList": []})",
                            R"({"hiddenList": {"file": {"mode": 420}}})"})
        cases.emplace_back("/entries/0/applied/desktop", bad);
    for (const auto& [pointer, raw] : cases)
        EXPECT_THROW(decodeManifest(withMember(doc, pointer, raw.c_str())), DecodingError)
            << pointer << " = " << raw;
    EXPECT_NO_THROW(decodeManifest(withMember(doc, id + "device", "2147483647")));
    EXPECT_NO_THROW(decodeManifest(withMember(doc, id + "inode", "9007199254740991.0")));
    // Not a record: empty, truncated, nested deeper than any record (even in an ignored member).
    const std::string deep = "{\"future\":" + std::string(100000, '[') + std::string(100000, ']') + ",";
    for (const std::string& text : {std::string(), doc.dump().substr(0, 100), deep + doc.dump().substr(1)})
        EXPECT_THROW(decodeManifest(text), DecodingError) << text.substr(0, 40);
    // Entries are decoded as they are read, yet the errors and the members taken are those of the whole
    // document in order: an entry's error waits for the members checked before the entries, a later
    // "entries" replaces an earlier one, and arrays elsewhere are not entries.
    const auto detail = [](const std::string& text) {
        std::string found[2];
        for (int streamed = 0; streamed < 2; ++streamed) {
            try {
                std::istringstream stream(text);
                streamed ? decodeManifestFrom(stream) : decodeManifest(text);
                found[streamed] = "decoded";
            } catch (const DecodingError& error) {
                found[streamed] = error.detail();
            }
        }
        EXPECT_EQ(found[0], found[1]) << "read from a stream or from memory alike";
        return found[0];
    };
    EXPECT_EQ(detail(withMember(doc, "/entries/1", "5")), "entries[1]: expected an object");
    EXPECT_EQ(detail(R"({"entries":[5],)" + doc.dump().substr(1)), "decoded");
    EXPECT_EQ(detail(R"({"future":[{"entries":[5]},[5]],)" + doc.dump().substr(1)), "decoded");
    EXPECT_EQ(detail(doc.dump().substr(0, doc.dump().size() - 1) + R"(,"entries":[{}]})"),
              "entries[0].applied: missing");
    EXPECT_EQ(decodeManifest(R"({"entries":[5],)" + doc.dump().substr(1)), decodeManifest(doc.dump()));
    doc.erase("createdAt");  // required
    EXPECT_THROW(decodeManifest(doc.dump()), DecodingError);
    EXPECT_EQ(detail(withMember(doc, "/entries/1", "5")), "createdAt: missing");
}

TEST(recordsJson, ManifestWrittenByTheMacProgramLoads) {
    const BackupManifest m = decodeManifest(test::readFile(LUMARO_TEST_DATA_DIR "/mac-backup.json"));
    const Bytes finder = test::finderInfo(std::string(8, '\0') + '\x04');
    const Bytes fork{0, 0, 1, 0, 0, 0, 0x21, 0x9e, 'i', 'c', 'n', 's'};
    EXPECT_EQ(std::tuple(m.rootPath, m.rootIdentity, m.entries.size()),
              std::tuple("/Users/anna/Desktop",
                         FileIdentity{16777234, 2, 1600000000, 987654321, kTypeDirectory}, 2u));
    EXPECT_EQ(std::tuple(m.entries[0].identity.inode, m.entries[0].applied, m.entries[1].name,
                         m.entries[1].original),
              std::tuple(12884901888ull, test::stateWith(MacAttributes{finder, fork}),
                         std::string("Fotos \xE2\x80\x93 Urlaub"),
                         test::stateWith(MacAttributes{finder, std::nullopt})));
    const IconFile& iconFile = *m.entries[1].applied.get<FolderIconFile>().file;
    EXPECT_EQ(std::tuple(iconFile.attributes.at("com.apple.ResourceFork"), iconFile.mode),
              std::tuple(fork, std::uint16_t{420}));
    EXPECT_NO_THROW(checkManifest(m));
    EXPECT_EQ(decodeManifest(encodeManifest(m)), m);
}

std::string verdict(const BackupManifest& m) {
    return test::errorOf([&] { checkManifest(m); });
}

TEST(recordsCheckManifest, AcceptsAndRefusesWithTheRightMessage) {
    BackupManifest m = sampleManifest();
    m.entries[0].original.edit<MacAttributes>().fork = Bytes(platform::kMaxValueSize, 1);
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
        {"finder 31", [](M x) { x.entries[1].original.edit<MacAttributes>().finder = Bytes(31); }},
        {"finder 33", [](M x) { x.entries[1].applied.edit<MacAttributes>().finder = Bytes(33); }},
        {"fork too large",
         [](M x) { x.entries[0].original.edit<MacAttributes>().fork = Bytes(platform::kMaxValueSize + 1); }},
        {".directory too large",
         [](M x) {
             test::put(x.entries[1].applied, DesktopForms{true},
                       DirectoryFileForm{DirectoryFile{Bytes(platform::kMaxValueSize + 1), 0644}});
         }},
        {"phase unknown", [](M x) { x.entries[1].phase = "Applied"; }},
        {"entry not the root",
         [](M x) { x.entries[1].kind = ItemKind::desktopEntry, x.entries[1].name = "Fotos.desktop"; }},
        {"entry without an ID",
         [](M x) { x.entries[1].kind = ItemKind::desktopEntry, x.entries[1].identity = x.rootIdentity; }},
        {"relative root", [](M x) { x.rootPath = "home/anna"; }}};
    for (const auto& [what, mutate] : invalid) {
        m = sampleManifest();
        mutate(m);
        EXPECT_EQ(verdict(m), kInvalidManifestMessage) << what;
        m.schema = 0;  // an unsupported schema wins over every other fault
        EXPECT_EQ(verdict(m), kUnsupportedManifestMessage) << what;
    }
}

[[maybe_unused]] const bool kInMemory = (test::preferMemoryScratch(), true);
using Random = std::mt19937;

Bytes randomBytes(Random& rng, std::size_t size) {
    Bytes out(size);
    std::generate(out.begin(), out.end(), [&] { return static_cast<std::uint8_t>(rng()); });
    return out;
}

// One to three byte flips, truncations, splices from `pool`, repeats, deep nestings or tokens
// (also in place of a value after a ':').
std::string mutate(std::string text, Random& rng, const std::vector<std::string>& pool) {
    static const std::vector<std::string> tokens = {
        "null",  "1e999", "-0.5", "9007199254740993", "-1",      "4294967296", "{}", "\"\\ud800\"", "[]",
        "\"x\"", "true",  "\xff", "<dict>",           "</array>"};
    for (auto n = 1 + rng() % 3; n > 0; --n) {
        const std::size_t at = text.empty() ? 0 : rng() % text.size(), length = rng() % 64;
        const std::string &other = pool[rng() % pool.size()], &token = tokens[rng() % tokens.size()];
        const std::size_t colon = text.find(':', at), end = text.find_first_of(",}\n", colon);
        const auto kind = rng() % 7;
        kind == 0   ? (void)text.replace(at, 1, 1, static_cast<char>(rng()))
        : kind == 1 ? text.resize(at)
        : kind == 2 ? (void)text.replace(at, length, other.substr(rng() % (other.size() + 1), length))
        : kind == 3 ? (void)text.insert(at, text.substr(at, length))
        : kind == 4 ? (void)text.insert(at, std::string(rng() % 3000, "[{"[rng() % 2]))
        : kind == 5 ? (void)text.insert(at, token)
        : end != std::string::npos ? (void)text.replace(colon + 1, end - colon - 1, token)
                                   : void();
    }
    return text;
}

IconState randomState(Random& rng) {
    const auto maybe = [&](std::size_t n) {
        return rng() % 2 ? std::optional(randomBytes(rng, n)) : std::nullopt;
    };
    const auto file =
        IconFile{randomBytes(rng, rng() % 20), {{"com.apple.FinderInfo", randomBytes(rng, 32)}}, 0644};
    const auto text = [&] {
        return rng() % 2 ? std::optional<std::string>("file:///s/furball.png") : std::nullopt;
    };
    const MetadataKeys keys{rng() % 2 ? std::optional(platform::IconMetadata{text(), text()}) : std::nullopt};
    const DirectoryFileForm directory{
        rng() % 2 ? std::optional(DirectoryFile{randomBytes(rng, rng() % 30), 0640}) : std::nullopt};
    IconState state = test::stateWith(MacAttributes{maybe(32), maybe(rng() % 40)});
    test::put(state, FolderIconFile{rng() % 3 == 0 ? std::optional(file) : std::nullopt});
    return rng() % 2 ? test::put(state, DesktopForms{true}, keys, directory) : state;
}

BackupEntry randomEntry(Random& rng, const std::string& name) {
    const auto number = [&] { return static_cast<std::int64_t>(rng() % 2000000000); };
    const char* phases[] = {kPhasePrepared, kPhaseApplied, kPhaseRestoring};
    const FileIdentity identity{static_cast<std::int32_t>(rng()), rng(), number(), number() / 2,
                                rng() % 2 ? kTypeDirectory : kTypeRegular};
    return {name, identity, randomState(rng), randomState(rng), phases[rng() % 3]};
}

// Encoding what was read again neither throws nor changes it.
template <typename T, typename Decode, typename Encode>
void expectRoundTrip(const T& value, Decode decode, Encode encode) {
    EXPECT_EQ(test::errorOf<std::exception>([&] { EXPECT_EQ(decode(encode(value)), value); }), "<no error>");
}

// Successive versions of one manifest as a batched apply and restore change it, each with the names
// of the entries added or changed since the one before (none for the first: everything is new).
std::vector<std::pair<BackupManifest, std::optional<std::set<std::string>>>> manifestVersions() {
    Random rng(7);
    BackupManifest m = sampleManifest();
    std::vector<std::pair<BackupManifest, std::optional<std::set<std::string>>>> out = {{m, std::nullopt}};
    const auto add = [&](const std::vector<std::string>& names) {
        for (const std::string& name : names)
            m.entries.push_back(randomEntry(rng, name)), m.entries.back().phase = kPhasePrepared;
        out.emplace_back(m, std::set(names.begin(), names.end()));
    };
    const auto change = [&](const std::set<std::string>& names, const char* phase) {
        for (BackupEntry& entry : m.entries)
            names.count(entry.name) ? (void)(entry.phase = phase, entry.applied = randomState(rng)) : void();
        out.emplace_back(m, names);
    };
    const auto remove = [&](const std::set<std::string>& names) {
        std::erase_if(m.entries, [&](const BackupEntry& entry) { return names.count(entry.name) > 0; });
        out.emplace_back(m, std::set<std::string>{});
    };
    add({"e0", "e1", "e2", "e3", "e4", "e5"}), change({"e0", "e1", "e2", "e3", "e4", "e5"}, kPhaseApplied);
    add({"f0", "f1", "f2", "f3"}), change({"f0", "f1"}, kPhaseApplied);  // f2 and f3 failed: still prepared
    change({"Résumé.pdf", "e0"}, kPhaseRestoring), remove({"Résumé.pdf", "e0", "e3", "f3"});
    remove({"e1", "e2", "e4", "e5", "f0", "f1", "f2"}), remove({"Fotos"});
    return out;
}

// The text stays byte for byte what the encoder wrote before it kept each entry's text: as the entries change
// phase and leave, an encoder told what changed gives exactly the whole encoding, and both match files made
// then.
TEST(recordsJson, ManifestTextStaysTheSameAsEntriesAreAddedChangedAndRemoved) {
    const auto versions = manifestVersions();
    ManifestEncoder encoder;
    std::set<std::string> schemas;
    for (std::size_t i = 0; i < versions.size(); ++i) {
        const auto& [manifest, changed] = versions[i];
        const std::string golden =
            test::readFile(LUMARO_TEST_DATA_DIR "/encoded-" + std::to_string(i) + ".json");
        EXPECT_EQ(encodeManifest(manifest), golden) << i;
        EXPECT_EQ(encoder.encode(manifest, changed ? &*changed : nullptr), golden) << i;
        schemas.insert(golden.substr(golden.rfind("\"schema\"")));
    }
    // The same from a file read back: its text taken over as it stands, and entries whose phase alone
    // changed have only that rewritten.
    const std::set<std::string> none;
    for (std::size_t i = 1; i < versions.size(); ++i) {
        const std::string before =
            test::readFile(LUMARO_TEST_DATA_DIR "/encoded-" + std::to_string(i - 1) + ".json");
        ManifestEncoder reader;
        ASSERT_TRUE(reader.adopt(before, decodeManifest(before))) << i;
        EXPECT_EQ(countEncodedEntries(before), versions[i - 1].first.entries.size()) << i;
        const auto& [manifest, changed] = versions[i];
        EXPECT_EQ(reader.encode(manifest, changed ? &*changed : nullptr), encodeManifest(manifest)) << i;
        BackupManifest rephased = manifest;
        std::set<std::string> names;
        for (std::size_t k = 0; k < rephased.entries.size(); k += 2)
            rephased.entries[k].phase = std::array{kPhaseRestoring, kPhaseClearing, kPhaseApplied}[k % 3],
            names.insert(rephased.entries[k].name);
        EXPECT_EQ(reader.encode(rephased, &none, &names), encodeManifest(rephased)) << i;
        ManifestEncoder both;  // entries added, changed, removed and rephased in one call
        ASSERT_TRUE(both.adopt(before, decodeManifest(before))) << i;
        EXPECT_EQ(both.encode(rephased, changed ? &*changed : nullptr, &names), encodeManifest(rephased))
            << i;
    }
    EXPECT_EQ(countEncodedEntries(test::readFile(LUMARO_TEST_DATA_DIR "/encoded-8.json")), 0u);  // none left
    // A document laid out otherwise is not taken over; an entry laid out otherwise is kept as it stands, and
    // encoded afresh once its phase changes.
    BackupManifest some = versions[4].first;  // names with quotes and backslashes, one ending in one
    some.entries[1].name = "say \"{hi\" \\", some.entries[2].name = "back\\";
    ManifestEncoder other;
    EXPECT_FALSE(other.adopt(json::parse(encodeManifest(some)).dump(), some));
    EXPECT_EQ(countEncodedEntries(json::parse(encodeManifest(some)).dump()), std::nullopt);
    std::string spaced = encodeManifest(some);
    spaced.insert(spaced.find("\"\n    }", spaced.find("\"entries\"")) + 1, " ");
    ASSERT_TRUE(other.adopt(spaced, decodeManifest(spaced)));
    EXPECT_EQ(countEncodedEntries(spaced), some.entries.size());
    const std::set<std::string> first = {some.entries[0].name, some.entries[2].name};
    EXPECT_EQ(other.encode(some, &none), spaced);
    BackupManifest rephased = some;
    rephased.entries[0].phase = kPhaseRestoring, rephased.entries[2].phase = kPhaseClearing;
    EXPECT_EQ(other.encode(rephased, &none, &first), encodeManifest(rephased));

    BackupManifest reordered = versions[4].first;  // texts that change places are copied, not moved in place
    std::reverse(reordered.entries.begin(), reordered.entries.end());
    EXPECT_EQ(encoder.encode(versions[4].first), encodeManifest(versions[4].first));
    EXPECT_EQ(encoder.encode(reordered, &none), encodeManifest(reordered));
    EXPECT_EQ(schemas.size(), 2u) << "the desktop forms raise the schema, and lower it when they leave";
}

TEST(Fuzz, EveryReaderTakesMutationsOfEveryKindOfInputOrFailsWithTheProgramsOwnErrors) {
    test::ScratchDir scratch;
    platform::FileSystem& fs = platform::FileSystem::real();
    test::FakeWorkspace workspace;
    workspace.home = scratch / "home";
    const std::string app = scratch / "X.app", info = app + "/Contents/Info.plist";
    const std::string dock = workspace.home + "/Library/Preferences/com.apple.dock.plist";
    std::filesystem::create_directories(app + "/Contents");
    std::filesystem::create_directories(workspace.home + "/Library/Preferences");
    const IconEngine engine(fs, scratch / "state", test::sampleImage(), workspace);
    const IconBatchEngine batch(fs, workspace, scratch / "state", test::sampleImage(),
                                {std::vector<std::string>{}});

    Random rng(1);
    BackupManifest sample{1, "/Users/me/Desktop", {5, 77, 1600000000, 5, kTypeDirectory}, 786543210.5, {}};
    for (const char* name : {"a", "Fotos – Urlaub", "c"})
        sample.entries.push_back(randomEntry(rng, name));
    BackupManifest repeated = sample;  // a name twice, as only checkManifest refuses
    repeated.entries.push_back(randomEntry(rng, "a"));
    std::vector<std::string> corpus = {
        encodeManifest(sample),
        encodeManifest(repeated),
        encodeScope({"/Users/me/Desktop", true}),
        test::readFile(LUMARO_TEST_DATA_DIR "/mac-backup.json"),
        "# c\r\n[Desktop "
        "Entry]\r\nType=Application\r\nName[zh_CN]=工具\r\nIcon=a\r\nIcon[de]=b\r\n\r\n[X]\nk=v",
        "[Desktop Entry]\nIcon=folder-music\n",
        ""};
    // Info.plist and Dock preferences, binary and XML, as an independent writer makes them.
    const std::string python =
        "import plistlib as p; d = [{'CFBundleIdentifier': 'org.example.x', 'List': [1, 2.5, True, {'a': "
        "'b'}]}, {'persistent-apps': [{'tile-data': {'file-data': {'_CFURLString': "
        "'file:///Apps/Y.app/'}}}]}]; [open(str(i), 'wb').write(p.dumps(d[i % 2], fmt=[p.FMT_BINARY, "
        "p.FMT_XML][i // 2])) for i in range(4)]; open('nul', 'wb').write(p.dumps({'CFBundleIdentifier': "
        "'org.ex\\x00ample.\\u00fc'}, fmt=p.FMT_BINARY))";
    ASSERT_EQ(test::run("cd '" + scratch.path() + "' && /usr/bin/python3 -c \"" + python + "\""), "");
    for (const char* name : {"0", "1", "2", "3"})
        corpus.push_back(test::readFile(scratch / name));
    for (const std::size_t format : {7u, 9u}) {
        test::writeFile(info, corpus[format]), test::writeFile(dock, corpus[format + 1]);
        EXPECT_EQ(platform::bundleIdentifier(fs, app), "org.example.x");
        EXPECT_EQ(batch.dockApplications(), std::vector<std::string>{"/Apps/Y.app"});
    }
    test::writeFile(info,
                    test::readFile(scratch / "nul"));  // a NUL in a UTF-16 string once aborted the reader
    EXPECT_EQ(platform::bundleIdentifier(fs, app), std::nullopt);
    ASSERT_EQ(::mkfifo((scratch / ".hidden").c_str(), 0644), 0);
    EXPECT_TRUE(platform::hiddenNamesIn(fs, scratch.path()).empty()) << "a FIFO is not read";
    std::filesystem::remove(scratch / ".hidden");
    // Resource forks round trip; some go into the corpus.
    for (int i = 0; i < 300; ++i) {
        std::vector<platform::Resource> resources(rng() % 6);
        std::uint8_t type = 'A';  // never falls: grouped by type, as a fork lists them
        for (platform::Resource& r : resources)
            r = {{'T', 'Y', 'P', type = std::max(type, static_cast<std::uint8_t>('A' + rng() % 3))},
                 static_cast<std::int16_t>(rng()),
                 static_cast<std::uint8_t>(rng()),
                 rng() % 2 ? std::optional(randomBytes(rng, rng() % 9)) : std::nullopt,
                 randomBytes(rng, rng() % 64)};
        const Bytes fork = platform::buildResourceFork(resources).value();
        EXPECT_EQ(platform::parseResourceFork(fork), resources) << i;
        i % 40 == 0 ? (void)corpus.emplace_back(fork.begin(), fork.end()) : void();
    }

    ManifestEncoder encoder;
    const std::vector<std::function<void(const std::string&)>> readers = {
        [&](const std::string& doc) {  // one encoder for all, as if each manifest followed the last
            const BackupManifest manifest = decodeManifest(doc);
            expectRoundTrip(manifest, decodeManifest, encodeManifest);
            EXPECT_EQ(encoder.encode(manifest), encodeManifest(manifest));
            checkManifest(manifest);
        },
        [](const std::string& doc) { expectRoundTrip(decodeScope(doc), decodeScope, encodeScope); },
        [&](const std::string& doc) {
            test::writeFile(scratch / "backup.json", doc), engine.readManifest(scratch / "backup.json");
        },
        [](const std::string& doc) {
            const Bytes fork(doc.begin(), doc.end());
            if (const auto parsed = platform::parseResourceFork(fork)) {  // building it again is stable
                for (const platform::Resource& r : *parsed)
                    EXPECT_LE(r.data.size(), fork.size());
                const auto rebuilt = platform::buildResourceFork(*parsed);
                EXPECT_TRUE(!rebuilt || platform::buildResourceFork(
                                            platform::parseResourceFork(*rebuilt).value()) == rebuilt);
            }
            const auto normalized = normalizedResourceFork(fork);
            EXPECT_EQ(normalized->size(), fork.size());
            EXPECT_EQ(normalizedResourceFork(normalized), normalized);
        },
        [](const std::string& doc) {  // a key file parses to its own bytes, and skinned it parses again
            const auto parsed = platform::KeyFile::parse(doc);
            const auto skinned = platform::skinnedDesktopEntry(doc, "/s/furball.png");
            ASSERT_EQ(parsed.has_value(), skinned.has_value());
            if (parsed) {
                EXPECT_EQ(parsed->serialize(), doc);
                EXPECT_EQ(platform::KeyFile::parse(*skinned)->value("Desktop Entry", "Icon"),
                          "/s/furball.png");
            }
        },
        [&](const std::string& doc) { test::writeFile(info, doc), platform::bundleIdentifier(fs, app); },
        [&](const std::string& doc) { test::writeFile(dock, doc), batch.dockApplications(); },
        [&](const std::string& doc) {
            test::writeFile(scratch / ".hidden", doc);
            std::set<std::string> expected;  // the lines that are not empty
            std::istringstream in(doc);
            for (std::string line; std::getline(in, line);)
                line.empty() ? void() : (void)expected.insert(line);
            EXPECT_EQ(platform::hiddenNamesIn(fs, scratch.path()), expected);
        }};
    for (std::size_t i = 0; i < 6000; ++i) {
        const std::string doc = mutate(corpus[i % corpus.size()], rng, corpus);
        for (std::size_t r = 0; r < readers.size(); ++r) {
            const auto own = [&] {
                test::errorOf<DecodingError>([&] { test::errorOf([&] { readers[r](doc); }); });
            };
            EXPECT_EQ(test::errorOf<std::exception>(own), "<no error>");
            ASSERT_FALSE(HasFailure())
                << "reader " << r << ", round " << i << ": " << ::testing::PrintToString(doc);
        }
    }
}

}  // namespace
}  // namespace lumaro
