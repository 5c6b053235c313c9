// The apply transaction on real folders: what it skins, what it records, and how it stops.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <map>
#include <tuple>

#include <gtest/gtest.h>

#include "engine/icon_engine.h"
#include "platform/resource_fork.h"
#include "records/attributes.h"
#include "records/errors.h"
#include "records/identity.h"
#include "records/operation_lock.h"
#include "resources/resources.h"
#include "tests/support/scratch.h"

namespace lumaro {

// Readable failures for whole-report comparisons.
void PrintTo(const OperationReport& r, std::ostream* os) {
    *os << "{succeeded " << r.succeeded << ", skipped " << r.skipped << ", remaining " << r.remaining << ", errors "
        << ::testing::PrintToString(r.errors) << ", relaunch " << ::testing::PrintToString(r.relaunchApplications)
        << ", missing " << ::testing::PrintToString(r.missingItems) << "}";
}

namespace {

using platform::FileSystem;
using test::ScratchDir;

constexpr const char* kFinder = "user.com.apple.FinderInfo";
constexpr const char* kFork = "user.com.apple.ResourceFork";

std::string run(const std::string& command) {
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    for (char buffer[512]; pipe != nullptr && std::fgets(buffer, sizeof buffer, pipe) != nullptr;) {
        output += buffer;
    }
    return pipe != nullptr && ::pclose(pipe) == 0 ? output : "<failed> " + output;
}

std::size_t be32(const Bytes& b, std::size_t at) {
    return (std::size_t{b[at]} << 24) | (std::size_t{b[at + 1]} << 16) | (std::size_t{b[at + 2]} << 8) | b[at + 3];
}

Bytes forkWith(const char type[4], std::int16_t id, const std::string& data) {
    platform::Resource resource;
    std::copy(type, type + 4, resource.type.begin());
    resource.id = id;
    resource.data = test::bytesOf(data);
    return *platform::buildResourceFork({resource});
}

// Checks a fork the way other programs read it: `file` must call it a resource fork holding an
// icns, and Pillow must decode the icns (the first resource's data) as a 128 x 128 image.
void expectReadableIconFork(const Bytes& fork, const std::string& scratch, const std::string& what) {
    ASSERT_GE(fork.size(), 264u) << what;
    ASSERT_EQ(be32(fork, 0), 256u) << what;
    const std::string dump = scratch + "/fork.bin";
    test::writeFile(dump, std::string(fork.begin(), fork.end()));
    const std::string kind = run("/usr/bin/file -b '" + dump + "'");
    EXPECT_NE(kind.find("Apple HFS/HFS+ resource fork"), std::string::npos) << what << ": " << kind;
    EXPECT_NE(kind.find("icns"), std::string::npos) << what << ": " << kind;
    const std::size_t length = be32(fork, 256);
    ASSERT_LE(260 + length, fork.size()) << what;
    const std::string icns = scratch + "/icon.icns";
    test::writeFile(icns, std::string(fork.begin() + 260, fork.begin() + static_cast<std::ptrdiff_t>(260 + length)));
    EXPECT_EQ(run("/usr/bin/python3 -c \"import io, sys; from PIL import Image; "
                  "im = Image.open(io.BytesIO(open(sys.argv[1], 'rb').read())); im.load(); "
                  "print(im.format, im.size[0], im.size[1])\" '" +
                  icns + "' 2>&1"),
              "ICNS 128 128\n")
        << what;
}

template <typename F>
std::string skinErrorOf(F&& call) {
    try {
        call();
    } catch (const SkinError& error) {
        return error.what();
    }
    return "<no SkinError>";
}

IconState stateOf(const std::string& path) {
    return captureIconState(FileSystem::real(), path, identifyItem(FileSystem::real(), path));
}

bool untouched(const std::string& path) {
    return !test::hasRawAttribute(path, kFinder) && !test::hasRawAttribute(path, kFork) &&
           ::access((path + "/Icon\r").c_str(), F_OK) != 0;
}

class FakeWorkspace : public platform::Workspace {
public:
    std::vector<platform::RunningApplication> running;
    std::vector<platform::RunningApplication> runningApplications() override { return running; }
    std::optional<std::string> ownBundleIdentifier() override { return std::nullopt; }
    void noteFileSystemChanged(const std::string&) override {}
};

// The seam for every fault below: refused access, replaced attribute writes, a hook after each
// rename, and a log of every look at one watched folder.
class SeamFileSystem : public platform::ForwardingFileSystem {
public:
    using ForwardingFileSystem::ForwardingFileSystem;
    std::set<std::string> deniedAccess;
    // Returns the result to give instead of writing, or nothing to write normally.
    std::function<std::optional<int>(const std::string&, const std::string&)> onSetAttribute;
    std::function<void(const std::string&)> afterRename;
    std::string watched;
    std::vector<std::string> looks;

