// The batch over the chosen folder and the user's applications: discovery, apply and restore.
#include <filesystem>

#include "batch/icon_batch_engine.h"
#include "records/json.h"
#include "records/operation_lock.h"
#include "tests/support/fault_fs.h"

namespace lumaro {
namespace {

using namespace test;
using Groups = std::map<std::string, std::set<std::string>>;
const std::string kDamaged = "{\"schema\": 1, \"rootPath\": ";  // a manifest cut short

void makeApp(const std::string& path) { std::filesystem::create_directories(path + "/Contents/MacOS"); }

// The fixture is also the workspace its engines see, with its home in the scratch folder.
struct BatchTest : ::testing::Test, FakeWorkspace {
    std::string homeDirectory() override { return scratch / "home"; }
    IconBatchEngine make(std::vector<std::string> roots, bool dock = false,
                         std::optional<std::vector<std::string>> urls = std::nullopt,
                         platform::FileSystem& fs = platform::FileSystem::real()) {
        return IconBatchEngine(fs, *this, state, loadFurball(), std::move(roots), dock, std::move(urls));
    }
    // Writes the Dock's preferences with Python's own plist writer.
    void writeDock(const std::string& json, bool binary) {
        std::filesystem::create_directories(scratch / "home/Library/Preferences");
        ASSERT_EQ(run("/usr/bin/python3 -c \"import json, plistlib, sys; open(sys.argv[1], 'wb').write(plistlib.dumps("
                      "json.loads(sys.argv[2]), fmt=plistlib.FMT_" + std::string(binary ? "BINARY" : "XML") + "))\" '" +
                      scratch / "home/Library/Preferences/com.apple.dock.plist" + "' '" + json + "'"), "");
    }
    ScratchDir scratch;
    std::string state = scratch / "state";
};

// Roots walked, never into packages, hidden entries or links; the Dock's tiles and the running applications
// added, or a given list in their place; system applications passed over.
TEST_F(BatchTest, DiscoveryWalksRootsAndAddsTheDockAndRunningApplicationsOrAGivenList) {
    const std::string a = scratch / "A", denied = scratch / "denied", apps = scratch / "apps", url = "file://" + apps;
    for (const char* app :
         {"A/A.app", "A/Utilities/B.app", "A/Tool.APP", "A/Outer.app/Contents/Inner.app", "A/.Hidden.app",
          "A/Secret.app", "A/Lib.framework/Sub.app", "A/Deep/er/C.app", "denied/E.app", "elsewhere/Real.app",
          "apps/My Editor.app", "apps/Viewer.app", "apps/Runner.app", "apps/Background.app", "apps/Ignored.app"})
        makeApp(scratch / app);
    writeFile(a + "/.hidden", "Secret.app\n");
    writeFile(a + "/Note.app", "not a folder");
    ASSERT_EQ(::symlink((scratch / "elsewhere/Real.app").c_str(), (a + "/Link.app").c_str()), 0);
    const auto tile = [](std::string u) { return R"({"tile-data":{"file-data":{"_CFURLString":")" + u + "\"}}}"; };
    running = {{apps + "/Runner.app", true}, {apps + "/Background.app", false}};
    writeDock(R"({"persistent-apps":[)" + tile(url + "/My%20Editor.app/") + "," + tile("https://x.org/Web.app/") +
                  R"(,{"tile-type":"spacer-tile"},{"tile-data":{"file-data":"x"}},)" +
                  R"({"tile-data":{"file-data":{"_CFURLString":7}}}]})",
              true);
    FaultFs fs;
    fs.fail = {{"list " + denied, EACCES}};
    const DiscoveredApplications found =
        make({a + "/", scratch / "missing", denied}, true, std::nullopt, fs).discoverApplications();
    // Outer.app is an application itself; only the one inside it is out of reach.
    EXPECT_EQ(found.groups, (Groups{{a, {"A.app", "Outer.app", "Tool.APP"}}, {a + "/Deep/er", {"C.app"}},
                                    {a + "/Utilities", {"B.app"}}, {apps, {"My Editor.app", "Runner.app"}}}));
    EXPECT_EQ(found.errors, std::vector<std::string>{"无法读取应用程序文件夹：" + denied});
    // A tile that is not a dictionary empties its own list only.
    writeDock(R"({"persistent-apps":["text",)" + tile(url + "/Ignored.app/") + R"(],"recent-apps":[)" +
                  tile(url + "/Viewer.app/") + "]}",
              false);
    EXPECT_EQ(make({}, true).discoverApplications().groups, (Groups{{apps, {"Runner.app", "Viewer.app"}}}));

