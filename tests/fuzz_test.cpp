// Bounded, deterministic mutation fuzzing of every reader of stored or foreign bytes: each returns
// or throws the program's own errors, never crashes (sanitizer builds watch every read), and what
// it accepts survives a round trip.
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <random>
#include <sstream>

#include <gtest/gtest.h>

#include "batch/icon_batch_engine.h"
#include "platform/key_file.h"
#include "platform/resource_fork.h"
#include "records/icon_facet.h"
#include "records/mac_form.h"
#include "records/identity.h"
#include "records/json.h"
#include "tests/support/fault_fs.h"

namespace lumaro {
namespace {

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

// Runs `body`, which may return or throw DecodingError or SkinError but nothing else.
template <typename F>
void survives(const std::string& input, F&& body) {
    const auto own = [&] { test::errorOf<DecodingError>([&] { test::errorOf(body); }); };
    EXPECT_EQ(test::errorOf<std::exception>(own), "<no error>") << ::testing::PrintToString(input);
}

// Feeds `rounds` mutations of the seeds in turn (seed `i % size`) to `read`, which must survive each.
void fuzz(unsigned seed, std::size_t rounds, const std::vector<std::string>& seeds,
          const std::function<void(const std::string& doc, std::size_t i, Random& rng)>& read) {
    Random rng(seed);
    for (std::size_t i = 0; i < rounds; ++i) {
        const std::string doc = mutate(seeds[i % seeds.size()], rng, seeds);
        survives(doc, [&] { read(doc, i, rng); });
    }
}

IconState randomState(Random& rng) {
    const auto maybe = [&](std::size_t n) {
        return rng() % 2 ? std::optional(randomBytes(rng, n)) : std::nullopt;
    };
    const auto file =
        IconFile{randomBytes(rng, rng() % 20), {{"com.apple.FinderInfo", randomBytes(rng, 32)}}, 0644};
    const auto text = [&] { return rng() % 2 ? std::optional<std::string>("file:///s/furball.png") : std::nullopt; };
    const DesktopIcon desktop{rng() % 2 ? std::optional(platform::IconMetadata{text(), text()}) : std::nullopt,
                              rng() % 2 ? std::optional(DirectoryFile{randomBytes(rng, rng() % 30), 0640}) : std::nullopt};
    return {maybe(32), maybe(rng() % 40), rng() % 3 == 0 ? std::optional(file) : std::nullopt,
            rng() % 2 ? std::optional(desktop) : std::nullopt};
}

BackupEntry randomEntry(Random& rng, const std::string& name) {
    const auto number = [&] { return static_cast<std::int64_t>(rng() % 2000000000); };
    const char* phases[] = {kPhasePrepared, kPhaseApplied, kPhaseRestoring};
    const FileIdentity identity{static_cast<std::int32_t>(rng()), rng(), number(), number() / 2,
                                rng() % 2 ? kTypeDirectory : kTypeRegular};
    return {name, identity, randomState(rng), randomState(rng), phases[rng() % 3]};
}

TEST(Fuzz, ManifestsScopesAndManifestFilesDecodeOrFailWithTheirOwnErrors) {
    test::ScratchDir scratch;
    test::FakeWorkspace workspace;
    const IconEngine engine(platform::FileSystem::real(), scratch / "state", test::sampleImage(), workspace);
    Random rng(1);
    BackupManifest sample{1, "/Users/me/Desktop", {5, 77, 1600000000, 5, kTypeDirectory}, 786543210.5, {}};
    for (const char* name : {"a", "Fotos – Urlaub", "c"})
        sample.entries.push_back(randomEntry(rng, name));
    const std::vector<std::string> seeds = {encodeManifest(sample), encodeScope({"/Users/me/Desktop", true}),
                                            test::readFile(LUMARO_TEST_DATA_DIR "/mac-backup.json")};
    fuzz(1, 4000, seeds, [&](const std::string& doc, std::size_t, Random&) {
        std::optional<BackupManifest> manifest;
        std::optional<PendingScope> scope;
        survives(doc, [&] { manifest = decodeManifest(doc), checkManifest(*manifest); });
        survives(doc, [&] { scope = decodeScope(doc); });
        EXPECT_EQ(test::errorOf<std::exception>([&] {  // what is accepted survives a round trip
                      EXPECT_TRUE(!manifest || decodeManifest(encodeManifest(*manifest)) == *manifest) << doc;
                      EXPECT_TRUE(!scope || decodeScope(encodeScope(*scope)) == *scope) << doc;
                  }),
                  "<no error>");
        test::writeFile(scratch / "backup.json", doc);
        engine.readManifest(scratch / "backup.json");
    });
}

TEST(Fuzz, ManifestEncoderGivesWhatEncodeManifestGivesAcrossChangingManifests) {
    Random rng(2);
    for (int run = 0; run < 60; ++run) {
        ManifestEncoder encoder;
        BackupManifest m{1, "/r", {1, 2, 3, 4, kTypeDirectory}, 1.5, {}};
        for (int step = 0; step < 40; ++step) {
            const std::size_t size = m.entries.size(), pick = size > 0 ? rng() % size : 0;
            const std::string names[] = {"a", "b", "c", "d", "\xC3\x28"};  // repeating; the last no UTF-8
            const auto kind = size > 0 ? rng() % 4 : 0;
            if (kind == 0)
                m.entries.push_back(randomEntry(rng, names[rng() % 5]));
            else if (kind == 1)
                m.entries.erase(m.entries.begin() + static_cast<std::ptrdiff_t>(pick));
            else if (kind == 2)
                m.entries[pick].phase = kPhaseApplied, m.entries[pick].original = randomState(rng);
            else
                m.entries[pick] = randomEntry(rng, m.entries[pick].name), m.createdAt += 0.25;
            EXPECT_EQ(test::errorOf<std::exception>([&] { EXPECT_EQ(encoder.encode(m), encodeManifest(m)); }),
                      test::errorOf<std::exception>([&] { encodeManifest(m); }))
                << "run " << run << " step " << step;
        }
    }
}

TEST(Fuzz, ResourceForksRoundTripAndMutatedForksNeitherCrashNorChangeLength) {
    Random rng(3);
    std::vector<std::string> forks;
    for (int i = 0; i < 500; ++i) {
        std::vector<platform::Resource> resources(rng() % 6);  // grouped by type, as a fork lists them
        for (platform::Resource& r : resources) {
            r = {{'T', 'Y', 'P', static_cast<std::uint8_t>('A' + rng() % 3)},
                 static_cast<std::int16_t>(rng()),
                 static_cast<std::uint8_t>(rng()),
                 std::nullopt,
                 randomBytes(rng, rng() % 64)};
            r.name = rng() % 2 ? std::optional(randomBytes(rng, rng() % 9)) : std::nullopt;
        }
        std::stable_sort(resources.begin(), resources.end(),
                         [](auto& a, auto& b) { return a.type < b.type; });
        const Bytes fork = platform::buildResourceFork(resources).value();
        EXPECT_EQ(platform::parseResourceFork(fork), resources) << i;
        forks.emplace_back(fork.begin(), fork.end());
    }
    fuzz(3, 3000, forks, [](const std::string& text, std::size_t i, Random&) {
        const Bytes mutated(text.begin(), text.end());
        if (const auto parsed = platform::parseResourceFork(mutated)) {  // building it again is stable
            for (const platform::Resource& r : *parsed)
                EXPECT_LE(r.data.size(), mutated.size());
            const auto rebuilt = platform::buildResourceFork(*parsed);
            EXPECT_TRUE(!rebuilt || platform::buildResourceFork(
                                        platform::parseResourceFork(*rebuilt).value()) == rebuilt);
        }
        const auto normalized = normalizedResourceFork(mutated);
        EXPECT_EQ(normalized->size(), mutated.size()) << i;
        EXPECT_EQ(normalizedResourceFork(normalized), normalized) << i;
    });
}

TEST(Fuzz, KeyFilesParseToTheirOwnBytesOrFailAndSkinnedOnesParseAgain) {
    const std::vector<std::string> seeds = {
        "# c\r\n[Desktop Entry]\r\nType=Application\r\nName[zh_CN]=工具\r\nIcon=a\r\nIcon[de]=b\r\n\r\n[X]\nk=v",
        "[Desktop Entry]\nIcon=folder-music\n", ""};
    fuzz(5, 3000, seeds, [](const std::string& doc, std::size_t, Random&) {
        const auto parsed = platform::KeyFile::parse(doc);
        const auto skinned = platform::skinnedDesktopEntry(doc, "/s/furball.png");
        EXPECT_EQ(parsed.has_value(), skinned.has_value());
        if (parsed) {
            EXPECT_EQ(parsed->serialize(), doc);
            EXPECT_EQ(platform::KeyFile::parse(*skinned)->value("Desktop Entry", "Icon"), "/s/furball.png");
        }
    });
}

struct Home : test::FakeWorkspace {
    std::string home;
    std::string homeDirectory() override { return home; }
};

TEST(Fuzz, PropertyListsAndHiddenFilesNeverCrashTheirReaders) {
    test::ScratchDir scratch;
    platform::FileSystem& fs = platform::FileSystem::real();
    Home workspace;
    workspace.home = scratch / "home";
    const std::string info = scratch / "X.app/Contents/Info.plist";
    const std::string dock = workspace.home + "/Library/Preferences/com.apple.dock.plist";
    std::filesystem::create_directories(scratch / "X.app/Contents");
    std::filesystem::create_directories(workspace.home + "/Library/Preferences");
    const std::string python =  // writes seeds 0 to 3: Info.plist and Dock preferences, binary and XML
        "import plistlib as p; d = [{'CFBundleIdentifier': 'org.example.x', 'List': [1, 2.5, True, {'a': "
        "'b'}]}, "
        "{'persistent-apps': [{'tile-data': {'file-data': {'_CFURLString': 'file:///Apps/Y.app/'}}}]}]; "
        "[open(str(i), 'wb').write(p.dumps(d[i % 2], fmt=[p.FMT_BINARY, p.FMT_XML][i // 2])) for i in "
        "range(4)]";
    ASSERT_EQ(test::run("cd '" + scratch.path() + "' && /usr/bin/python3 -c \"" + python + "\""), "");
    std::vector<std::string> seeds;
    for (const char* name : {"0", "1", "2", "3"})
        seeds.push_back(test::readFile(scratch / name));
    const IconBatchEngine engine(fs, workspace, scratch / "state", test::sampleImage(),
                                 std::vector<std::string>{}, true);
    for (const std::size_t format : {0u, 2u}) {  // binary and XML, as an independent writer makes them
        test::writeFile(info, seeds[format]), test::writeFile(dock, seeds[format + 1]);
        EXPECT_EQ(platform::bundleIdentifier(fs, scratch / "X.app"), "org.example.x");
        EXPECT_EQ(engine.dockApplications(), std::vector<std::string>{"/Apps/Y.app"});
    }
    ASSERT_EQ(::mkfifo((scratch / ".hidden").c_str(), 0644), 0);
    EXPECT_TRUE(platform::hiddenNamesIn(fs, scratch.path()).empty()) << "a FIFO is not read";
    std::filesystem::remove(scratch / ".hidden");
    fuzz(4, 3000, seeds, [&](const std::string& doc, std::size_t i, Random& rng) {
        test::writeFile(i % 2 == 0 ? info : dock, doc);
        survives(doc, [&] { platform::bundleIdentifier(fs, scratch / "X.app"), engine.dockApplications(); });
        const Bytes hidden = randomBytes(rng, rng() % 64);
        std::string lines(hidden.begin(), hidden.end());
        std::replace_if(
            lines.begin(), lines.end(), [](char c) { return c % 5 == 0; }, '\n');
        test::writeFile(scratch / ".hidden", lines);
        std::set<std::string> expected;  // the lines that are not empty
        std::istringstream in(lines);
        for (std::string line; std::getline(in, line);)
            line.empty() ? void() : (void)expected.insert(line);
        EXPECT_EQ(platform::hiddenNamesIn(fs, scratch.path()), expected);
    });
}

}  // namespace
}  // namespace lumaro
