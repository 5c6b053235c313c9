// The Linux stand-ins for the desktop session: the key-file editor (its byte-keeping round trip is fuzzed),
// display order, processes launched from an entry or a bundle, and a batch over XDG folders GLib reads back;
// then the batch over the chosen folder and the user's applications: discovery, apply, restore, its lock.
#include <gio/gdesktopappinfo.h>
#include <signal.h>

#include <QLocale>
#include <filesystem>

#include "batch/icon_batch_engine.h"
#include "platform/browser_names.h"
#include "platform/key_file.h"
#include "records/json.h"
#include "records/operation_lock.h"
#include "tests/support/fault_fs.h"

namespace lumaro {
namespace {

using namespace platform;
using namespace test;

TEST(KeyFile, ChangesOnlyTheIntendedLinesAndRefusesMalformedFiles) {
    for (const auto& [original, expected] : std::vector<std::pair<std::string, std::string>>{
             {"", "[Desktop Entry]\nIcon=/i.png\n"},
             {"[Settings]\nA=1", "[Settings]\nA=1\n\n[Desktop Entry]\nIcon=/i.png\n"},
             {"[Desktop Entry]\nName=x\n# tail\n\n[Other]\n",
              "[Desktop Entry]\nName=x\nIcon=/i.png\n# tail\n\n[Other]\n"},
             {"[Desktop Entry]\nName=x", "[Desktop Entry]\nName=x\nIcon=/i.png"},
             {"[Desktop Entry]\nIcon = old\nIcon[fr]=y\n", "[Desktop Entry]\nIcon=/i.png\nIcon[fr]=y\n"}})
        EXPECT_EQ(skinnedDirectoryFile(original, "/i.png"), expected) << original;

    // Localized values, escapes, and malformed files refused.
    auto file = KeyFile::parse("[G]\nName=Plain\nName[zh]=中\nName[zh_CN@x]=丙\nName[sr@latin]=L\n");
    ASSERT_TRUE(file);
    for (const auto& [locale, expected] : std::map<std::string, std::string>{{"zh_CN.UTF-8@x", "丙"},
                                                                             {"zh_CN.UTF-8", "中"},
                                                                             {"zh_TW", "中"},
                                                                             {"sr_RS@latin", "L"},
                                                                             {"C", "Plain"},
                                                                             {"de_DE", "Plain"}})
        EXPECT_EQ(file->localizedValue("G", "Name", locale), expected) << locale;
    file->setValue("G", "V", " a\\b\n\tc\r");
    EXPECT_EQ(file->rawValue("G", "V"), "\\sa\\\\b\\n\\tc\\r");
    EXPECT_EQ(file->value("G", "V"), " a\\b\n\tc\r");
    for (const std::string& bad : std::vector<std::string>{
             "Key=before group\n[G]\n", "[G]\njunk line\n", "[G]\n[G]\n", "[G\n", "[G]\nA=\xff\n",
             "[G]\n=value\n", std::string(platform::kMaxValueSize + 1, '#')}) {
        std::string problem;
        EXPECT_FALSE(KeyFile::parse(bad, &problem) || problem.empty()) << bad.substr(0, 40);
    }
}

TEST(Workspace, DisplayOrderIsNumericCaseInsensitiveAndStableInEveryLocale) {
    const QLocale saved;
    for (const char* locale : {"C", "en_US", "de_DE", "sv_SE", "zh_CN"}) {
        QLocale::setDefault(QLocale(locale));
        std::vector<std::string> names = {"b10", "Readme", "B2", "readme", "a"};
        sortNamesForDisplay(names);  // names that compare equal keep their order
        EXPECT_EQ(names, (std::vector<std::string>{"a", "B2", "b10", "Readme", "readme"})) << locale;
    }
    QLocale::setDefault(saved);
}

// One of the user's processes, launched from an entry, its executable inside a bundle: both readers find it.
TEST(DesktopEntries, FindsTheUsersProcessesLaunchedFromAnEntryOrRunningFromABundle) {
    test::ScratchDir scratch;
    const std::string path = scratch / "tool.desktop", bundle = scratch / "Sleeper.App";
    std::filesystem::create_directories(bundle + "/Contents/MacOS");
    std::filesystem::copy_file("/bin/sleep", bundle + "/Contents/MacOS/sleeper");
    const pid_t pid = std::stoi(test::run("GIO_LAUNCHED_DESKTOP_FILE='" + path + "' '" + bundle +
                                          "/Contents/MacOS/sleeper' 30 >/dev/null 2>&1 & echo $!"));
    std::set<std::string> found;
    bool running = false;
    for (int attempt = 0; attempt < 100 && (found.empty() || !running); ++attempt) {
        ::usleep(20000);
        found = launchedDesktopFiles(FileSystem::real(), {path, scratch / "other.desktop"});
        for (const RunningApplication& application : LinuxWorkspace().runningApplications())
            running = running || (application.bundlePath == bundle && application.regular);
    }
    ::kill(pid, SIGKILL);
    EXPECT_EQ(std::pair(found, running), std::pair(std::set<std::string>{path}, true));
}

// GLib's own reading of the entry's icon: a file's path or a theme name.
std::string iconGLibShows(const std::string& id) {
    GDesktopAppInfo* info = g_desktop_app_info_new(id.c_str());
    char* text = info == nullptr ? nullptr : g_icon_to_string(g_app_info_get_icon(G_APP_INFO(info)));
    const std::string shown = text == nullptr ? "none" : text;
    return g_free(text), info == nullptr ? void() : g_object_unref(info), shown;
}

// Scratch XDG folders (a relative one among them, ignored) holding every kind of entry: a nested one,
// one shadowed by a lower folder, the user's own copy, hidden ones, the program's own, a link entry,
// a malformed file, a symbolic link and a FIFO. Shown, named in Chinese: kde-edit, mine (the user's), tool.
TEST(Xdg, ABatchSkinsShownEntriesAndTheRestoreBringsTheUserFolderBackExactly) {
    test::ScratchDir scratch;
    const std::string user = scratch / "home", sys1 = scratch / "sys1", sys2 = scratch / "sys2";
    const std::string a1 = sys1 + "/applications/", a2 = sys2 + "/applications/", u = user + "/applications/";
    ::setenv("LC_ALL", "zh_CN.UTF-8", 1);
    ::setenv("XDG_DATA_HOME", user.c_str(), 1);
    ::setenv("XDG_DATA_DIRS", (sys1 + "::relative:" + sys2).c_str(), 1);
    for (const std::string& folder : {a1 + "kde", a2, u, scratch / "Desktop"})
        std::filesystem::create_directories(folder);
    const std::string tool = "[Desktop Entry]\nType=Application\nName=Tool\nName[zh_CN]=工具\nIcon=";
    const std::string mine = "# kept\n[Desktop Entry]\nType=Application\nName=Mine\nIcon=";
    const auto entry = [](const std::string& extra, const std::string& icon = "tool") {
        return "[Desktop Entry]\nType=Application\nName=N\nName[zh]=名\nIcon=" + icon + "\n" + extra;
    };
    for (const auto& [path, text] : std::map<std::string, std::string>{
             {a1 + "kde/edit.desktop", entry("", "edit-icon")},
             {a1 + "tool.desktop", tool + "tool-icon\n"},
             {a2 + "tool.desktop", entry("", "lower")},
             {a2 + "mine.desktop", entry("")},
             {a2 + "nodisplay.desktop", entry("NoDisplay=true\n")},
             {a2 + "userhid.desktop", entry("")},
             {a2 + "hidden.desktop", entry("Hidden=true\n")},
             {a2 + "lumaro.desktop", entry("")},
             {u + "userhid.desktop", "[Desktop Entry]\nHidden=true\n"},
             {a2 + "link.desktop", "[Desktop Entry]\nType=Link\nURL=http://x\n"},
             {a2 + "broken.desktop", "[Desktop Entry]\nnot a key\n"},
             {a2 + "bad\xff.desktop", entry("")},
             {a2 + std::string(232, 'l') + ".desktop", entry("")}})
        test::writeFile(path, text);
    test::writeFile(u + "mine.desktop", mine + "m\nIcon[de]=x\n\n[X a]\nIcon=k\n", 0600);
    std::filesystem::create_symlink(a2 + "tool.desktop", a2 + "symlink.desktop");
    ASSERT_EQ(::mkfifo((a2 + "fifo.desktop").c_str(), 0644), 0);

    const auto before = test::treeSnapshot(u);
    test::FakeWorkspace workspace;
    const DesktopDataFolders& folders = workspace.dataFolders = desktopDataFolders("/nohome");
    EXPECT_EQ(std::pair(folders.user, folders.system), std::pair(user, std::vector<std::string>{sys1, sys2}));
    workspace.launched = {u + "tool.desktop"};
    const std::string fur = scratch / "state/furball.png", desk = scratch / "Desktop";
    const auto engine = [&](FileSystem& fs, const std::string& name,
                            std::optional<std::vector<std::string>> apps) {
        return IconBatchEngine(fs, workspace, scratch / name, test::sampleImage(), {std::move(apps), false});
    };
    const IconBatchEngine batch = engine(FileSystem::real(), "state", std::nullopt);

    // Given application folders, no entry is read or written. An applications folder that cannot be
    // written: each entry is told (three, and five refused files), nothing is written.
    EXPECT_TRUE(
        engine(FileSystem::real(), "scoped", std::vector{scratch / "Apps"}).apply(desk, true).errors.empty());
    test::FaultFs denied;
    denied.fail["access " + user + "/applications"] = EACCES;
    const IconBatchEngine locked = engine(denied, "locked", std::nullopt);
    const std::vector<ItemError> lockedErrors = locked.apply(desk, true).errors;
    const ItemError deniedTool{"工具", ErrorKind::noWritePermission, kNoWritePermission};
    EXPECT_EQ(std::pair(std::ranges::count(lockedErrors, deniedTool), lockedErrors.size()),
              std::pair(std::ptrdiff_t{1}, std::size_t{8}));
    EXPECT_EQ(test::treeSnapshot(u), before);
    EXPECT_FALSE(locked.pendingScope().has_value());

    const OperationReport applied = batch.apply(desk, true);
    EXPECT_EQ(applied.succeeded, 3);
    // IDs that are not UTF-8 or leave no room for a private name beside them are told apart; the rest go on.
    const std::string unusable = "：应用的启动项名称不是有效的 UTF-8 或过长，已跳过";
    EXPECT_EQ(
        errorLines(applied.errors),
        (std::vector<std::string>{
            "bad\uFFFD.desktop" + unusable, "broken.desktop：应用的启动项格式无效，已跳过",
            "fifo.desktop：应用的启动项不是普通文件，已跳过", std::string(232, 'l') + ".desktop" + unusable,
            "symlink.desktop：应用的启动项不是普通文件，已跳过"}));
    EXPECT_EQ(applied.relaunchApplications, std::vector<std::string>{"工具"});
    auto skinned = before;  // no copy of hidden entries nor of the program's own
    skinned[u + "tool.desktop"] = "420 " + tool + fur + "\n";
    skinned[u + "kde-edit.desktop"] = "420 " + entry("", fur);
    skinned[u + "mine.desktop"] = "384 " + mine + fur + "\n\n[X a]\nIcon=k\n";
    EXPECT_EQ(test::treeSnapshot(u), skinned);
    EXPECT_EQ(iconGLibShows("tool.desktop"), fur);
    EXPECT_EQ(batch.restore(), (OperationReport{3, 0, {}, 0, {"工具"}, {}}));
    EXPECT_EQ(test::treeSnapshot(u), before);

    // The applications folder gone: its entries wait in skip records; a retry restores them once it is back.
    ASSERT_EQ(batch.apply(desk, true).succeeded, 3);
    std::filesystem::rename(user + "/applications", user + "/away");
    EXPECT_EQ(batch.restore().missingItems, (std::vector<std::string>{"名", "Mine", "工具"}));
    // Absent, the user's folder hides nothing: the system's mine and userhid show again.
    const DesktopEntryDiscovery shown = discoverDesktopEntries(FileSystem::real(), folders, "C");
    EXPECT_EQ(std::pair(shown.entries.size(), shown.problems.size()),
              (std::pair<std::size_t, std::size_t>(4, 5)));
    std::filesystem::rename(user + "/away", user + "/applications");
    EXPECT_EQ(batch.retry().succeeded, 3);
    EXPECT_EQ(test::treeSnapshot(u), before);

    // Copies changed after the skin are never overwritten, by a restore nor a set-aside: an edit or a
    // link keeps its backup; a deleted copy the skin had made is simply gone.
    ASSERT_EQ(batch.apply(desk, true).succeeded, 3);
    test::writeFile(u + "tool.desktop", "[Desktop Entry]\nType=Application\nName=Tool\nIcon=mine\n");
    std::filesystem::remove(u + "kde-edit.desktop");
    std::filesystem::remove(u + "mine.desktop");
    std::filesystem::create_symlink(a2 + "mine.desktop", u + "mine.desktop");
    const auto changed = test::treeSnapshot(u);
    const OperationReport refused = batch.restore();
    EXPECT_EQ(std::pair(refused.succeeded, refused.remaining), std::pair(std::int64_t{1}, std::int64_t{2}));
    EXPECT_EQ(errorLines(refused.errors),
              (std::vector<std::string>{"Mine：应用的启动项不是普通文件，已跳过",
                                        "工具：图标或资源数据在换肤后被修改，已跳过并保留备份"}));
    EXPECT_EQ(batch.setAside().setAsideItems, (std::vector<std::string>{"Mine", "工具"}));
    EXPECT_EQ(test::treeSnapshot(u), changed);
}

using Groups = std::map<std::string, std::set<std::string>>;
const std::string kDamaged = "{\"schema\": 1, \"rootPath\": ";  // a manifest cut short

void makeApp(const std::string& path) {
    std::filesystem::create_directories(path + "/Contents/MacOS");
}

// The fixture is also the workspace its engines see, with its home in the scratch folder.
struct BatchTest : ::testing::Test, FakeWorkspace {
    std::string homeDirectory() override { return scratch / "home"; }
    IconBatchEngine make(std::vector<std::string> roots, bool dock = false,
                         std::optional<std::vector<std::string>> urls = std::nullopt,
                         platform::FileSystem& fs = platform::FileSystem::real()) {
        return IconBatchEngine(fs, *this, state, loadFurball(), {std::move(roots), dock, std::move(urls)});
    }
    // Writes the Dock's preferences with Python's own plist writer.
    void writeDock(const std::string& json, bool binary) {
        std::filesystem::create_directories(scratch / "home/Library/Preferences");
        ASSERT_EQ(run("/usr/bin/python3 -c \"import json, plistlib, sys; open(sys.argv[1], "
                      "'wb').write(plistlib.dumps("
                      "json.loads(sys.argv[2]), fmt=plistlib.FMT_" +
                      std::string(binary ? "BINARY" : "XML") + "))\" '" +
                      scratch / "home/Library/Preferences/com.apple.dock.plist" + "' '" + json + "'"),
                  "");
    }
    ScratchDir scratch;
    std::string state = scratch / "state";
};

// Roots walked, never into packages, hidden entries or links; the Dock's tiles and the running applications
// added, or a given list in their place; system applications passed over.
TEST_F(BatchTest, DiscoveryWalksRootsAndAddsTheDockAndRunningApplicationsOrAGivenList) {
    const std::string a = scratch / "A", denied = scratch / "denied", apps = scratch / "apps",
                      url = "file://" + apps;
    for (const char* app : {"A/A.app", "A/Utilities/B.app", "A/Tool.APP", "A/Outer.app/Contents/Inner.app",
                            "A/.Hidden.app", "A/Secret.app", "A/Lib.framework/Sub.app", "A/Deep/er/C.app",
                            "denied/E.app", "elsewhere/Real.app", "apps/My Editor.app", "apps/Viewer.app",
                            "apps/Runner.app", "apps/Background.app", "apps/Ignored.app"})
        makeApp(scratch / app);
    writeFile(a + "/.hidden", "Secret.app\n");
    writeFile(a + "/Note.app", "not a folder");
    ASSERT_EQ(::symlink((scratch / "elsewhere/Real.app").c_str(), (a + "/Link.app").c_str()), 0);
    const auto tile = [](std::string u) {
        return R"({"tile-data":{"file-data":{"_CFURLString":")" + u + "\"}}}";
    };
    running = {{apps + "/Runner.app", true}, {apps + "/Background.app", false}};
    writeDock(R"({"persistent-apps":[)" + tile(url + "/My%20Editor.app/") + "," +
                  tile("https://x.org/Web.app/") +
                  R"(,{"tile-type":"spacer-tile"},{"tile-data":{"file-data":"x"}},)" +
                  R"({"tile-data":{"file-data":{"_CFURLString":7}}}]})",
              true);
    FaultFs fs;
    fs.fail = {{"list " + denied, EACCES}};
    const DiscoveredApplications found =
        make({a + "/", scratch / "missing", denied}, true, std::nullopt, fs).discoverApplications();
    // Outer.app is an application itself; only the one inside it is out of reach.
    EXPECT_EQ(found.groups, (Groups{{a, {"A.app", "Outer.app", "Tool.APP"}},
                                    {a + "/Deep/er", {"C.app"}},
                                    {a + "/Utilities", {"B.app"}},
                                    {apps, {"My Editor.app", "Runner.app"}}}));
    EXPECT_EQ(errorLines(found.errors), std::vector<std::string>{"无法读取应用程序文件夹：" + denied});
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
    IconBatchEngine engine = make({target + "/", one, two});
    const std::string broken = engine.applicationBackupDirectory("/somewhere");
    std::filesystem::create_directories(broken);
    writeFile(broken + "/backup.json", kDamaged);
    EXPECT_NE(errorOf<std::exception>([&] { engine.apply(target, true); }), "<no error>");
    EXPECT_EQ(std::pair(exists(state + "/scope.json"), treeSnapshot(w)), std::pair(false, before));
    std::filesystem::remove_all(broken);

