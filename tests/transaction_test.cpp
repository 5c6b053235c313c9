// The apply and restore transactions on real folders: what they change and record, how they stop,
// and skip records with their retry.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "engine/icon_engine.h"
#include "platform/system_error.h"
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

using Names = std::vector<std::string>;
using test::errorOf;
using test::kFinderInfo;
using test::treeSnapshot;

const std::string kChanged = "图标或资源数据在换肤后被修改，已跳过并保留备份";

class Transaction : public test::EngineTest {
  protected:
    const std::string manifestFile = backups + "/backup.json";
    const std::string skipFolder = backups + "/missing-backups";
    // Plain files for names ending in ".txt", folders for the others.
    void make(const Names& names) const {
        for (const std::string& name : names)
            name.ends_with(".txt") ? test::writeFile(at(name), name) : test::makeDirectory(at(name));
    }
    void skin(std::int64_t expected, bool applications = false) const {
        ASSERT_EQ(engine.apply(root, applications, false).succeeded, expected);
    }
    Names records() const {
        Names paths;
        for (const auto& file : std::filesystem::directory_iterator(skipFolder))
            paths.push_back(file.path());
        std::sort(paths.begin(), paths.end());
        return paths;
    }
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
using Apply = Transaction;
using Restore = Transaction;

TEST_F(Apply, SkinsAMixedFolderRecordsEveryOriginalStateExactlyAndTheRestoreGivesItBack) {
    for (const char* name : {"alpha.txt", "beta.txt", "hard1", ".secret", "Secret"})
        test::writeFile(at(name), name);
    for (const char* folder : {"Docs", "Photos", "Editor.APP", "Locked.app", "Doc.pages"})
        test::makeDirectory(at(folder));
    test::setRawAttribute(at("beta.txt"), kFinderInfo,
                          test::finderInfo(std::string("TEXTttxt\0\x0E", 10)));
    test::setRawAttribute(at("beta.txt"), test::kResourceFork, test::resourceFork("TEXT", 128, "foreign"));
    test::setRawAttribute(at("beta.txt"), "user.xdg.comment", test::bytesOf("mine"));
    test::writeFile(at("Photos/Icon\r"), "old icon data", 0600);
    test::setRawAttribute(at("Photos/Icon\r"), "user.note", test::bytesOf("keep"));
    test::setRawAttribute(at("Photos/Icon\r"), kFinderInfo, Bytes(32, 0x21));
    ASSERT_EQ(::symlink(at("Docs").c_str(), at("link").c_str()), 0);
    ASSERT_EQ(::mkfifo(at("pipe").c_str(), 0644), 0);
    ASSERT_EQ(::link(at("hard1").c_str(), at("hard2").c_str()), 0);
    test::writeFile(at(".hidden"), "Secret\n");
    fs.fail["access " + at("Locked.app")] = EACCES;
    workspace.running = {{at("Editor.APP"), true}, {scratch / "Other.app", true}};
    const auto before = treeSnapshot(root);
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
    EXPECT_EQ(treeSnapshot(root), before);
    EXPECT_FALSE(test::exists(backups + "/backup.json"));
}

TEST_F(Apply, StopsAnItemChangedAfterItsBackupWasSaved) {
    make({"a.txt", "b.txt"});
    const Bytes marker = test::finderInfo("MARK");
    fs.afterRename = [&](const std::string& to) {
        if (to.ends_with("/backup.json") && !test::hasRawAttribute(at("a.txt"), kFinderInfo))
            test::setRawAttribute(at("a.txt"), kFinderInfo, marker);
    };
    EXPECT_EQ(engine.apply(root, false, false),
              (OperationReport{1, 0, {"a.txt：备份后项目发生变化，已停止修改"}, 2, {}, {}}));
    EXPECT_EQ(test::userAttributes(at("a.txt")), (std::map<std::string, Bytes>{{kFinderInfo, marker}}));
    EXPECT_EQ(phases(), (Phases{{"a.txt", kPhasePrepared}, {"b.txt", kPhaseApplied}}));
}

TEST_F(Apply, RefusesASecondApplyBeforeReadingTheRoot) {
    make({"x.txt"});
    skin(1);
    const std::string manifest = test::readFile(backups + "/backup.json");
    test::writeFile(at("y.txt"), "y");
    std::vector<std::string> looks;
    fs.observe = [&](const std::string& call) {
        if (call.find(root) != std::string::npos)
            looks.push_back(call);
    };
    EXPECT_EQ(errorOf([&] { engine.apply(root, false, false); }),
              "已有待还原的备份，请先点击“一键还原”。");
    EXPECT_EQ(looks, std::vector<std::string>{});
    EXPECT_EQ(test::readFile(backups + "/backup.json"), manifest);
    EXPECT_TRUE(untouched(at("y.txt")));
}

TEST_F(Apply, StopsSkinningARootReplacedMidRun) {
    make({"a.txt", "b.txt", "c.txt"});
    int saves = 0;
    fs.afterRename = [&](const std::string& to) {
        if (to.ends_with("/backup.json") && ++saves == 2) {
            ASSERT_EQ(::rename(root.c_str(), (root + ".old").c_str()), 0);
            test::makeDirectory(root);
            make({"b.txt", "c.txt"});
        }
    };
    EXPECT_EQ(engine.apply(root, false, false),
              (OperationReport{1, 0, {"b.txt：所选文件夹已被替换", "c.txt：所选文件夹已被替换"}, 1, {}, {}}));
    EXPECT_EQ(phases(), (Phases{{"a.txt", kPhaseApplied}}));
    for (const std::string& item : {at("b.txt"), at("c.txt"), root + ".old/b.txt", root + ".old/c.txt"})
        EXPECT_TRUE(untouched(item)) << item;
}

// Only the custom icon counts: a label set since survives, any other change keeps the backup.
TEST_F(Restore, KeepsANewLabelAndTheBackupOfItemsChangedOtherwise) {
    make({"alpha.txt", "Docs", "forked.txt"});
    skin(3);
    Bytes finder = test::rawAttribute(at("alpha.txt"), kFinderInfo);
    finder[9] = 0x0A;
    test::setRawAttribute(at("alpha.txt"), kFinderInfo, finder);
    test::setRawAttribute(at("forked.txt"), test::kResourceFork, test::resourceFork("TEXT", 128, "foreign"));
    test::writeFile(at("Docs/Icon\r"), "changed", 0644);
    auto expected = treeSnapshot(root);  // the changed items stay as they are
    std::erase_if(expected, [&](const auto& item) { return item.first.starts_with(at("alpha.txt ")); });
    const Bytes label = test::finderInfo(std::string(9, '\0') + '\x0A');
    expected[at("alpha.txt") + " " + kFinderInfo] = std::string(label.begin(), label.end());

    EXPECT_EQ(engine.restore(),
              (OperationReport{1, 0, {"Docs：" + kChanged, "forked.txt：" + kChanged}, 2, {}, {}}));
    EXPECT_EQ(treeSnapshot(root), expected);
}

TEST_F(Restore, MovesGoneItemsIntoPrivateSkipRecordsButWaitsForAnUnmountedDisk) {
    make({"a.txt", "b.txt", "c.txt"});
    skin(3);
    BackupManifest single = engine.loadManifest().value();
    single.entries = {single.entries[1]};
    // The vanished item's old path loses our custom icon: a new file there shows none.
    single.entries[0].applied.desktop->metadata->customIcon.reset();
    ASSERT_EQ(workspace.metadata.keys.count(at("b.txt")), 1u);
    ASSERT_TRUE(std::filesystem::remove(at("b.txt")));
    EXPECT_EQ(engine.restore(), (OperationReport{2, 1, {}, 0, {}, {"b.txt"}}));
    const Names first = records();
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(test::fileMode(skipFolder), 0700u);
    EXPECT_EQ(test::fileMode(first[0]), 0600u);
    EXPECT_EQ(engine.readManifest(first[0]), single);
    EXPECT_EQ(workspace.metadata.keys.count(at("b.txt")), 0u);

    // A root missing from a folder that is on another device: the disk is away, the backup stays.
    make({"x.txt", "Y"});
    skin(4);
    const BackupManifest whole = engine.loadManifest().value();
    const std::string saved = test::readFile(manifestFile);
    fs.fail["lstat " + root] = ENOENT;
    fs.otherDevice = scratch.path();
    EXPECT_EQ(errorOf([&] { engine.restore(); }), "原磁盘尚未连接或文件夹不可用，已保留备份。");
    EXPECT_EQ(test::readFile(manifestFile), saved);

    // A root that has gone (its parent still there) moves whole into one record.
    fs.fail.clear();
    fs.otherDevice.clear();
    std::filesystem::remove_all(root);
    EXPECT_EQ(engine.restore(), (OperationReport{0, 4, {}, 0, {}, {"a.txt", "c.txt", "x.txt", "Y"}}));
    EXPECT_FALSE(test::exists(manifestFile));
    Names all = records();
    ASSERT_EQ(all.size(), 2u);
    std::erase(all, first[0]);
    EXPECT_EQ(engine.readManifest(all[0]), whole);
}

// A failure part-way keeps the entry "restoring" for a later run; whatever stands in place of an
// "Icon\r" file is never deleted.
TEST_F(Restore, FinishesInterruptedRestoresAndNeverDeletesAFolderInPlaceOfTheIconFile) {
    make({"Docs", "Pics"});
    const auto before = treeSnapshot(at("Pics"));
    skin(2);
    ASSERT_TRUE(std::filesystem::remove(at("Docs/Icon\r")));
    test::makeDirectory(at("Docs/Icon\r"));
    test::writeFile(at("Docs/Icon\r/inner.txt"), "keep");
    fs.fail["unlink " + at("Pics/Icon\r")] = EISDIR;

    const std::string docs = "Docs：文件夹包含无法安全处理的 Icon 文件";
    const std::string pics = "Pics：" + std::string(platform::SystemError(EISDIR, at("Pics/Icon\r")).what());
    EXPECT_EQ(engine.restore(), (OperationReport{0, 0, {docs, pics}, 2, {}, {}}));
    EXPECT_EQ(engine.loadManifest().value().entries.at(1).phase, kPhaseRestoring);
    fs.fail.clear();
    EXPECT_EQ(engine.restore(), (OperationReport{1, 0, {docs}, 1, {}, {}}));
    EXPECT_EQ(treeSnapshot(at("Pics")), before);
    EXPECT_EQ(test::readFile(at("Docs/Icon\r/inner.txt")), "keep");
}

TEST_F(Restore, RetryTakesTheRecordsInPathOrder) {
    BackupManifest manifest;
    manifest.rootPath = root;
    manifest.rootIdentity = identifyItem(platform::FileSystem::real(), root);
    std::uint64_t n = 900000;
    test::makeDirectory(skipFolder, 0700);
    for (const auto& [file, name] : {std::pair{"c", "three"}, {"a", "one"}, {"d", "four"}, {"b", "two"}}) {
        manifest.entries = {
            {name, {manifest.rootIdentity.device, ++n, 0, 0, kTypeRegular}, {}, {}, kPhaseApplied}};
        ManifestStore(fs, backups).save(manifest, skipFolder + "/" + file + ".json");
    }
    EXPECT_EQ(engine.retrySkipped(), (OperationReport{0, 4, {}, 0, {}, {"one", "two", "three", "four"}}));
    EXPECT_EQ(records().size(), 4u);
}

// The metadata the skin recorded can be checked and put back only where the session's store is.
TEST_F(Restore, AnEntryWithMetadataWaitsForTheDesktopSessionAndAFailingStoreKeepsIt) {
    make({"a.txt", "F"});
    workspace.metadata.keys[at("a.txt")] = {"file:///old.png", "old-name"};
    skin(2);
    auto& store = workspace.metadata;  // no session, then writes that time out, then a failing flush
    const std::string messages[] = {"需要在桌面会话中运行 Lumaro 才能还原此项目，已保留备份", "桌面元数据服务没有响应",
                                    "无法同步桌面元数据"};
    for (int fault = 0; fault < 3; ++fault) {
        store.unavailable = fault == 0;
        store.failWrites = fault == 1 ? ETIMEDOUT : 0;
        store.failFlush = fault == 2 ? EIO : 0;
        EXPECT_EQ(engine.restore().errors, (Names{"a.txt：" + messages[fault], "F：" + messages[fault]}));
    }
    store.failFlush = 0;
    EXPECT_EQ(engine.restore(), (OperationReport{2, 0, {}, 0, {}, {}}));
    EXPECT_EQ(workspace.metadata.keys, (std::map<std::string, platform::IconMetadata>{
                                           {at("a.txt"), {"file:///old.png", "old-name"}}}));
    EXPECT_FALSE(test::exists(at("F/.directory")));
}

TEST_F(Restore, RetryRestoresItemsThatCameBackAndKeepsTheRest) {
    make({"x.txt", "y.txt"});
    skin(2);
    std::filesystem::rename(root, scratch / "away");
    EXPECT_EQ(engine.restore(), (OperationReport{0, 2, {}, 0, {}, {"x.txt", "y.txt"}}));
    std::filesystem::rename(scratch / "away", root);
    std::filesystem::rename(at("y.txt"), scratch / "y.txt");
    const Names record = records();
    ASSERT_EQ(record.size(), 1u);
    EXPECT_EQ(engine.retrySkipped(), (OperationReport{1, 1, {}, 0, {}, {"y.txt"}}));
    EXPECT_TRUE(test::userAttributes(at("x.txt")).empty());
    const std::string bytes = test::readFile(record[0]);
    EXPECT_EQ(engine.retrySkipped(), (OperationReport{0, 1, {}, 0, {}, {"y.txt"}}));
    EXPECT_EQ(test::readFile(record[0]), bytes) << "a record whose items are all still gone is kept as it is";

    // Refused while "backup.json" exists, with nothing touched.
    std::filesystem::rename(scratch / "y.txt", at("y.txt"));
    std::filesystem::copy_file(record[0], manifestFile);
    EXPECT_EQ(errorOf([&] { engine.retrySkipped(); }), "请先完成当前还原，再重试已跳过的项目。");
    EXPECT_EQ(test::readFile(record[0]), bytes);
    EXPECT_EQ(test::readFile(manifestFile), bytes);
    EXPECT_TRUE(hasCustomIconFlag(test::userAttributes(at("y.txt"))[kFinderInfo]));
    std::filesystem::remove(manifestFile);

    // A record that is not JSON costs only its own line; the others are still retried.
    test::writeFile(skipFolder + "/0.json", "{", 0600);
    const std::string broken = errorOf<DecodingError>([] { decodeManifest("{"); });
    EXPECT_EQ(engine.retrySkipped(), (OperationReport{1, 0, {broken}, 0, {}, {}}));
    EXPECT_TRUE(test::userAttributes(at("y.txt")).empty());
    EXPECT_EQ(records(), Names{skipFolder + "/0.json"});
}

}  // namespace
}  // namespace lumaro
