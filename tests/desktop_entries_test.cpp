// Desktop entries: the byte-preserving key-file editor, discovery in scratch XDG folders, the
// processes launched from an entry, and GLib's own reading of a skinned entry.
#include <gio/gdesktopappinfo.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include <gtest/gtest.h>

#include "batch/icon_batch_engine.h"
#include "platform/desktop_entries.h"
#include "platform/key_file.h"
#include "tests/support/fault_fs.h"
#include "tests/support/scratch.h"

namespace lumaro::platform {
namespace {

const std::string kEntry =
    "# a comment\r\n[Desktop Entry]\r\nType=Application\r\nName=Tool\r\nName[zh_CN]=工具\r\n"
    "Icon=tool\r\nIcon[de]=werkzeug\r\n\r\n[Desktop Action new]\r\nIcon=other\r\nName=New";

TEST(KeyFile, KeepsEveryByteAndChangesOnlyTheIntendedLines) {
    auto file = KeyFile::parse(kEntry);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->serialize(), kEntry);
    EXPECT_EQ(skinnedDesktopEntry(kEntry, "/s/fur ball.png"),
              "# a comment\r\n[Desktop Entry]\r\nType=Application\r\nName=Tool\r\nName[zh_CN]=工具\r\n"
              "Icon=/s/fur ball.png\r\n\r\n[Desktop Action new]\r\nIcon=other\r\nName=New");
    struct Case {
        std::string original, expected;
    } cases[] = {
        {"", "[Desktop Entry]\nIcon=/i.png\n"},
        {"[Settings]\nA=1", "[Settings]\nA=1\n\n[Desktop Entry]\nIcon=/i.png\n"},
        {"[Desktop Entry]\nName=x\n# tail\n\n[Other]\n",
         "[Desktop Entry]\nName=x\nIcon=/i.png\n# tail\n\n[Other]\n"},
        {"[Desktop Entry]\nName=x", "[Desktop Entry]\nName=x\nIcon=/i.png"},
        {"[Desktop Entry]\nIcon = old\nIcon[fr]=y\n", "[Desktop Entry]\nIcon=/i.png\nIcon[fr]=y\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(skinnedDirectoryFile(c.original, "/i.png"), c.expected) << c.original;
    }
}

TEST(KeyFile, EscapesLocalizesAndRefusesMalformedFiles) {
    auto file = KeyFile::parse("[G]\nName=Plain\nName[zh]=中\nName[zh_CN@x]=丙\nName[sr@latin]=L\n");
    ASSERT_TRUE(file);
    for (auto [locale, expected] : std::vector<std::pair<std::string, std::string>>{{"zh_CN.UTF-8@x", "丙"},
                                                                                    {"zh_CN.UTF-8", "中"},
                                                                                    {"zh_TW", "中"},
                                                                                    {"sr_RS@latin", "L"},
                                                                                    {"C", "Plain"},
                                                                                    {"de_DE", "Plain"}}) {
        EXPECT_EQ(file->localizedValue("G", "Name", locale), expected) << locale;
    }
    file->setValue("G", "V", " a\\b\n\tc\r");
    EXPECT_EQ(file->rawValue("G", "V"), "\\sa\\\\b\\n\\tc\\r");
    EXPECT_EQ(file->value("G", "V"), " a\\b\n\tc\r");
    for (const std::string bad : {"Key=before group\n[G]\n", "[G]\njunk line\n", "[G]\n[G]\n", "[G\n",
                                  "[G]\nA=\xff\n", "[G]\n=value\n"}) {
        std::string problem;
        EXPECT_FALSE(KeyFile::parse(bad, &problem)) << bad;
        EXPECT_FALSE(problem.empty());
    }
    EXPECT_FALSE(KeyFile::parse(std::string(kMaxKeyFileSize + 1, '#')));
}

struct Xdg {
    test::ScratchDir scratch;
    std::string user = scratch / "home", sys1 = scratch / "sys1", sys2 = scratch / "sys2";
    Xdg() {
        ::setenv("XDG_DATA_HOME", user.c_str(), 1);
        const std::string dirs = sys1 + "::relative:" + sys2;
        ::setenv("XDG_DATA_DIRS", dirs.c_str(), 1);
        for (const std::string& d :
             {sys1 + "/applications/kde", sys2 + "/applications", user + "/applications"}) {
            std::filesystem::create_directories(d);
        }
    }
    static std::string entry(const std::string& extra, const std::string& icon = "tool") {
        return "[Desktop Entry]\nType=Application\nName=N\nName[zh]=名\nIcon=" + icon + "\nExec=true\n" +
               extra;
    }
};

TEST(DesktopEntries, DiscoversShownApplicationsWithPrecedenceAndRefusals) {
    Xdg xdg;
    const auto folders = desktopDataFolders("/nohome");
    EXPECT_EQ(folders.user, xdg.user);
    EXPECT_EQ(folders.system, (std::vector<std::string>{xdg.sys1, xdg.sys2}));
    const std::string a1 = xdg.sys1 + "/applications/", a2 = xdg.sys2 + "/applications/",
                      u = xdg.user + "/applications/";
    test::writeFile(a1 + "kde/edit.desktop", Xdg::entry(""));
    test::writeFile(a1 + "both.desktop", Xdg::entry("Name[zh_CN]=第一\n"));
    test::writeFile(a2 + "both.desktop", Xdg::entry(""));
    test::writeFile(a2 + "nodisplay.desktop", Xdg::entry("NoDisplay=true\n"));
    test::writeFile(a2 + "hidden.desktop", Xdg::entry("Hidden=true\n"));
    test::writeFile(a2 + "userhid.desktop", Xdg::entry(""));
    test::writeFile(u + "userhid.desktop", "[Desktop Entry]\nHidden=true\n");
    test::writeFile(u + "mine.desktop", "# mine\n" + Xdg::entry("Icon[de]=x\n"));
    test::writeFile(a2 + "mine.desktop", Xdg::entry(""));
    test::writeFile(a2 + "link.desktop", "[Desktop Entry]\nType=Link\nURL=http://x\nName=L\n");
    test::writeFile(a2 + "broken.desktop", "[Desktop Entry]\nnot a key\n");
    test::writeFile(a2 + "lumaro.desktop", Xdg::entry(""));
    std::filesystem::create_symlink(a2 + "both.desktop", a2 + "symlink.desktop");
    ASSERT_EQ(::mkfifo((a2 + "fifo.desktop").c_str(), 0644), 0);

    const auto found = discoverDesktopEntries(FileSystem::real(), folders, "zh_CN.UTF-8");
    std::vector<std::string> seen;
    for (const DesktopEntry& e : found.entries) {
        seen.push_back(e.id + " " + e.path + " " + e.userPath + " " + (e.userCopyExists ? "user " : "") +
                       e.name);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{
                        "both.desktop " + a1 + "both.desktop " + u + "both.desktop 第一",
                        "kde-edit.desktop " + a1 + "kde/edit.desktop " + u + "kde-edit.desktop 名",
                        "mine.desktop " + u + "mine.desktop " + u + "mine.desktop user 名"}));
    std::set<std::string> problems;
    for (const auto& p : found.problems) {
        problems.insert(std::filesystem::path(p.path).filename().string());
    }
    EXPECT_EQ(problems, (std::set<std::string>{"broken.desktop", "fifo.desktop", "symlink.desktop"}));