    int access(const std::string& path, int mode) override {
        return deniedAccess.count(path) > 0 ? EACCES : ForwardingFileSystem::access(path, mode);
    }
    int setAttribute(const std::string& path, const std::string& name, const void* data,
                     std::size_t size) override {
        const auto replaced = onSetAttribute ? onSetAttribute(path, name) : std::nullopt;
        return replaced ? *replaced : ForwardingFileSystem::setAttribute(path, name, data, size);
    }
    int rename(const std::string& from, const std::string& to) override {
        const int err = ForwardingFileSystem::rename(from, to);
        if (afterRename) {
            afterRename(to);
        }
        return err;
    }
    int lstat(const std::string& path, platform::FileStatus& out) override {
        note(path);
        return ForwardingFileSystem::lstat(path, out);
    }
    int listDirectory(const std::string& path, std::vector<std::string>& names) override {
        note(path);
        return ForwardingFileSystem::listDirectory(path, names);
    }

private:
    void note(const std::string& path) {
        if (!watched.empty() && (path == watched || path.starts_with(watched + "/"))) {
            looks.push_back(path);
        }
    }
};

using Phases = std::vector<std::pair<std::string, std::string>>;

class applyTransaction : public ::testing::Test {
protected:
    ScratchDir scratch;
    SeamFileSystem fs{FileSystem::real()};
    FakeWorkspace workspace;
    const std::string root = scratch / "root";
    const std::string backups = scratch / "backups";
    IconEngine engine{fs, backups, loadFurball(), workspace};

