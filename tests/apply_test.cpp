// The apply transaction on real folders: what it skins, what it records, and how it stops.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "engine/icon_engine.h"
#include "records/attributes.h"
#include "records/icon_facet.h"
#include "records/identity.h"
#include "records/mac_form.h"
#include "resources/resources.h"
#include "tests/support/fault_fs.h"

namespace lumaro {

namespace {

using platform::FileSystem;
using Phases = std::vector<std::pair<std::string, std::string>>;

bool untouched(const std::string& path) {
    return test::userAttributes(path).empty() && !test::exists(path + "/Icon\r");
}

class Apply : public test::EngineTest {
  protected:
    // The state as the engine sees it, with the workspace's metadata store.
    IconState stateOf(const std::string& path) {
        IconContext context;
        context.metadata = &workspace.metadata;
        return captureIconState(FileSystem::real(), path, identifyItem(FileSystem::real(), path), context);
    }
    Phases phases() const {
        Phases result;
        const BackupManifest manifest = engine.loadManifest().value();
        for (const BackupEntry& entry : manifest.entries)
            result.emplace_back(entry.name, entry.phase);
        return result;
    }
};

TEST_F(Apply, SkinsAMixedFolderRecordsEveryOriginalStateExactlyAndTheRestoreGivesItBack) {
    for (const char* name : {"alpha.txt", "beta.txt", "hard1", ".secret", "Secret"})
        test::writeFile(at(name), name);
    for (const char* folder : {"Docs", "Photos", "Editor.APP", "Locked.app", "Doc.pages"})
        test::makeDirectory(at(folder));
    test::setRawAttribute(at("beta.txt"), test::kFinderInfo,
                          test::finderInfo(std::string("TEXTttxt\0\x0E", 10)));
    test::setRawAttribute(at("beta.txt"), test::kResourceFork, test::resourceFork("TEXT", 128, "foreign"));
    test::setRawAttribute(at("beta.txt"), "user.xdg.comment", test::bytesOf("mine"));
    test::writeFile(at("Photos/Icon\r"), "old icon data", 0600);
    test::setRawAttribute(at("Photos/Icon\r"), "user.note", test::bytesOf("keep"));
    test::setRawAttribute(at("Photos/Icon\r"), test::kFinderInfo, Bytes(32, 0x21));
    ASSERT_EQ(::symlink(at("Docs").c_str(), at("link").c_str()), 0);
    ASSERT_EQ(::mkfifo(at("pipe").c_str(), 0644), 0);
    ASSERT_EQ(::link(at("hard1").c_str(), at("hard2").c_str()), 0);
    test::writeFile(at(".hidden"), "Secret\n");
    fs.fail["access " + at("Locked.app")] = EACCES;
    workspace.running = {{at("Editor.APP"), true}, {scratch / "Other.app", true}};
    const auto before = test::treeSnapshot(root);
    std::vector<BackupEntry> entries;
    for (const char* name : {"alpha.txt", "beta.txt", "Docs", "Editor.APP", "Photos"}) {
        entries.push_back(
            {name, identifyItem(FileSystem::real(), at(name)), stateOf(at(name)), {}, "applied"});
    }

    // Skipped: link, pipe, hard1, hard2, Doc.pages; hidden names are not counted at all.
    EXPECT_EQ(engine.apply(root + "/", true, false),
              (OperationReport{5, 5, {"Locked.app：应用没有写入权限，已跳过"}, 5, {"Editor"}, {}}));
    for (BackupEntry& entry : entries) {
        entry.applied = stateOf(at(entry.name));
        EXPECT_TRUE(hasCustomIconFlag(entry.applied.finder)) << entry.name;
    }
    const BackupManifest manifest = engine.loadManifest().value();
    EXPECT_EQ(manifest.rootPath, root);
    EXPECT_EQ(manifest.rootIdentity, identifyItem(FileSystem::real(), root));
    EXPECT_EQ(manifest.entries, entries);
    EXPECT_EQ(entries[1].applied.finder, test::finderInfo("TEXTttxt\x04\x0E")) << "the label is kept";
    EXPECT_EQ(test::readFile(at("Photos/Icon\r")), "old icon data");
    for (const char* name : {"Locked.app", "Doc.pages", "hard1", "Secret", ".secret", "pipe"})
        EXPECT_TRUE(untouched(at(name))) << name;

    // The restore gives back every item byte for byte; the added "Icon\r" files go.
    EXPECT_EQ(engine.restore(), (OperationReport{5, 0, {}, 0, {"Editor"}, {}}));
    EXPECT_EQ(test::treeSnapshot(root), before);
    EXPECT_FALSE(test::exists(backups + "/backup.json"));
}

TEST_F(Apply, StopsAnItemChangedAfterItsBackupWasSaved) {
    test::writeFile(at("a.txt"), "a");
    test::writeFile(at("b.txt"), "b");
    const Bytes marker = test::finderInfo("MARK");
    fs.afterRename = [&](const std::string& to) {
        if (to.ends_with("/backup.json") && !test::hasRawAttribute(at("a.txt"), test::kFinderInfo))
            test::setRawAttribute(at("a.txt"), test::kFinderInfo, marker);
    };
    EXPECT_EQ(engine.apply(root, false, false),
              (OperationReport{1, 0, {"a.txt：备份后项目发生变化，已停止修改"}, 2, {}, {}}));
    EXPECT_EQ(test::userAttributes(at("a.txt")), (std::map<std::string, Bytes>{{test::kFinderInfo, marker}}));
    EXPECT_EQ(phases(), (Phases{{"a.txt", kPhasePrepared}, {"b.txt", kPhaseApplied}}));
}

TEST_F(Apply, RefusesASecondApplyBeforeReadingTheRoot) {
    test::writeFile(at("x.txt"), "x");
    ASSERT_EQ(engine.apply(root, false, false).succeeded, 1);
    const std::string manifest = test::readFile(backups + "/backup.json");
    test::writeFile(at("y.txt"), "y");
    std::vector<std::string> looks;
    fs.observe = [&](const std::string& call) {
        if (call.find(root) != std::string::npos)
            looks.push_back(call);
    };
    EXPECT_EQ(test::errorOf([&] { engine.apply(root, false, false); }),
              "已有待还原的备份，请先点击“一键还原”。");
    EXPECT_EQ(looks, std::vector<std::string>{});
    EXPECT_EQ(test::readFile(backups + "/backup.json"), manifest);
    EXPECT_TRUE(untouched(at("y.txt")));
}

TEST_F(Apply, StopsSkinningARootReplacedMidRun) {
    for (const char* name : {"a.txt", "b.txt", "c.txt"})
        test::writeFile(at(name), name);
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
    for (const std::string& item : {at("b.txt"), at("c.txt"), root + ".old/b.txt", root + ".old/c.txt"})
        EXPECT_TRUE(untouched(item)) << item;
}

}  // namespace
}  // namespace lumaro