    std::filesystem::remove_all(xdg.user);  // the user folder may be absent
    EXPECT_EQ(discoverDesktopEntries(FileSystem::real(), folders, "C").entries.size(), 4u)
        << "system copies show again";
}

TEST(DesktopEntries, GLibReadsTheSkinnedIconAsTheFileAndTheOriginalAsAName) {
    Xdg xdg;
    const std::string original = Xdg::entry("Icon[zh_CN]=本地\n", "tool-icon");
    const std::string fur = xdg.scratch / "furball.png";
    test::writeFile(xdg.sys1 + "/applications/tool.desktop", original);
    for (const bool skinned : {false, true}) {
        if (skinned) {
            test::writeFile(xdg.user + "/applications/tool.desktop", *skinnedDesktopEntry(original, fur));
        }
        GDesktopAppInfo* info = g_desktop_app_info_new_from_filename(
            (skinned ? xdg.user : xdg.sys1).append("/applications/tool.desktop").c_str());
        ASSERT_NE(info, nullptr);
        GIcon* icon = g_app_info_get_icon(G_APP_INFO(info));
        if (skinned) {
            ASSERT_TRUE(G_IS_FILE_ICON(icon));
            char* path = g_file_get_path(g_file_icon_get_file(G_FILE_ICON(icon)));
            EXPECT_EQ(std::string(path), fur);
            g_free(path);
        } else {
            ASSERT_TRUE(G_IS_THEMED_ICON(icon));
            EXPECT_STREQ(g_themed_icon_get_names(G_THEMED_ICON(icon))[0], "tool-icon");
        }
        g_object_unref(info);
    }
}

TEST(DesktopEntries, FindsTheUsersProcessesLaunchedFromAnEntry) {
    test::ScratchDir scratch;
    const std::string path = scratch / "tool.desktop";
    const pid_t pid =
        std::stoi(test::run("GIO_LAUNCHED_DESKTOP_FILE='" + path + "' sleep 30 >/dev/null 2>&1 & echo $!"));
    std::set<std::string> found;
    for (int attempt = 0; attempt < 100 && found.empty(); ++attempt) {
        ::usleep(20000);
        found = launchedDesktopFiles(FileSystem::real(), {path, scratch / "other.desktop"});
    }
    ::kill(pid, SIGKILL);
    EXPECT_EQ(found, (std::set<std::string>{path}));
}


// Every file of a folder with its bytes and permission bits.
std::map<std::string, std::string> snapshot(const std::string& folder) {
    std::map<std::string, std::string> files;
    for (const auto& item : std::filesystem::directory_iterator(folder)) {
        struct stat st {};
        ::lstat(item.path().c_str(), &st);
        const std::string kind = S_ISLNK(st.st_mode) ? "link" : test::readFile(item.path());
        files[item.path().filename()] = std::to_string(st.st_mode & 0777) + " " + kind;
    }
    return files;
}

std::string iconGLibShows(const std::string& id) {
    GDesktopAppInfo* info = g_desktop_app_info_new(id.c_str());
    if (info == nullptr) {
        return "none";
    }
    GIcon* icon = g_app_info_get_icon(G_APP_INFO(info));
    std::string shown = "?";
    if (G_IS_FILE_ICON(icon)) {
        char* path = g_file_get_path(g_file_icon_get_file(G_FILE_ICON(icon)));
        shown = path;
        g_free(path);
    } else if (G_IS_THEMED_ICON(icon)) {
        shown = g_themed_icon_get_names(G_THEMED_ICON(icon))[0];
    }
    g_object_unref(info);
    return shown;
}

TEST(DesktopEntries, ABatchSkinsShownEntriesAndTheRestoreBringsTheUserFolderBackExactly) {
    Xdg xdg;
    const std::string a1 = xdg.sys1 + "/applications/", a2 = xdg.sys2 + "/applications/",
                      u = xdg.user + "/applications/";
    test::writeFile(a1 + "kde/edit.desktop", Xdg::entry("", "edit-icon"));
    test::writeFile(a1 + "tool.desktop", "[Desktop Entry]\nType=Application\nName=Tool\nIcon=tool-icon\nExec=true\n");
    test::writeFile(a2 + "tool.desktop", Xdg::entry("", "lower"));
    const std::string mine = "# kept\n[Desktop Entry]\nType=Application\nName=Mine\nIcon=m\nIcon[de]=x\nExec=true\n"
                             "\n[Desktop Action a]\nIcon=keep\n";
    test::writeFile(u + "mine.desktop", mine, 0600);
    test::writeFile(a2 + "mine.desktop", Xdg::entry(""));
    test::writeFile(a2 + "nodisplay.desktop", Xdg::entry("NoDisplay=true\n"));
    test::writeFile(a2 + "userhid.desktop", Xdg::entry(""));
    test::writeFile(u + "userhid.desktop", "[Desktop Entry]\nHidden=true\n");
    test::writeFile(a2 + "lumaro.desktop", Xdg::entry(""));
    test::writeFile(a2 + "broken.desktop", "[Desktop Entry]\nnot a key\n");
    ASSERT_EQ(::mkfifo((a2 + "fifo.desktop").c_str(), 0644), 0);
    test::makeDirectory(xdg.scratch / "Desktop");
    const auto before = snapshot(u);

    FileSystem& fs = FileSystem::real();
    test::FakeWorkspace workspace;
    workspace.dataFolders = desktopDataFolders("/nohome");
    workspace.launched = {u + "tool.desktop"};
    const std::string state = xdg.scratch / "state", fur = state + "/furball.png";
    const IconBatchEngine batch(fs, workspace, state, test::sampleImage(), std::nullopt, false);

    // Given application folders, no entry is read or written.
    const IconBatchEngine scoped(fs, workspace, xdg.scratch / "scoped", test::sampleImage(),
                                 std::vector<std::string>{xdg.scratch / "Apps"}, false);
    EXPECT_TRUE(scoped.apply(xdg.scratch / "Desktop", true).errors.empty());
    EXPECT_EQ(snapshot(u), before);
    EXPECT_FALSE(std::filesystem::exists(xdg.scratch / "scoped/application-backups"));
    scoped.restore();

    // An applications folder that cannot be written: each entry is told, nothing is written.
    test::FaultFs denied;
    denied.fail["access " + xdg.user + "/applications"] = EACCES;
    const IconBatchEngine locked(denied, workspace, xdg.scratch / "locked", test::sampleImage(), std::nullopt, false);
    const std::vector<std::string> lockedErrors = locked.apply(xdg.scratch / "Desktop", true).errors;
    EXPECT_EQ(std::count(lockedErrors.begin(), lockedErrors.end(), "Tool：应用没有写入权限，已跳过"), 1);
    EXPECT_EQ(lockedErrors.size(), 5u) << "three entries and two malformed files";
    EXPECT_EQ(snapshot(u), before);
    EXPECT_FALSE(locked.pendingScope().has_value());

    const OperationReport applied = batch.apply(xdg.scratch / "Desktop", true);
    EXPECT_EQ(applied.succeeded, 3);
    EXPECT_EQ(applied.errors, (std::vector<std::string>{"broken.desktop：应用的启动项格式无效，已跳过",
                                                        "fifo.desktop：应用的启动项不是普通文件，已跳过"}));
    EXPECT_EQ(applied.relaunchApplications, std::vector<std::string>{"Tool"});
    auto skinned = snapshot(u);
    EXPECT_EQ(skinned.size(), before.size() + 2);
    EXPECT_EQ(skinned["tool.desktop"],
              "420 [Desktop Entry]\nType=Application\nName=Tool\nIcon=" + fur + "\nExec=true\n");
    EXPECT_EQ(skinned["mine.desktop"], "384 " + *skinnedDesktopEntry(mine, fur));
    EXPECT_EQ(skinned["mine.desktop"].find("Icon[de]"), std::string::npos);
    EXPECT_EQ(skinned["kde-edit.desktop"].substr(0, 4), "420 ");
    EXPECT_EQ(skinned["userhid.desktop"], before.at("userhid.desktop"));
    EXPECT_EQ(skinned.count("lumaro.desktop"), 0u);
    EXPECT_EQ(skinned.count("nodisplay.desktop"), 0u);
    EXPECT_EQ(iconGLibShows("tool.desktop"), fur);
    EXPECT_TRUE(batch.pendingScope().has_value());

    const OperationReport restored = batch.restore();
    EXPECT_EQ(restored.succeeded, 3);
    EXPECT_TRUE(restored.errors.empty());
    EXPECT_EQ(snapshot(u), before);
    EXPECT_EQ(iconGLibShows("tool.desktop"), "tool-icon");
    EXPECT_FALSE(batch.pendingScope().has_value());

    // The applications folder gone: its entries wait in skip records, and a retry restores them once
    // it is back.
    ASSERT_EQ(batch.apply(xdg.scratch / "Desktop", true).succeeded, 3);
    std::filesystem::rename(xdg.user + "/applications", xdg.user + "/away");
    const OperationReport missing = batch.restore();
    EXPECT_EQ(missing.missingItems, (std::vector<std::string>{"N", "Mine", "Tool"}));
    EXPECT_FALSE(batch.pendingScope().has_value());
    std::filesystem::rename(xdg.user + "/away", xdg.user + "/applications");
    EXPECT_EQ(batch.retry().succeeded, 3);
    EXPECT_EQ(snapshot(u), before);

    // Copies changed after the skin are never overwritten: an edit or a link keeps its backup;
    // a deleted copy the skin had made is simply gone.
    ASSERT_EQ(batch.apply(xdg.scratch / "Desktop", true).succeeded, 3);
    test::writeFile(u + "tool.desktop", "[Desktop Entry]\nType=Application\nName=Tool\nIcon=mine\n");
    std::filesystem::remove(u + "kde-edit.desktop");
    std::filesystem::remove(u + "mine.desktop");
    std::filesystem::create_symlink(a2 + "mine.desktop", u + "mine.desktop");
    const auto changed = snapshot(u);
    const OperationReport refused = batch.restore();
    EXPECT_EQ(refused.succeeded, 1);
    EXPECT_EQ(refused.errors, (std::vector<std::string>{"Mine：应用的启动项不是普通文件，已跳过",
                                                        "Tool：图标或资源数据在换肤后被修改，已跳过并保留备份"}));
    EXPECT_EQ(snapshot(u), changed);
    EXPECT_EQ(refused.remaining, 2);
    EXPECT_TRUE(batch.pendingScope().has_value());
}

}  // namespace
}  // namespace lumaro::platform