    void SetUp() override { test::makeDirectory(root); }
    std::string at(const std::string& name) const { return root + "/" + name; }
    bool hasManifest() const { return ::access((backups + "/backup.json").c_str(), F_OK) == 0; }
    void expectNoStaging() const {
        std::vector<std::string> names;
        ASSERT_EQ(FileSystem::real().listDirectory(backups, names), 0);
        for (const std::string& name : names) {
            EXPECT_FALSE(name.starts_with("staging-")) << name;
        }
    }
    Phases phases() const {
        Phases result;
        const BackupManifest manifest = engine.loadManifest().value();
        for (const BackupEntry& entry : manifest.entries) {
            result.emplace_back(entry.name, entry.phase);
        }
        return result;
    }
};

TEST_F(applyTransaction, SkinsAMixedFolderAndRecordsEveryItemExactly) {
    Bytes labelled(32, 0);
    std::copy_n("TEXTttxt", 8, labelled.begin());
    labelled[9] = 0x0E;  // label colour bits
    labelled[12] = 0x12;
    for (const char* name : {"alpha.txt", "beta.txt", "hard1", ".secret", "Secret"}) {
        test::writeFile(at(name), name);
    }
    test::setRawAttribute(at("beta.txt"), kFinder, labelled);
    test::setRawAttribute(at("beta.txt"), kFork, forkWith("TEXT", 128, "foreign"));
    for (const char* folder : {"Docs", "Photos", "Editor.app", "Locked.app", "Vault.app", "Doc.pages"}) {
        test::makeDirectory(at(folder));
    }
    test::writeFile(at("Photos/Icon\r"), "old icon data", 0600);
    test::setRawAttribute(at("Photos/Icon\r"), "user.note", test::bytesOf("keep"));
    fs.deniedAccess = {at("Locked.app"), at("Vault.app")};
    ASSERT_EQ(::symlink(at("Docs").c_str(), at("link").c_str()), 0);
    ASSERT_EQ(::mkfifo(at("pipe").c_str(), 0644), 0);
    ASSERT_EQ(::link(at("hard1").c_str(), at("hard2").c_str()), 0);
    test::writeFile(at(".hidden"), "Secret\n");

    const std::vector<std::string> skinned = {"alpha.txt", "beta.txt", "Docs", "Editor.app", "Photos"};
    std::map<std::string, std::pair<FileIdentity, IconState>> before;
    for (const std::string& name : skinned) {
        const FileIdentity identity = identifyItem(FileSystem::real(), at(name));
        before[name] = {identity, captureIconState(FileSystem::real(), at(name), identity)};
    }

    // Skipped: link, pipe, hard1, hard2, Doc.pages; hidden names are not counted at all.
    const OperationReport report = engine.apply(root + "/", true, false);
    EXPECT_EQ(report, (OperationReport{5, 5, {"Locked.app：应用没有写入权限，已跳过", "Vault.app：应用没有写入权限，已跳过"},
                                       5, {}, {}}));

    for (const std::string& name : skinned) {
        const Bytes finder = test::rawAttribute(at(name), kFinder);
        ASSERT_EQ(finder.size(), 32u) << name;
        EXPECT_EQ(finder[8] & 0x04, 0x04) << name;
    }
    Bytes expectedFinder = labelled;
    expectedFinder[8] |= 0x04;
    EXPECT_EQ(test::rawAttribute(at("beta.txt"), kFinder), expectedFinder) << "other Finder bytes are kept";
    const auto betaResources = platform::parseResourceFork(test::rawAttribute(at("beta.txt"), kFork));
    ASSERT_TRUE(betaResources.has_value());
    ASSERT_EQ(betaResources->size(), 2u);
    EXPECT_EQ((*betaResources)[0].data, test::bytesOf("foreign")) << "a foreign resource is kept";
    EXPECT_EQ((*betaResources)[1].id, -16455);
    expectReadableIconFork(test::rawAttribute(at("alpha.txt"), kFork), scratch.path(), "alpha.txt");

    Bytes invisible(32, 0);
    invisible[8] = 0x40;
    for (const auto& [folder, contents, mode] : {std::tuple{"Docs", "", 0644u}, std::tuple{"Editor.app", "", 0644u},
                                                 std::tuple{"Photos", "old icon data", 0600u}}) {
        const std::string icon = at(folder) + "/Icon\r";
        EXPECT_EQ(test::readFile(icon), contents) << folder;
        EXPECT_EQ(test::fileMode(icon), mode) << folder;
        EXPECT_EQ(test::rawAttribute(icon, kFinder), invisible) << folder;
        expectReadableIconFork(test::rawAttribute(icon, kFork), scratch.path(), folder);
    }
    EXPECT_EQ(test::rawAttribute(at("Photos/Icon\r"), "user.note"), test::bytesOf("keep"));
    for (const char* name : {"Locked.app", "Vault.app", "Doc.pages", "hard1", "Secret", ".secret", "pipe"}) {
        EXPECT_TRUE(untouched(at(name))) << name;
    }

    const BackupManifest manifest = engine.loadManifest().value();
    EXPECT_EQ(manifest.rootPath, root);
    EXPECT_EQ(manifest.rootIdentity, identifyItem(FileSystem::real(), root));
    ASSERT_EQ(manifest.entries.size(), skinned.size());
    for (std::size_t i = 0; i < skinned.size(); ++i) {
        const BackupEntry& entry = manifest.entries[i];
        const std::string& name = skinned[i];
        EXPECT_EQ(entry.name, name);
        EXPECT_EQ(entry.phase, kPhaseApplied) << name;
        EXPECT_EQ(entry.identity, before[name].first) << name;
        EXPECT_EQ(entry.original, before[name].second) << name;
        EXPECT_EQ(entry.applied, stateOf(at(name))) << name;
    }
    expectNoStaging();
}

TEST_F(applyTransaction, PredictionMatchesTheRealChangeExactly) {
    test::writeFile(at("plain.txt"), "p");
    test::makeDirectory(at("Empty"));
    test::makeDirectory(at("Carrier"));
    test::writeFile(at("Carrier/Icon\r"), "legacy", 0640);
    test::setRawAttribute(at("Carrier/Icon\r"), kFork, forkWith("TEXT", 128, "note"));
    test::setRawAttribute(at("Carrier/Icon\r"), kFinder, Bytes(32, 0x21));

    for (const char* name : {"plain.txt", "Empty", "Carrier"}) {
        const FileIdentity identity = identifyItem(FileSystem::real(), at(name));
        const IconState original = stateOf(at(name));
        const IconState predicted = engine.predictAppliedState(identity, original);
        EXPECT_EQ(stateOf(at(name)), original) << name << " is not touched by the rehearsal";
        EXPECT_NE(predicted, original) << name;
        const IconState after = engine.setItemIcon(at(name), identity);
        EXPECT_EQ(after, stateOf(at(name))) << name;
        EXPECT_EQ(predicted, after) << name;
    }
    expectNoStaging();
}

TEST_F(applyTransaction, FailedPredictionLeavesItemUntouchedAndUnrecorded) {
    fs.onSetAttribute = [](const std::string& path, const std::string&) -> std::optional<int> {
        return path.find("/staging-") != std::string::npos ? std::optional<int>(EIO) : std::nullopt;
    };
    test::writeFile(at("solo.txt"), "s");
    EXPECT_EQ(engine.apply(root, false, false), (OperationReport{0, 0, {"solo.txt：无法生成图标"}, 0, {}, {}}));
    EXPECT_TRUE(untouched(at("solo.txt")));
    EXPECT_FALSE(hasManifest());
    expectNoStaging();

    // Copying an item's Finder information onto the staging copy fails first, with that
    // write's own message; the item is still untouched and unrecorded.
    test::makeDirectory(scratch / "tagged");
    Bytes finder(32, 0);
    finder[9] = 0x0C;
    test::writeFile(scratch / "tagged/tagged.txt", "t");
    test::setRawAttribute(scratch / "tagged/tagged.txt", kFinder, finder);
    const OperationReport report = engine.apply(scratch / "tagged", false, false);
    ASSERT_EQ(report.errors.size(), 1u);
    EXPECT_TRUE(report.errors[0].starts_with("tagged.txt：无法写入图标属性：item（")) << report.errors[0];
    EXPECT_EQ(report.remaining, 0);
    EXPECT_EQ(test::rawAttribute(scratch / "tagged/tagged.txt", kFinder), finder);
    EXPECT_FALSE(test::hasRawAttribute(scratch / "tagged/tagged.txt", kFork));
    EXPECT_FALSE(hasManifest());
    expectNoStaging();
}

TEST_F(applyTransaction, StopsWhenTheItemChangesAfterItsBackupIsSaved) {
    test::writeFile(at("a.txt"), "a");
    test::writeFile(at("b.txt"), "b");
    Bytes marker(32, 0);
    std::copy_n("MARK", 4, marker.begin());
    bool changed = false;
    fs.afterRename = [&](const std::string& to) {
        if (!changed && to.ends_with("/backup.json")) {
            changed = true;
            test::setRawAttribute(at("a.txt"), kFinder, marker);
        }
    };
    // The prepared entry stays pending.
    EXPECT_EQ(engine.apply(root, false, false),
              (OperationReport{1, 0, {"a.txt：备份后项目发生变化，已停止修改"}, 2, {}, {}}));
    EXPECT_EQ(test::rawAttribute(at("a.txt"), kFinder), marker);
    EXPECT_FALSE(test::hasRawAttribute(at("a.txt"), kFork));
    EXPECT_EQ(phases(), (Phases{{"a.txt", kPhasePrepared}, {"b.txt", kPhaseApplied}}));
    const BackupEntry prepared = engine.loadManifest().value().entries[0];
    EXPECT_EQ(prepared.original, IconState{});
    EXPECT_EQ(prepared.applied, engine.predictAppliedState(prepared.identity, IconState{})) << "the prediction";
}

TEST_F(applyTransaction, ReportsAChangeThePlatformRefusesOrIgnores) {
    test::writeFile(at("refused.txt"), "r");
    test::writeFile(at("silent.txt"), "s");
    fs.onSetAttribute = [&](const std::string& path, const std::string& name) -> std::optional<int> {
        return path == at("refused.txt")                                      ? std::optional<int>(EIO)
               : path == at("silent.txt") && name == "com.apple.FinderInfo" ? std::optional<int>(0)
                                                                            : std::nullopt;
    };
    EXPECT_EQ(engine.apply(root, false, false),
              (OperationReport{0, 0, {"refused.txt：系统未允许更改图标，请检查文件夹权限", "silent.txt：图标设置未生效"},
                               2, {}, {}}));
    EXPECT_EQ(phases(), (Phases{{"refused.txt", kPhasePrepared}, {"silent.txt", kPhasePrepared}}));
    EXPECT_TRUE(untouched(at("refused.txt")));
    EXPECT_FALSE(test::hasRawAttribute(at("silent.txt"), kFinder));
}

TEST_F(applyTransaction, RefusesASecondApplyWithoutLookingAtTheRoot) {
    test::writeFile(at("x.txt"), "x");
    ASSERT_EQ(engine.apply(root, false, false).succeeded, 1);
    const std::string manifest = test::readFile(backups + "/backup.json");
    test::writeFile(at("y.txt"), "y");

    fs.watched = root;
    EXPECT_EQ(skinErrorOf([&] { engine.apply(root, false, false); }), "已有待还原的备份，请先点击“一键还原”。");
    EXPECT_TRUE(fs.looks.empty()) << fs.looks.front();
    EXPECT_EQ(test::readFile(backups + "/backup.json"), manifest);
    EXPECT_TRUE(untouched(at("y.txt")));
}

TEST_F(applyTransaction, CountsOnlyWhatItLooksAtAndRecordsNothingWhenNothingIsSkinned) {
    for (const char* name : {"a", "b", "c"}) {
        test::writeFile(at(name), "");
    }
    ASSERT_EQ(::symlink(at("a").c_str(), at("link").c_str()), 0);
    EXPECT_EQ(engine.apply(root, false, false, std::set<std::string>{}), OperationReport{});
    EXPECT_FALSE(hasManifest());

    const std::string skipped = scratch / "skipped";
    test::makeDirectory(skipped);
    ASSERT_EQ(::symlink("/", (skipped + "/link").c_str()), 0);
    ASSERT_EQ(::mkfifo((skipped + "/pipe").c_str(), 0644), 0);
    test::makeDirectory(skipped + "/Doc.pages");
    test::makeDirectory(skipped + "/Only.app");
    EXPECT_EQ(engine.apply(skipped, false, false), (OperationReport{0, 4, {}, 0, {}, {}}));
    EXPECT_FALSE(hasManifest());
    EXPECT_TRUE(untouched(skipped + "/Only.app"));

    // Names outside `only` are passed over, not counted as skipped.
    const OperationReport report = engine.apply(root, false, false, std::set<std::string>{"b"});
    EXPECT_EQ(report, (OperationReport{1, 0, {}, 1, {}, {}}));
    EXPECT_TRUE(untouched(at("a")));
    EXPECT_TRUE(untouched(at("c")));
    EXPECT_EQ(phases(), (Phases{{"b", kPhaseApplied}}));
}

TEST_F(applyTransaction, StopsSkinningARootThatWasReplacedMidRun) {
    for (const char* name : {"a.txt", "b.txt", "c.txt"}) {
        test::writeFile(at(name), name);
    }
    int saves = 0;
    fs.afterRename = [&](const std::string& to) {
        if (to.ends_with("/backup.json") && ++saves == 2) {
            ASSERT_EQ(::rename(root.c_str(), (root + ".old").c_str()), 0);
            test::makeDirectory(root);
            test::writeFile(at("b.txt"), "b");
            test::writeFile(at("c.txt"), "c");
        }
    };
    EXPECT_EQ(engine.apply(root, false, false),
              (OperationReport{1, 0, {"b.txt：所选文件夹已被替换", "c.txt：所选文件夹已被替换"}, 1, {}, {}}));
    EXPECT_EQ(phases(), (Phases{{"a.txt", kPhaseApplied}}));
    for (const std::string& folder : {root, root + ".old"}) {
        EXPECT_TRUE(untouched(folder + "/b.txt")) << folder;
        EXPECT_TRUE(untouched(folder + "/c.txt")) << folder;
    }
}

TEST_F(applyTransaction, ListsSkinnedApplicationsThatAreRunning) {
    for (const char* app : {"Editor.app", "Other.app", "Viewer.APP"}) {
        test::makeDirectory(at(app));
    }
    test::makeDirectory(scratch / "elsewhere");
    workspace.running = {{at("Editor.app"), true}, {scratch / "elsewhere/Other.app", true}, {at("Viewer.APP"), true}};
    const OperationReport report = engine.apply(root, true, false);
    EXPECT_EQ(report.succeeded, 3);
    EXPECT_EQ(report.relaunchApplications, (std::vector<std::string>{"Editor", "Viewer"}));
}

TEST_F(applyTransaction, WaitsForNoOneWhileAnotherOperationHoldsTheLock) {
    test::writeFile(at("a"), "");
    {
        const OperationLock held(FileSystem::real(), backups, "operation.lock");
        EXPECT_EQ(skinErrorOf([&] { engine.apply(root, false, false); }), "另一个窗口正在操作，请稍后重试。");
        EXPECT_TRUE(untouched(at("a")));
        EXPECT_FALSE(hasManifest());
    }
    EXPECT_EQ(engine.apply(root, false, false).succeeded, 1) << "the lock is free again";
}

}  // namespace
}  // namespace lumaro
