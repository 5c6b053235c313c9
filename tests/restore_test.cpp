// The restore transaction, skip records and their retry, on real folders.
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <map>
#include <regex>

#include <gtest/gtest.h>

#include "engine/icon_engine.h"
#include "platform/resource_fork.h"
#include "platform/system_error.h"
#include "records/errors.h"
#include "records/identity.h"
#include "records/json.h"
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
using Names = std::vector<std::string>;
using Phases = std::vector<std::pair<std::string, std::string>>;

constexpr const char* kFinder = "user.com.apple.FinderInfo";
constexpr const char* kFork = "user.com.apple.ResourceFork";
constexpr const char* kChanged = "图标或资源数据在换肤后被修改，已跳过并保留备份";
constexpr const char* kRootReplaced = "原文件夹已被替换，已保留备份。";

// A report with no applications to relaunch and no missing items.
OperationReport reportOf(std::int64_t succeeded, std::int64_t skipped, Names errors, std::int64_t remaining) {
    return {succeeded, skipped, std::move(errors), remaining, {}, {}};
}

std::string lineOf(const std::string& name, const std::string& message) { return name + "：" + message; }

Bytes labelled() {
    Bytes finder = test::bytesOf(std::string("TEXTttxt\0\x0E", 10));
    finder.resize(32);
    return finder;
}