    EXPECT_EQ(engine.apply(target + "/", false).succeeded, 2);
    const std::string scope = readFile(state + "/scope.json");  // its form is the records tests' concern
    EXPECT_EQ(std::pair(engine.pendingScope(), userAttributes(one + "/One.app").count(kFinderInfo) == 1),
              std::pair(std::optional(PendingScope{target, false}), false));
    EXPECT_EQ(errorOf([&] { engine.apply(target, false); }), "已有待还原的备份，请先点击“一键还原”。");
    EXPECT_EQ(readFile(state + "/scope.json"), scope);
    EXPECT_EQ(engine.restore(), (OperationReport{2, 0, {}, 0, {}, {}}));

    // One count across the batch's three engines, its total known from the first item on; five items, each
    // once (X.app, inside the chosen folder, is not taken again as an application).
    std::vector<std::pair<std::size_t, std::size_t>> counts;
    engine.setProgressHandler(
        [&](std::size_t done, std::size_t total, const std::string&) { counts.emplace_back(done, total); });
    const std::vector<std::pair<std::size_t, std::size_t>> oneToFive{{1, 5}, {2, 5}, {3, 5}, {4, 5}, {5, 5}};
    EXPECT_EQ(engine.apply(target, true), (OperationReport{5, 0, {}, 5, {"One"}, {}}));
    EXPECT_EQ(std::exchange(counts, {}), oneToFive);
    EXPECT_EQ(engine.restore(), (OperationReport{5, 0, {}, 0, {"One"}, {}}));
    EXPECT_EQ(std::exchange(counts, {}), oneToFive);
    EXPECT_EQ(std::pair(exists(state + "/scope.json"), treeSnapshot(w)), std::pair(false, before));

    ASSERT_EQ(engine.apply(target, true).succeeded, 5);
    // The old folder is kept under another name, so the new one cannot reuse its inode.
    ASSERT_EQ(::rename(target.c_str(), (w + "/target-old").c_str()), 0);
    makeDirectory(target);
    EXPECT_EQ(errorLines(engine.restore().errors),
              std::vector<std::string>{"原文件夹已被替换，已保留备份。"});
    EXPECT_EQ(
        std::pair(engine.pendingScope(), userAttributes(two + "/Utilities/Two.app").count(kFinderInfo) == 1),
        std::pair(std::optional(PendingScope{target, true}), false));
}

// One batch with every kind of item a restore keeps: an application changed after the skin, an applications
// folder replaced, one whose disk is away. The set-aside restores the rest, keeps each backup in exactly one
// skip record and ends the skin; a manifest it cannot read stays as it is, reported, and still blocks.
TEST_F(BatchTest, SetAsideKeepsEveryKindOfRefusedBackupInASkipRecordAndEndsTheSkin) {
    const std::string target = scratch / "target", a = scratch / "A", b = scratch / "B",
                      c = scratch / "mnt/C";
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
        EXPECT_EQ(std::ranges::count(errorLines(report.errors), message), 1) << message;
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
