// The batch over the chosen folder and the user's applications: discovery, and apply, restore
// and retry across several backup directories.
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "batch/icon_batch_engine.h"
#include "records/errors.h"
#include "records/operation_lock.h"
#include "resources/resources.h"
#include "tests/support/scratch.h"

namespace lumaro {

void PrintTo(const OperationReport& r, std::ostream* os) {
    *os << "{succeeded " << r.succeeded << ", skipped " << r.skipped << ", remaining " << r.remaining << ", errors "
        << ::testing::PrintToString(r.errors) << ", relaunch " << ::testing::PrintToString(r.relaunchApplications)
        << ", missing " << ::testing::PrintToString(r.missingItems) << "}";
}

namespace {

using platform::FileSystem;
using test::ScratchDir;
using Groups = std::map<std::string, std::set<std::string>>;

constexpr const char* kFinder = "user.com.apple.FinderInfo";

std::string run(const std::string& command) {
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    for (char buffer[512]; pipe != nullptr && std::fgets(buffer, sizeof buffer, pipe) != nullptr;) {
        output += buffer;
    }
    return pipe != nullptr && ::pclose(pipe) == 0 ? output : "<failed> " + output;
}

std::string sha256sum(const std::string& text) { return run("printf %s '" + text + "' | sha256sum").substr(0, 64); }

template <typename F>
std::string errorOf(F&& call) {
    try {
        call();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "<no error>";
}

void mkdirs(const std::string& path) { std::filesystem::create_directories(path); }

// Every entry below `root` (links not followed) with all its "user." attributes.
std::map<std::string, std::map<std::string, std::string>> snapshot(const std::string& root) {
    std::map<std::string, std::map<std::string, std::string>> out;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        const std::string path = entry.path().string();
        auto& attributes = out[path.substr(root.size())];
        char names[8192];
        const ssize_t length = ::llistxattr(path.c_str(), names, sizeof names);
        for (ssize_t i = 0; i < length; i += static_cast<ssize_t>(std::strlen(names + i)) + 1) {
            const Bytes value = test::rawAttribute(path, names + i);
            attributes[names + i] = std::string(value.begin(), value.end());
        }
    }
    return out;
}

// A folder of plain items, one carrying Finder information and an attribute of its own.
void fillFolder(const std::string& dir) {
    mkdirs(dir + "/Folder");
    test::writeFile(dir + "/a.txt", "a");
    test::writeFile(dir + "/b.txt", "b");
    Bytes finder(32, 0);
    std::memcpy(finder.data(), "TEXTttxt", 8);
    test::setRawAttribute(dir + "/b.txt", kFinder, finder);
    test::setRawAttribute(dir + "/b.txt", "user.note", test::bytesOf("keep"));
    mkdirs(dir + "/Bundle.app/Contents");
    ASSERT_EQ(::symlink("a.txt", (dir + "/link").c_str()), 0);
}

void makeApp(const std::string& path) { mkdirs(path + "/Contents/MacOS"); }

class FakeWorkspace : public platform::Workspace {
public:
    std::string home = "/nonexistent-home";
    std::vector<platform::RunningApplication> running;
    std::vector<platform::RunningApplication> runningApplications() override { return running; }
    std::string homeDirectory() override { return home; }
};

class DenyingFileSystem : public platform::ForwardingFileSystem {
public:
    DenyingFileSystem() : ForwardingFileSystem(FileSystem::real()) {}
    std::set<std::string> denied;
    int listDirectory(const std::string& path, std::vector<std::string>& names) override {
        return denied.count(path) > 0 ? EACCES : ForwardingFileSystem::listDirectory(path, names);
    }
};

struct Rig {
    ScratchDir scratch;
    FakeWorkspace workspace;
    std::string state = scratch / "state";
    IconBatchEngine make(std::vector<std::string> roots, bool dock = false,
                         std::optional<std::vector<std::string>> urls = std::nullopt,
                         FileSystem& fs = FileSystem::real()) {
        return IconBatchEngine(fs, workspace, state, loadFurball(), std::move(roots), dock, std::move(urls));
    }
    bool exists(const std::string& name) const { return ::access((scratch / name).c_str(), F_OK) == 0; }
    nlohmann::json scope() const { return nlohmann::json::parse(test::readFile(state + "/scope.json")); }
};

// Writes the Dock's preferences with Python's own plist writer.
void writeDock(const std::string& home, const std::string& json, bool binary) {
    mkdirs(home + "/Library/Preferences");
    const std::string file = home + "/Library/Preferences/com.apple.dock.plist";
    ASSERT_EQ(run("/usr/bin/python3 -c \"import json, plistlib, sys; open(sys.argv[1], 'wb').write(plistlib.dumps("
                  "json.loads(sys.argv[2]), fmt=plistlib.FMT_" +
                  std::string(binary ? "BINARY" : "XML") + "))\" '" + file + "' '" + json + "'"),
              "");
    ASSERT_EQ(test::readFile(file).substr(0, 6), binary ? "bplist" : "<?xml ");
}

std::string tile(const std::string& url) { return R"({"tile-data":{"file-data":{"_CFURLString":")" + url + R"("}}})"; }

TEST(batchDiscovery, WalksRootsSkippingPackagesHiddenEntriesLinksAndFiles) {
    Rig rig;
    const std::string a = rig.scratch / "A", b = rig.scratch / "B", elsewhere = rig.scratch / "elsewhere";
    for (const char* app : {"A.app", "Utilities/B.app", "Tool.APP", "Outer.app/Contents/Inner.app", ".Hidden.app",
                            "Secret.app", "Lib.framework/Sub.app", ".Dot/In.app", "Deep/er/C.app"}) {
        makeApp(a + "/" + app);
    }
    test::writeFile(a + "/.hidden", "Secret.app\nDeep\n");
    test::writeFile(a + "/Note.app", "not a folder");
    makeApp(elsewhere + "/Real.app");
    ASSERT_EQ(::symlink((elsewhere + "/Real.app").c_str(), (a + "/Link.app").c_str()), 0);
    ASSERT_EQ(::symlink(elsewhere.c_str(), (a + "/LinkDir").c_str()), 0);
    mkdirs(b);

    const DiscoveredApplications found = rig.make({a + "/", b, rig.scratch / "missing"}).discoverApplications();
    // Outer.app is an application itself; only the one inside it is out of reach.
    EXPECT_EQ(found.groups, (Groups{{a, {"A.app", "Outer.app", "Tool.APP"}}, {a + "/Utilities", {"B.app"}}}));
    EXPECT_EQ(found.errors, std::vector<std::string>{});
    EXPECT_EQ(found.passedOver, 0);
}

TEST(batchDiscovery, ReportsFoldersThatCannotBeListedAndWalksOn) {
    Rig rig;
    DenyingFileSystem fs;
    const std::string a = rig.scratch / "A", b = rig.scratch / "B";
    makeApp(a + "/Sub/Hidden.app");
    makeApp(a + "/Other/C.app");
    makeApp(a + "/D.app");
    makeApp(b + "/E.app");
    fs.denied = {a + "/Sub"};
    DiscoveredApplications found = rig.make({a, b}, false, std::nullopt, fs).discoverApplications();
    EXPECT_EQ(found.groups, (Groups{{a, {"D.app"}}, {a + "/Other", {"C.app"}}, {b, {"E.app"}}}));
    ASSERT_EQ(found.errors.size(), 1u);
    EXPECT_TRUE(found.errors[0].starts_with("Sub：") && found.errors[0].size() > 5) << found.errors[0];

    fs.denied = {a};
    found = rig.make({a, b}, false, std::nullopt, fs).discoverApplications();
    EXPECT_EQ(found.errors, std::vector<std::string>{"无法读取应用程序文件夹：" + a});
    EXPECT_EQ(found.groups, (Groups{{b, {"E.app"}}}));
}

TEST(batchDiscovery, GivenDockListIsResolvedAndReplacesDockFileAndRunningApplications) {
    Rig rig;
    const std::string a = rig.scratch / "A", other = rig.scratch / "other";
    makeApp(a + "/A.app");
    makeApp(other + "/Real.app");
    makeApp(other + "/Running.app");
    mkdirs(rig.scratch / "links");
    ASSERT_EQ(::symlink((other + "/Real.app").c_str(), (rig.scratch / "links/Alias.app").c_str()), 0);
    ASSERT_EQ(::symlink((a + "/A.app").c_str(), (rig.scratch / "links/Again.app").c_str()), 0);
    rig.workspace.home = rig.scratch / "home";
    rig.workspace.running = {{other + "/Running.app", true}};
    writeDock(rig.workspace.home, R"({"persistent-apps":[)" + tile("file://" + other + "/Real.app/") + "]}", true);

    DiscoveredApplications found =
        rig.make({a}, true, std::vector<std::string>{rig.scratch / "links/Alias.app", rig.scratch / "links/Again.app",
                                                     a + "/./A.app/", "/System/Applications/Calculator.app"})
            .discoverApplications();
    EXPECT_EQ(found.groups, (Groups{{a, {"A.app"}}, {other, {"Real.app"}}}));
    EXPECT_EQ(found.passedOver, 1);
    EXPECT_EQ(found.errors, std::vector<std::string>{});

    found = rig.make({a}, true, std::vector<std::string>{}).discoverApplications();
    EXPECT_EQ(found.groups, (Groups{{a, {"A.app"}}})) << "an empty given list still replaces the Dock";
}

TEST(batchDiscovery, ReadsDockPreferencesAndRunningApplications) {
    Rig rig;
    const std::string apps = rig.scratch / "apps", home = rig.scratch / "home";
    for (const char* app : {"My Editor.app", "Viewer.app", "Runner.app", "Background.app", "Ignored.app"}) {
        makeApp(apps + "/" + app);
    }
    mkdirs(apps + "/Docs");
    rig.workspace.home = home;
    const std::string base = "file://" + apps;
    writeDock(home,
              R"({"persistent-apps":[)" + tile(base + "/My%20Editor.app/") + "," + tile(base + "/Docs/") + "," +
                  tile("https://example.com/Web.app/") + R"(,{"tile-type":"spacer-tile"},{"tile-data":{}},)" +
                  R"({"tile-data":{"file-data":"x"}},{"tile-data":{"file-data":{"_CFURLString":7}}}]})",
              true);
    EXPECT_EQ(rig.make({}, true).discoverApplications().groups, (Groups{{apps, {"My Editor.app"}}}));

    writeDock(home,
              R"({"persistent-apps":["text",)" + tile(base + "/Ignored.app/") + R"(],"recent-apps":[)" +
                  tile(base + "/Viewer.app/") + "]}",
              false);
    EXPECT_EQ(rig.make({}, true).discoverApplications().groups, (Groups{{apps, {"Viewer.app"}}}));

    test::writeFile(home + "/Library/Preferences/com.apple.dock.plist", "bplist00 this is not a list");
    rig.workspace.running = {{apps + "/Runner.app", true}, {apps + "/Background.app", false}};
    const DiscoveredApplications found = rig.make({}, true).discoverApplications();
    EXPECT_EQ(found.groups, (Groups{{apps, {"Runner.app"}}}));
    EXPECT_EQ(found.errors, std::vector<std::string>{});
}

TEST(batchApply, NewStateFolderOnlyScopeSecondApplyRestoreAndEmptyTarget) {
    Rig rig;
    const std::string target = rig.scratch / "target", twin = rig.scratch / "twin";
    fillFolder(target);
    fillFolder(twin);
    const auto before = snapshot(target);
    const IconBatchEngine engine = rig.make({rig.scratch / "apps"});
    makeApp(rig.scratch / "apps/App.app");
    EXPECT_EQ(test::fileMode(rig.state), 0700u);
    EXPECT_EQ(engine.pendingEngines(false).size(), 1u);
    EXPECT_EQ(engine.pendingScope(), std::nullopt);
    const std::string backups = rig.state + "/application-backups/";
    EXPECT_EQ(engine.applicationBackupDirectory("/Applications"), backups + sha256sum("/Applications"));
    EXPECT_EQ(engine.applicationBackupDirectory("/home/anna/应用"), backups + sha256sum("/home/anna/应用"));

    const OperationReport report = engine.apply(target + "/", false);
    const IconEngine folderEngine(FileSystem::real(), rig.scratch / "twin-state", loadFurball(), rig.workspace);
    EXPECT_EQ(report, folderEngine.apply(twin, false, false));
    EXPECT_EQ(report.succeeded, 3);
    EXPECT_EQ(rig.scope(), (nlohmann::json{{"includesApplications", false}, {"rootPath", target}}));
    EXPECT_FALSE(rig.exists("state/application-backups"));
    EXPECT_FALSE(test::hasRawAttribute(rig.scratch / "apps/App.app", kFinder));
    EXPECT_EQ(engine.pendingScope(), (PendingScope{target, false}));

    const std::string scopeText = test::readFile(rig.state + "/scope.json");
    EXPECT_EQ(errorOf([&] { engine.apply(target, false); }), "已有待还原的备份，请先点击“一键还原”。");
    EXPECT_EQ(test::readFile(rig.state + "/scope.json"), scopeText);

    EXPECT_EQ(engine.restore(), (OperationReport{3, 0, {}, 0, {}, {}}));
    EXPECT_EQ(snapshot(target), before);
    EXPECT_FALSE(rig.exists("state/scope.json"));
    EXPECT_EQ(engine.pendingScope(), std::nullopt);

    // Nothing eligible: all zeros, and no scope is left behind.
    mkdirs(rig.scratch / "empty/.hidden-folder");
    EXPECT_EQ(engine.apply(rig.scratch / "empty", false), OperationReport{});
    EXPECT_FALSE(rig.exists("state/scope.json"));
    EXPECT_EQ(engine.pendingScope(), std::nullopt);
}

TEST(batchApply, ApplicationsAcrossRootsRestoreAndRetry) {
    Rig rig;
    const std::string one = rig.scratch / "apps1", two = rig.scratch / "apps2", target = rig.scratch / "target";
    makeApp(one + "/One.app");
    makeApp(two + "/Utilities/Two.app");
    mkdirs(target);
    test::writeFile(target + "/file.txt", "x");
    const auto before1 = snapshot(one), before2 = snapshot(two), beforeTarget = snapshot(target);
    rig.workspace.running = {{one + "/One.app", true}};
    const IconBatchEngine engine = rig.make({one, two});

    EXPECT_EQ(engine.apply(target, true), (OperationReport{3, 0, {}, 3, {"One"}, {}}));
    const std::string backups = rig.state + "/application-backups/";
    const std::string dir1 = backups + sha256sum(one), dir2 = backups + sha256sum(two + "/Utilities");
    EXPECT_TRUE(test::hasRawAttribute(two + "/Utilities/Two.app", kFinder));
    EXPECT_EQ(engine.pendingScope(), (PendingScope{target, true}));
    const std::vector<IconEngine> pending = engine.pendingEngines(false);
    ASSERT_EQ(pending.size(), 3u);
    EXPECT_EQ(pending[0].directory(), rig.state);
    EXPECT_EQ(std::vector<std::string>({pending[1].directory(), pending[2].directory()}),
              std::vector<std::string>({std::min(dir1, dir2), std::max(dir1, dir2)}));

    EXPECT_EQ(engine.restore(), (OperationReport{3, 0, {}, 0, {"One"}, {}}));
    EXPECT_EQ(snapshot(one), before1);
    EXPECT_EQ(snapshot(two), before2);
    EXPECT_EQ(snapshot(target), beforeTarget);
    EXPECT_FALSE(rig.exists("state/scope.json"));
    EXPECT_EQ(engine.pendingScope(), std::nullopt);
    EXPECT_EQ(engine.retry(), OperationReport{});
}

TEST(batchApply, ChosenFolderThatIsAnApplicationsRootIsSkinnedOnce) {
    Rig rig;
    const std::string target = rig.scratch / "target";
    makeApp(target + "/X.app");
    test::writeFile(target + "/f.txt", "f");
    const IconBatchEngine engine = rig.make({target + "/"});
    EXPECT_EQ(engine.apply(target, true), (OperationReport{2, 0, {}, 2, {}, {}}));
    EXPECT_TRUE(test::hasRawAttribute(target + "/X.app", kFinder));
    EXPECT_FALSE(rig.exists("state/application-backups/" + sha256sum(target)));
    EXPECT_EQ(engine.restore().succeeded, 2);
}

TEST(batchApply, CorruptRecordsBlockApplyLostScopeFallsBackReplacedFolderKeepsBackup) {
    Rig rig;
    const std::string target = rig.scratch / "target", apps = rig.scratch / "apps";
    fillFolder(target);
    makeApp(apps + "/App.app");
    const auto before = snapshot(target), beforeApps = snapshot(apps);
    const IconBatchEngine engine = rig.make({apps});
    const std::string broken = engine.applicationBackupDirectory("/somewhere");
    mkdirs(broken);
    test::writeFile(broken + "/backup.json", "{\"schema\": 1, \"rootPath\": ");
    const std::string scopeError = errorOf([&] { engine.pendingScope(); });
    EXPECT_NE(scopeError, "<no error>");
    EXPECT_EQ(errorOf([&] { engine.apply(target, true); }), scopeError) << "apply reads the same records first";
    EXPECT_FALSE(rig.exists("state/scope.json"));
    EXPECT_EQ(snapshot(target), before);
    EXPECT_EQ(snapshot(apps), beforeApps);
    std::filesystem::remove_all(broken);

    ASSERT_EQ(engine.apply(target, true).succeeded, 5);
    ASSERT_EQ(::unlink((rig.state + "/scope.json").c_str()), 0);
    EXPECT_EQ(engine.pendingScope(), (PendingScope{target, false}));
    test::writeFile(rig.state + "/scope.json", "{\"rootPath\": 5}");
    EXPECT_EQ(engine.pendingScope(), (PendingScope{target, false}));
    test::writeFile(rig.state + "/scope.json", "{\"includesApplications\":true,\"rootPath\":\"" + target + "\"}");

    // The old folder is kept under another name, so the new one cannot reuse its inode.
    ASSERT_EQ(::rename(target.c_str(), (rig.scratch / "target-old").c_str()), 0);
    mkdirs(target);
    EXPECT_EQ(engine.restore().errors, std::vector<std::string>{"原文件夹已被替换，已保留备份。"});
    EXPECT_EQ(snapshot(apps), beforeApps);
    EXPECT_TRUE(rig.exists("state/scope.json"));
    EXPECT_EQ(engine.pendingScope(), (PendingScope{target, true}));
    EXPECT_EQ(errorOf([&] { engine.retry(); }), "请先完成当前还原，再重试已跳过的项目。");
}

TEST(batchLock, AnotherProcessHoldingTheBatchLockStopsEveryOperation) {
    Rig rig;
    fillFolder(rig.scratch / "target");
    const IconBatchEngine engine = rig.make({});
    int ready[2], release[2];
    ASSERT_TRUE(::pipe(ready) == 0 && ::pipe(release) == 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        char byte = 'x';
        try {
            const OperationLock lock(FileSystem::real(), rig.state, "batch-operation.lock");
            [[maybe_unused]] const ssize_t sent = ::write(ready[1], &byte, 1);
            [[maybe_unused]] const ssize_t got = ::read(release[0], &byte, 1);
        } catch (...) {
        }
        ::_exit(0);
    }
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    EXPECT_EQ(errorOf([&] { engine.apply(rig.scratch / "target", false); }), kLockBusyMessage);
    EXPECT_EQ(errorOf([&] { engine.restore(); }), kLockBusyMessage);
    EXPECT_EQ(errorOf([&] { engine.retry(); }), kLockBusyMessage);
    EXPECT_FALSE(rig.exists("state/scope.json"));
    EXPECT_FALSE(test::hasRawAttribute(rig.scratch / "target/a.txt", kFinder));
    ASSERT_EQ(::write(release[1], &byte, 1), 1);
    ASSERT_EQ(::waitpid(child, nullptr, 0), child);
    EXPECT_EQ(engine.apply(rig.scratch / "target", false).succeeded, 3);
}

}  // namespace
}  // namespace lumaro