Bytes foreignFork() {
    platform::Resource resource;
    std::copy_n("TEXT", 4, resource.type.begin());
    resource.id = 128;
    resource.data = test::bytesOf("foreign");
    return *platform::buildResourceFork({resource});
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// Every "user." attribute of a path, read with raw calls.
std::map<std::string, Bytes> userAttributes(const std::string& path) {
    std::map<std::string, Bytes> result;
    std::string list(65536, '\0');
    const ssize_t got = ::llistxattr(path.c_str(), list.data(), list.size());
    list.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    for (std::size_t start = 0; start < list.size();) {
        const std::string name(list.c_str() + start);
        if (name.starts_with("user.")) {
            result[name] = test::rawAttribute(path, name);
        }
        start += name.size() + 1;
    }
    return result;
}

// Everything anyone sees of an item's icon: its attributes and its "Icon\r" file (contents,
// attributes, mode).
using Snapshot = std::map<std::string, Bytes>;

Snapshot snapshot(const std::string& path) {
    Snapshot s = userAttributes(path);
    const std::string icon = path + "/Icon\r";
    if (exists(icon)) {
        s["Icon contents"] = test::bytesOf(test::readFile(icon));
        s["Icon mode"] = test::bytesOf(std::to_string(test::fileMode(icon)));
        for (const auto& [name, value] : userAttributes(icon)) {
            s["Icon " + name] = value;
        }
    }
    return s;
}

bool clean(const std::string& path) { return snapshot(path).empty(); }
bool skinned(const std::string& path) { return hasCustomIconFlag(userAttributes(path)[kFinder]); }

template <typename E = SkinError, typename F>
std::string errorOf(F&& call) {
    try {
        call();
    } catch (const E& error) {
        return error.what();
    }
    return "<no such error>";
}

class FakeWorkspace : public platform::Workspace {
public:
    std::vector<platform::RunningApplication> running;
    std::vector<platform::RunningApplication> runningApplications() override { return running; }
    std::optional<std::string> ownBundleIdentifier() override { return std::nullopt; }
    void noteFileSystemChanged(const std::string&) override {}
};

// Refused calls by path, another device for one path, a hook after each rename, and a count of
// attribute writes.
class SeamFileSystem : public platform::ForwardingFileSystem {
public:
    using ForwardingFileSystem::ForwardingFileSystem;
    std::map<std::string, int> lstatErrors, unlinkErrors, setAttributeErrors;
    std::string otherDevice;
    std::function<void(const std::string&)> afterRename;
    int attributeWrites = 0;

    int lstat(const std::string& path, platform::FileStatus& out) override {
        const int err = lstatErrors.count(path) > 0 ? lstatErrors[path] : ForwardingFileSystem::lstat(path, out);
        out.device += err == 0 && path == otherDevice ? 1 : 0;
        return err;
    }
    int unlink(const std::string& path) override {
        return unlinkErrors.count(path) > 0 ? unlinkErrors[path] : ForwardingFileSystem::unlink(path);
    }
    int setAttribute(const std::string& path, const std::string& name, const void* data, std::size_t size) override {
        ++attributeWrites;
        return setAttributeErrors.count(path) > 0 ? setAttributeErrors[path]
                                                  : ForwardingFileSystem::setAttribute(path, name, data, size);
    }
    int removeAttribute(const std::string& path, const std::string& name) override {
        ++attributeWrites;
        return ForwardingFileSystem::removeAttribute(path, name);
    }
    int rename(const std::string& from, const std::string& to) override {
        const int err = ForwardingFileSystem::rename(from, to);
        if (afterRename) {
            afterRename(to);
        }
        return err;
    }
};

class RestoreBase : public ::testing::Test {
protected:
    test::ScratchDir scratch;
    SeamFileSystem fs{FileSystem::real()};
    FakeWorkspace workspace;
    const std::string root = scratch / "root";
    const std::string backups = scratch / "backups";
    const std::string manifestFile = backups + "/backup.json";
    const std::string skipFolder = backups + "/missing-backups";
    IconEngine engine{fs, backups, loadFurball(), workspace};

    void SetUp() override { test::makeDirectory(root); }
    std::string at(const std::string& name) const { return root + "/" + name; }
    // Plain files for names with an extension "txt", folders for the others.
    void make(const Names& names) const {
        for (const std::string& name : names) {
            name.ends_with(".txt") ? test::writeFile(at(name), name) : test::makeDirectory(at(name));
        }
    }
    // "beta.txt" with a label and a foreign fork; "Photos" with its own private "Icon\r".
    void decorate() const {
        make({"beta.txt", "Photos"});
        test::setRawAttribute(at("beta.txt"), kFinder, labelled());
        test::setRawAttribute(at("beta.txt"), kFork, foreignFork());
        test::writeFile(at("Photos/Icon\r"), "old icon data", 0600);
        test::setRawAttribute(at("Photos/Icon\r"), "user.note", test::bytesOf("keep"));
    }
    void skin(std::int64_t expected, bool applications = false) const {
        const OperationReport report = engine.apply(root, applications, false);
        ASSERT_EQ(report.succeeded, expected) << ::testing::PrintToString(report.errors);
    }
    void move(const std::string& from, const std::string& to) const {
        ASSERT_EQ(::rename(from.c_str(), to.c_str()), 0) << from;
    }
    std::map<std::string, Snapshot> snapshots(const Names& names) const {
        std::map<std::string, Snapshot> result;
        for (const std::string& name : names) {
            result[name] = snapshot(at(name));
        }
        return result;
    }
    // Sets one byte of the item's Finder information, masked with `keep`.
    void editFinder(const std::string& name, std::size_t index, std::uint8_t value, std::uint8_t keep = 0) const {
        Bytes finder = test::rawAttribute(at(name), kFinder);
        finder[index] = static_cast<std::uint8_t>((finder[index] & keep) | value);
        test::setRawAttribute(at(name), kFinder, finder);
    }
    Phases phases() const {
        Phases result;
        const BackupManifest manifest = engine.loadManifest().value();
        for (const BackupEntry& entry : manifest.entries) {
            result.emplace_back(entry.name, entry.phase);
        }
        return result;
    }
    // The skip records' paths, sorted.
    Names records() const {
        Names paths;
        std::error_code ec;
        for (const auto& file : std::filesystem::directory_iterator(skipFolder, ec)) {
            paths.push_back(file.path().extension() == ".json" ? file.path().string() : "");
        }
        std::erase(paths, "");
        std::sort(paths.begin(), paths.end());
        return paths;
    }
};

class RestoreTransaction : public RestoreBase {};
class RetrySkipped : public RestoreBase {};
class SkipRecordFolder : public RestoreBase {};

TEST_F(RestoreTransaction, RoundTripGivesBackEveryItemExactlyAndListsRunningApplications) {
    decorate();
    make({"alpha.txt", "Docs", "Editor.app", "Viewer.APP"});
    test::setRawAttribute(at("beta.txt"), "user.xdg.comment", test::bytesOf("mine"));
    test::setRawAttribute(at("Photos/Icon\r"), kFinder, Bytes(32, 0x21));
    workspace.running = {{at("Editor.app"), true}, {scratch / "Other.app", true}, {at("Viewer.APP"), true}};
    const Names names = {"alpha.txt", "beta.txt", "Docs", "Editor.app", "Photos", "Viewer.APP"};
    const auto before = snapshots(names);

    skin(6, true);
    ASSERT_TRUE(exists(at("Docs/Icon\r")));
    EXPECT_EQ(engine.restore(), (OperationReport{6, 0, {}, 0, {"Editor", "Viewer"}, {}}));
    EXPECT_EQ(snapshots(names), before);
    EXPECT_FALSE(exists(manifestFile));
    EXPECT_TRUE(exists(backups + "/operation.lock"));
}

TEST_F(RestoreTransaction, WithoutPendingEntriesChangesNothingAndRemovesAnEmptyManifest) {
    make({"a.txt"});
    EXPECT_EQ(engine.restore(), OperationReport{});
    Names names;
    ASSERT_EQ(FileSystem::real().listDirectory(backups, names), 0);
    EXPECT_EQ(names, Names{"operation.lock"});

    BackupManifest empty;
    empty.rootPath = root;
    empty.rootIdentity = identifyItem(FileSystem::real(), root);
    engine.saveManifest(empty);
    EXPECT_EQ(engine.restore(), OperationReport{});
    EXPECT_FALSE(exists(manifestFile));
    EXPECT_FALSE(exists(skipFolder));

    // The emptied manifest that cannot be removed fails the run, though every item is back.
    skin(1);
    fs.unlinkErrors[manifestFile] = EIO;
    EXPECT_THROW(engine.restore(), platform::SystemError);
    EXPECT_TRUE(clean(at("a.txt")));
    EXPECT_TRUE(engine.loadManifest().value().entries.empty());
    fs.unlinkErrors.clear();
    EXPECT_EQ(engine.restore(), OperationReport{});
    EXPECT_FALSE(exists(manifestFile));
}

// Only the custom icon counts: a new label is kept, any other change keeps the backup.
TEST_F(RestoreTransaction, KeepsTheBackupOfItemsChangedReplacedOrUnreadable) {
    make({"alpha.txt", "beta.txt", "Docs", "flagless.txt", "forked.txt", "locked.txt", "Marked", "new.txt"});
    test::setRawAttribute(at("beta.txt"), kFinder, labelled());
    skin(8);
    for (const char* name : {"alpha.txt", "beta.txt", "Marked"}) {
        editFinder(name, 9, 0x0A);
    }
    editFinder("flagless.txt", 8, 0, 0xFB);
    test::setRawAttribute(at("forked.txt"), kFork, foreignFork());
    test::writeFile(at("Docs/Icon\r"), "changed", 0644);
    test::writeFile(scratch / "new", "other");
    move(scratch / "new", at("new.txt"));
    fs.lstatErrors[at("locked.txt")] = EACCES;
    const Names kept = {"Docs", "flagless.txt", "forked.txt", "locked.txt", "new.txt"};
    const auto after = snapshots(kept);

    const Names errors = {lineOf("Docs", kChanged), lineOf("flagless.txt", kChanged), lineOf("forked.txt", kChanged),
                          lineOf("locked.txt", "项目无法访问，已保留备份：locked.txt"),
                          lineOf("new.txt", "原位置的项目已被替换")};
    EXPECT_EQ(engine.restore(), reportOf(3, 0, errors, 5));
    fs.lstatErrors.clear();
    EXPECT_EQ(snapshots(kept), after);
    EXPECT_TRUE(skinned(at("locked.txt")));
    EXPECT_EQ(test::readFile(at("new.txt")), "other");
    Bytes onlyLabel(32, 0), relabelled = labelled();
    onlyLabel[9] = relabelled[9] = 0x0A;
    EXPECT_EQ(snapshot(at("alpha.txt")), (Snapshot{{kFinder, onlyLabel}}));
    EXPECT_EQ(snapshot(at("Marked")), (Snapshot{{kFinder, onlyLabel}}));
    EXPECT_EQ(snapshot(at("beta.txt")), (Snapshot{{kFinder, relabelled}}));
    EXPECT_EQ(phases(), (Phases{{"Docs", kPhaseApplied}, {"flagless.txt", kPhaseApplied}, {"forked.txt", kPhaseApplied},
                                {"locked.txt", kPhaseApplied}, {"new.txt", kPhaseApplied}}));
}

TEST_F(RestoreTransaction, PreparedEntryAlreadyShowingItsOriginalLeavesWithoutAWrite) {
    make({"plain.txt", "Docs"});
    skin(2);
    BackupManifest manifest = engine.loadManifest().value();
    for (BackupEntry& entry : manifest.entries) {
        entry.phase = kPhasePrepared;
    }
    engine.saveManifest(manifest);
    for (const char* name : {"plain.txt", "Docs"}) {
        ::lremovexattr(at(name).c_str(), kFinder);
        ::lremovexattr(at(name).c_str(), kFork);
    }
    ASSERT_EQ(::unlink(at("Docs/Icon\r").c_str()), 0);

    fs.attributeWrites = 0;
    EXPECT_EQ(engine.restore(), reportOf(2, 0, {}, 0));
    EXPECT_EQ(fs.attributeWrites, 0);
    EXPECT_TRUE(clean(at("plain.txt")) && clean(at("Docs")));
    EXPECT_FALSE(exists(manifestFile));
}

TEST_F(RestoreTransaction, MovesGoneItemsIntoPrivateSkipRecords) {
    make({"a.txt", "b.txt", "c.txt"});
    skin(3);
    const BackupManifest before = engine.loadManifest().value();
    ASSERT_EQ(::unlink(at("b.txt").c_str()), 0);
    EXPECT_EQ(engine.restore(), (OperationReport{2, 1, {}, 0, {}, {"b.txt"}}));
    EXPECT_TRUE(clean(at("a.txt")) && clean(at("c.txt")));
    EXPECT_FALSE(exists(manifestFile));
    const Names first = records();
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(test::fileMode(skipFolder), 0700u);
    EXPECT_EQ(test::fileMode(first[0]), 0600u);
    const std::string recordName = first[0].substr(skipFolder.size() + 1);
    EXPECT_TRUE(std::regex_match(recordName, std::regex("[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}\\.json")))
        << recordName;
    BackupManifest single = before;
    single.entries = {before.entries[1]};
    EXPECT_EQ(engine.readManifest(first[0]), single);

    // A whole root that has gone (its parent still there) moves into one record.
    make({"x.txt", "Y", "z.txt"});
    skin(5);
    const BackupManifest whole = engine.loadManifest().value();
    std::filesystem::remove_all(root);
    EXPECT_EQ(engine.restore(), (OperationReport{0, 5, {}, 0, {}, {"a.txt", "c.txt", "x.txt", "Y", "z.txt"}}));
    EXPECT_FALSE(exists(manifestFile));
    Names all = records();
    ASSERT_EQ(all.size(), 2u);
    std::erase(all, first[0]);
    EXPECT_EQ(engine.readManifest(all[0]), whole);
}

TEST_F(RestoreTransaction, KeepsTheBackupWhenTheRootIsUnavailableOrReplaced) {
    make({"a.txt", "b.txt", "c.txt"});
    skin(3);
    const std::string saved = test::readFile(manifestFile);

    fs.lstatErrors[root] = ENOENT;
    fs.otherDevice = scratch.path();
    EXPECT_EQ(errorOf([&] { engine.restore(); }), "原磁盘尚未连接或文件夹不可用，已保留备份。");
    fs.lstatErrors.clear();
    fs.otherDevice.clear();
    EXPECT_EQ(test::readFile(manifestFile), saved);
    EXPECT_FALSE(exists(skipFolder));

    move(root, root + ".old");
    test::makeDirectory(root);
    EXPECT_EQ(errorOf([&] { engine.restore(); }), kRootReplaced);
    EXPECT_EQ(test::readFile(manifestFile), saved);
    EXPECT_TRUE(skinned(root + ".old/a.txt"));
    ASSERT_EQ(::rmdir(root.c_str()), 0);
    move(root + ".old", root);

    // Replaced once the first entry has left the manifest.
    int saves = 0;
    fs.afterRename = [&](const std::string& to) {
        if (to == manifestFile && ++saves == 2) {
            move(root, scratch / "moved");
            test::makeDirectory(root);
            make({"b.txt", "c.txt"});
        }
    };
    EXPECT_EQ(engine.restore(),
              reportOf(1, 0, {lineOf("b.txt", kRootReplaced), lineOf("c.txt", kRootReplaced)}, 2));
    EXPECT_TRUE(clean(scratch / "moved/a.txt"));
    EXPECT_TRUE(skinned(scratch / "moved/b.txt"));
    EXPECT_TRUE(clean(at("b.txt")));
    EXPECT_EQ(phases(), (Phases{{"b.txt", kPhaseApplied}, {"c.txt", kPhaseApplied}}));
}

// Failures part-way keep the entry "restoring"; a later run finishes it. Whatever stands in place of
// an "Icon\r" file is never deleted.
TEST_F(RestoreTransaction, FinishesInterruptedWriteBacksAndNeverDeletesAFolderInPlaceOfTheIconFile) {
    decorate();
    make({"Docs", "Pics"});
    const Names names = {"beta.txt", "Photos", "Pics"};
    const auto before = snapshots(names);
    skin(4);
    ASSERT_EQ(::unlink(at("Docs/Icon\r").c_str()), 0);
    test::makeDirectory(at("Docs/Icon\r"));
    test::writeFile(at("Docs/Icon\r/inner.txt"), "keep");
    fs.setAttributeErrors = {{at("beta.txt"), EIO}, {at("Photos/Icon\r"), EIO}};
    fs.unlinkErrors[at("Pics/Icon\r")] = EISDIR;

    const std::string eio = "（" + platform::errorText(EIO) + "）";
    const OperationReport report = engine.restore();
    ASSERT_EQ(report.errors.size(), 4u);
    EXPECT_TRUE(report.errors[1].starts_with("Docs：")) << report.errors[1];
    EXPECT_EQ(report, reportOf(0, 0,
                                       {lineOf("beta.txt", "无法写入图标属性：beta.txt" + eio), report.errors[1],
                                        lineOf("Photos", "无法写入图标属性：Icon\r" + eio),
                                        lineOf("Pics", platform::SystemError(EISDIR, at("Pics/Icon\r")).what())},
                                       4));
    EXPECT_TRUE(exists(at("Pics/Icon\r")));
    EXPECT_EQ(phases(), (Phases{{"beta.txt", kPhaseRestoring}, {"Docs", kPhaseApplied},
                                {"Photos", kPhaseRestoring}, {"Pics", kPhaseRestoring}}));

    fs.setAttributeErrors.clear();
    fs.unlinkErrors.clear();
    EXPECT_EQ(engine.restore(), reportOf(3, 0, {report.errors[1]}, 1));
    EXPECT_EQ(snapshots(names), before);
    EXPECT_EQ(test::readFile(at("Docs/Icon\r/inner.txt")), "keep");
    EXPECT_EQ(phases(), (Phases{{"Docs", kPhaseApplied}}));
}

TEST_F(RetrySkipped, IgnoresOtherFilesAndTakesRecordsInPathOrder) {
    EXPECT_EQ(engine.retrySkipped(), OperationReport{});
    EXPECT_FALSE(exists(skipFolder));
    test::makeDirectory(skipFolder, 0700);
    EXPECT_EQ(engine.retrySkipped(), OperationReport{});

    // Only names ending in ".json" are records; each is retried, in path order.
    test::writeFile(skipFolder + "/notes.txt", "{");
    test::writeFile(skipFolder + "/old.JSON", "{");
    BackupManifest manifest;
    manifest.rootPath = root;
    manifest.rootIdentity = identifyItem(FileSystem::real(), root);
    std::uint64_t inode = 900000;
    for (const auto& [file, name] : {std::pair{"c", "three"}, {"a", "one"}, {"e", "five"}, {"d", "four"}, {"b", "two"}}) {
        manifest.entries = {{name, {manifest.rootIdentity.device, ++inode, 0, 0, kTypeRegular}, {}, {}, kPhaseApplied}};
        engine.saveManifest(manifest, skipFolder + "/" + file + ".json");
    }
    EXPECT_EQ(engine.retrySkipped(), (OperationReport{0, 5, {}, 0, {}, {"one", "two", "three", "four", "five"}}));
    EXPECT_EQ(records().size(), 5u);
}

TEST_F(RetrySkipped, RestoresItemsThatCameBackAndKeepsTheRest) {
    make({"x.txt", "y.txt"});
    skin(2);
    move(root, scratch / "away");
    EXPECT_EQ(engine.restore(), (OperationReport{0, 2, {}, 0, {}, {"x.txt", "y.txt"}}));
    move(scratch / "away", root);
    move(at("y.txt"), scratch / "y.txt");
    const Names record = records();
    ASSERT_EQ(record.size(), 1u);

    EXPECT_EQ(engine.retrySkipped(), (OperationReport{1, 1, {}, 0, {}, {"y.txt"}}));
    EXPECT_TRUE(clean(at("x.txt")));
    EXPECT_EQ(records(), record);
    const BackupManifest kept = engine.readManifest(record[0]).value();
    ASSERT_EQ(kept.entries.size(), 1u);
    EXPECT_EQ(kept.entries[0].name, "y.txt");
    const std::string bytes = test::readFile(record[0]);
    EXPECT_EQ(engine.retrySkipped(), (OperationReport{0, 1, {}, 0, {}, {"y.txt"}}));
    EXPECT_EQ(test::readFile(record[0]), bytes);

    // Refused while a restore is pending, with nothing touched.
    move(scratch / "y.txt", at("y.txt"));
    const std::string other = scratch / "other";
    test::makeDirectory(other);
    test::writeFile(other + "/o.txt", "o");
    ASSERT_EQ(engine.apply(other, false, false).succeeded, 1);
    const std::string pending = test::readFile(manifestFile);
    EXPECT_EQ(errorOf([&] { engine.retrySkipped(); }), "请先完成当前还原，再重试已跳过的项目。");
    EXPECT_EQ(test::readFile(record[0]), bytes);
    EXPECT_EQ(test::readFile(manifestFile), pending);
    EXPECT_TRUE(skinned(at("y.txt")));
    EXPECT_EQ(engine.restore().succeeded, 1);

    // A broken record costs only its own line; the others are still retried.
    test::writeFile(skipFolder + "/0.json", "{", 0600);
    const std::string broken = errorOf<DecodingError>([] { decodeManifest("{"); });
    EXPECT_EQ(engine.retrySkipped(), reportOf(1, 0, {broken}, 0));
    EXPECT_TRUE(clean(at("y.txt")));
    EXPECT_EQ(records(), Names{skipFolder + "/0.json"});
    EXPECT_EQ(test::readFile(skipFolder + "/0.json"), "{");
}

TEST_F(SkipRecordFolder, RefusesWhatIsNotAPlainFolder) {
    make({"gone.txt", "kept.txt"});
    skin(2);
    ASSERT_EQ(::unlink(at("gone.txt").c_str()), 0);
    const BackupManifest manifest = engine.loadManifest().value();

    test::writeFile(skipFolder, "not a folder");
    EXPECT_THROW(engine.archiveMissing(manifest), platform::SystemError);
    const OperationReport report = engine.restore();
    ASSERT_EQ(report.errors.size(), 1u);
    EXPECT_TRUE(report.errors[0].starts_with("gone.txt：")) << report.errors[0];
    EXPECT_EQ(report, reportOf(1, 0, report.errors, 1));
    EXPECT_EQ(phases(), (Phases{{"gone.txt", kPhaseApplied}}));
    EXPECT_EQ(test::readFile(skipFolder), "not a folder");
    move(manifestFile, scratch / "pending.json");
    EXPECT_EQ(errorOf([&] { engine.retrySkipped(); }), "跳过记录的备份目录不可用");

    // A link to a folder is refused before anything is written through it.
    ASSERT_EQ(::unlink(skipFolder.c_str()), 0);
    test::makeDirectory(scratch / "elsewhere");
    ASSERT_EQ(::symlink((scratch / "elsewhere").c_str(), skipFolder.c_str()), 0);
    const std::string linkMessage = "跳过符号链接或特殊文件：missing-backups";
    EXPECT_EQ(errorOf([&] { engine.archiveMissing(manifest); }), linkMessage);
    EXPECT_EQ(errorOf([&] { engine.retrySkipped(); }), linkMessage);
    move(scratch / "pending.json", manifestFile);
    EXPECT_EQ(engine.restore(), reportOf(0, 0, {lineOf("gone.txt", linkMessage)}, 1));
    EXPECT_TRUE(std::filesystem::is_empty(scratch / "elsewhere"));
}

}  // namespace
}  // namespace lumaro
