// The Linux stand-ins for the desktop session: the key-file editor (its byte-keeping round trip is fuzzed),
// display order, processes launched from an entry or a bundle, and a batch over XDG folders GLib reads back.
#include <gio/gdesktopappinfo.h>
#include <signal.h>

#include <QLocale>
#include <filesystem>

#include "batch/icon_batch_engine.h"
#include "platform/key_file.h"
#include "tests/support/fault_fs.h"

namespace lumaro::platform {
namespace {

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
    for (const auto& [locale, expected] : std::map<std::string, std::string>{
             {"zh_CN.UTF-8@x", "丙"}, {"zh_CN.UTF-8", "中"}, {"zh_TW", "中"}, {"sr_RS@latin", "L"},
             {"C", "Plain"}, {"de_DE", "Plain"}})
        EXPECT_EQ(file->localizedValue("G", "Name", locale), expected) << locale;
    file->setValue("G", "V", " a\\b\n\tc\r");
    EXPECT_EQ(file->rawValue("G", "V"), "\\sa\\\\b\\n\\tc\\r");
    EXPECT_EQ(file->value("G", "V"), " a\\b\n\tc\r");
    for (const std::string& bad :
         std::vector<std::string>{"Key=before group\n[G]\n", "[G]\njunk line\n", "[G]\n[G]\n", "[G\n",
                                  "[G]\nA=\xff\n", "[G]\n=value\n", std::string(kMaxKeyFileSize + 1, '#')}) {
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
        for (const RunningApplication& application : Workspace::real().runningApplications())
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
             {a1 + "kde/edit.desktop", entry("", "edit-icon")}, {a1 + "tool.desktop", tool + "tool-icon\n"},
             {a2 + "tool.desktop", entry("", "lower")}, {a2 + "mine.desktop", entry("")},
             {a2 + "nodisplay.desktop", entry("NoDisplay=true\n")}, {a2 + "userhid.desktop", entry("")},
             {a2 + "hidden.desktop", entry("Hidden=true\n")}, {a2 + "lumaro.desktop", entry("")},
             {u + "userhid.desktop", "[Desktop Entry]\nHidden=true\n"},
             {a2 + "link.desktop", "[Desktop Entry]\nType=Link\nURL=http://x\n"},
             {a2 + "broken.desktop", "[Desktop Entry]\nnot a key\n"}})
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
    const auto engine = [&](FileSystem& fs, const std::string& name, std::optional<std::vector<std::string>> apps) {
        return IconBatchEngine(fs, workspace, scratch / name, test::sampleImage(), std::move(apps), false);
    };
    const IconBatchEngine batch = engine(FileSystem::real(), "state", std::nullopt);

    // Given application folders, no entry is read or written. An applications folder that cannot be
    // written: each entry is told (three, and three refused files), nothing is written.
    EXPECT_TRUE(engine(FileSystem::real(), "scoped", std::vector{scratch / "Apps"}).apply(desk, true).errors.empty());
    test::FaultFs denied;
    denied.fail["access " + user + "/applications"] = EACCES;
    const IconBatchEngine locked = engine(denied, "locked", std::nullopt);
    const std::vector<std::string> lockedErrors = locked.apply(desk, true).errors;
    EXPECT_EQ(std::pair(std::count(lockedErrors.begin(), lockedErrors.end(), "工具：应用没有写入权限，已跳过"),
                        lockedErrors.size()), std::pair(std::ptrdiff_t{1}, std::size_t{6}));
    EXPECT_EQ(test::treeSnapshot(u), before);
    EXPECT_FALSE(locked.pendingScope().has_value());

    const OperationReport applied = batch.apply(desk, true);
    EXPECT_EQ(applied.succeeded, 3);
    EXPECT_EQ(applied.errors, (std::vector<std::string>{"broken.desktop：应用的启动项格式无效，已跳过",
                                                        "fifo.desktop：应用的启动项不是普通文件，已跳过",
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
    EXPECT_EQ(std::pair(shown.entries.size(), shown.problems.size()), (std::pair<std::size_t, std::size_t>(4, 3)));
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
    EXPECT_EQ(refused.errors, (std::vector<std::string>{"Mine：应用的启动项不是普通文件，已跳过",
                                                        "工具：图标或资源数据在换肤后被修改，已跳过并保留备份"}));
    EXPECT_EQ(batch.setAside().setAsideItems, (std::vector<std::string>{"Mine", "工具"}));
    EXPECT_EQ(test::treeSnapshot(u), changed);
}

}  // namespace
}  // namespace lumaro::platform