    const DiscoveredApplications given =
        make({}, true, std::vector<std::string>{a + "/Link.app", "/System/Applications/Calculator.app"})
            .discoverApplications();
    EXPECT_EQ(given.groups, (Groups{{scratch / "elsewhere", {"Real.app"}}}));
    EXPECT_EQ(given.passedOver, 1);
}

// A corrupt application backup blocks an apply before anything changes; a folder-only skin, then one with
// the applications across two roots (the chosen folder is one of them: skinned once, as the chosen one),
// each restored as it was; the chosen folder replaced, the restore keeps its backup and the scope.
TEST_F(BatchTest, AppliesAndRestoresTheFolderAloneThenWithApplicationsAndKeepsAReplacedFoldersScope) {
    const std::string w = scratch / "w", target = w + "/target", one = w + "/应用", two = w + "/apps2";
    std::filesystem::create_directories(target + "/Folder");
    writeFile(target + "/a.txt", "a");
    setRawAttribute(target + "/a.txt", kFinderInfo, finderInfo("TEXTttxt"));
    setRawAttribute(target + "/a.txt", "user.note", bytesOf("keep"));
    for (const std::string& app : {target + "/X.app", one + "/One.app", two + "/Utilities/Two.app"})
        makeApp(app);
    const auto before = treeSnapshot(w);
    running = {{one + "/One.app", true}};
    const IconBatchEngine engine = make({target + "/", one, two});
    const std::string broken = engine.applicationBackupDirectory("/somewhere");
    std::filesystem::create_directories(broken);
    writeFile(broken + "/backup.json", kDamaged);
    EXPECT_NE(errorOf<std::exception>([&] { engine.apply(target, true); }), "<no error>");
    EXPECT_EQ(std::pair(exists(state + "/scope.json"), treeSnapshot(w)), std::pair(false, before));
    std::filesystem::remove_all(broken);

    EXPECT_EQ(engine.apply(target + "/", false).succeeded, 2);
    const std::string scope = readFile(state + "/scope.json");  // its form is the records tests' concern
    EXPECT_EQ(std::pair(engine.pendingScope(), hasRawAttribute(one + "/One.app", kFinderInfo)),
              std::pair(std::optional(PendingScope{target, false}), false));
    EXPECT_EQ(errorOf([&] { engine.apply(target, false); }), "已有待还原的备份，请先点击“一键还原”。");
    EXPECT_EQ(readFile(state + "/scope.json"), scope);
    EXPECT_EQ(engine.restore(), (OperationReport{2, 0, {}, 0, {}, {}}));

    EXPECT_EQ(engine.apply(target, true), (OperationReport{5, 0, {}, 5, {"One"}, {}}));
    EXPECT_TRUE(hasRawAttribute(two + "/Utilities/Two.app", kFinderInfo));
    for (const std::string& folder : {one, two + "/Utilities"})
        EXPECT_TRUE(exists(engine.applicationBackupDirectory(folder) + "/backup.json")) << folder;
    EXPECT_FALSE(exists(engine.applicationBackupDirectory(target)));
    EXPECT_EQ(engine.restore(), (OperationReport{5, 0, {}, 0, {"One"}, {}}));
    EXPECT_EQ(std::pair(exists(state + "/scope.json"), treeSnapshot(w)), std::pair(false, before));

    ASSERT_EQ(engine.apply(target, true).succeeded, 5);
    // The old folder is kept under another name, so the new one cannot reuse its inode.
    ASSERT_EQ(::rename(target.c_str(), (w + "/target-old").c_str()), 0);
    makeDirectory(target);
    EXPECT_EQ(engine.restore().errors, std::vector<std::string>{"原文件夹已被替换，已保留备份。"});
    EXPECT_EQ(std::pair(engine.pendingScope(), hasRawAttribute(two + "/Utilities/Two.app", kFinderInfo)),
              std::pair(std::optional(PendingScope{target, true}), false));
}

// One batch with every kind of item a restore keeps: an application changed after the skin, an applications
// folder replaced, one whose disk is away. The set-aside restores the rest, keeps each backup in exactly one
// skip record and ends the skin; a manifest it cannot read stays as it is, reported, and still blocks.
TEST_F(BatchTest, SetAsideKeepsEveryKindOfRefusedBackupInASkipRecordAndEndsTheSkin) {
    const std::string target = scratch / "target", a = scratch / "A", b = scratch / "B", c = scratch / "mnt/C";
    makeDirectory(target);
    writeFile(target + "/doc.txt", "d");
    for (const std::string& app : {a + "/One.app", b + "/Two.app", c + "/Three.app"})
        makeApp(app);
    FaultFs fs;
    const IconBatchEngine engine = make({a, b, c}, false, std::nullopt, fs);
    ASSERT_EQ(engine.apply(target, true).succeeded, 4);
    setRawAttribute(a + "/One.app", kFinderInfo, finderInfo("APPLappl"));  // changed after the skin
    ASSERT_EQ(::rename(b.c_str(), (scratch / "B-old").c_str()), 0);        // replaced
    makeApp(b + "/Two.app");
    ASSERT_EQ(::rename(c.c_str(), (scratch / "C-away").c_str()), 0);  // its disk away
    fs.otherDevice = scratch / "mnt";

    const OperationReport report = engine.setAside();  // doc.txt restored, not set aside
    EXPECT_EQ(std::pair(report.succeeded, std::set(report.setAsideItems.begin(), report.setAsideItems.end())),
              std::pair(std::int64_t{1}, std::set<std::string>{"One.app", "Two.app", "Three.app"}));
    for (const char* message :
         {"One.app：图标或资源数据在换肤后被修改，已跳过并保留备份", "原文件夹已被替换，已保留备份。",
          "原磁盘尚未连接或文件夹不可用，已保留备份。"})
        EXPECT_EQ(std::count(report.errors.begin(), report.errors.end(), message), 1) << message;
    std::multiset<std::string> recorded;
    for (const auto& file : std::filesystem::recursive_directory_iterator(state)) {
        EXPECT_NE(file.path().filename(), "backup.json") << file.path();
        if (file.path().parent_path().filename() == "missing-backups")
            for (const BackupEntry& entry : decodeManifest(readFile(file.path())).entries)
                recorded.insert(entry.name);
    }
    EXPECT_EQ(recorded, (std::multiset<std::string>{"One.app", "Three.app", "Two.app"}));
    EXPECT_EQ(engine.pendingScope(), std::nullopt);

    // A new skin works; a manifest that cannot be read then stays, reported, and the skin stays pending.
    ASSERT_EQ(engine.apply(target, false).succeeded, 1);
    writeFile(state + "/backup.json", kDamaged);
    EXPECT_FALSE(engine.setAside().errors.empty());
    EXPECT_EQ(std::pair(readFile(state + "/backup.json"), exists(state + "/scope.json")),
              std::pair(kDamaged, true));
}

// The batch lock held through another descriptor refuses at once. Through FaultFs (which refuses a waiting
// flock): one holder at a time; a file left by an earlier run reused as it is, a new one made 0600, never
// one through a link; refused attempts closed.
TEST_F(BatchTest, BatchLockHeldElsewhereRefusesAtOnceAndTheLockIsExclusiveAndNeverFollowsALink) {
    FaultFs fs;
    const IconBatchEngine engine = make({});
    const std::string lock = state + "/" + kBatchLockFileName;
    const auto lockError = [&](const char* n) { return errorOf([&] { OperationLock other(fs, state, n); }); };
    writeFile(lock, "left by an earlier run\n", 0600);
    std::optional<OperationLock> first(std::in_place, fs, state, kBatchLockFileName);
    EXPECT_EQ(errorOf([&] { engine.apply(scratch.path(), false); }), kLockBusyMessage);
    EXPECT_FALSE(exists(state + "/scope.json"));
    EXPECT_EQ(lockError(kBatchLockFileName), kLockBusyMessage);
    EXPECT_FALSE(fs.blocked);
    first.reset();
    EXPECT_EQ(lockError(kBatchLockFileName), "<no error>");
    EXPECT_EQ(readFile(lock), "left by an earlier run\n");
    EXPECT_EQ(lockError("new"), "<no error>");
    EXPECT_EQ(fileMode(state + "/new"), 0600u);
    ASSERT_EQ(::symlink((state + "/target").c_str(), (state + "/link").c_str()), 0);
    EXPECT_EQ(lockError("link"), "无法打开操作锁");
    EXPECT_FALSE(exists(state + "/target"));
    EXPECT_TRUE(fs.openFds.empty());
}

}  // namespace
}  // namespace lumaro
