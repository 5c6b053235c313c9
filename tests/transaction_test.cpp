// The engine on real folders: which roots and items an apply takes, what apply and restore change and
// record, how they stop, skip records with their retry, and the backup store under them (a save killed
// at any change: the fault tests).
#include <grp.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <filesystem>

#include "engine/pipelined_writes.h"
#include "platform/system_error.h"
#include "records/attributes.h"
#include "records/desktop_form.h"
#include "records/icon_facet.h"
#include "records/identity.h"
#include "records/mac_form.h"
#include "tests/support/fault_fs.h"

namespace lumaro {
namespace {

using platform::FileSystem;
using Names = std::vector<std::string>;
using test::errorOf;
using test::kFinderInfo;
using test::treeSnapshot;

bool untouched(const std::string& path) {
    return test::userAttributes(path).empty() && !test::exists(path + "/Icon\r");
}

// A scratch folder holding "root", and an engine over a FaultFs that keeps its backups in "backups".
class Transaction : public ::testing::Test {
  protected:
    test::ScratchDir scratch;
    test::FaultFs fs;
    test::FakeWorkspace workspace;
    const std::string root = scratch / "root", backups = scratch / "backups";
    IconEngine engine{fs, backups, loadFurball(), workspace};
    void SetUp() override { test::makeDirectory(root); }
    std::string at(const std::string& name) const { return root + "/" + name; }
    const std::string manifestFile = backups + "/backup.json";
    const std::string skipFolder = backups + "/missing-backups";
    // Plain files for names ending in ".txt", folders for the others.
    void make(const Names& names) const {
        for (const std::string& name : names)
            name.ends_with(".txt") ? test::writeFile(at(name), name) : test::makeDirectory(at(name));
    }
    void skin(std::int64_t expected) const {
        ASSERT_EQ(engine.apply(root, ApplyScope::withoutApplications).succeeded, expected);
    }
    Names records() const {  // in path order
        std::set<std::string> paths;
        for (const auto& file : std::filesystem::directory_iterator(skipFolder))
            paths.insert(file.path());
        return {paths.begin(), paths.end()};
    }
    // The state as the engine sees it, with the workspace's metadata store.
    IconState stateOf(const std::string& path) {
        IconContext context;
        context.metadata = &workspace.metadata;
        return captureIconState(FileSystem::real(), path, identifyItem(FileSystem::real(), path), context);
    }
};
using Selection = Transaction;
using Apply = Transaction;
using Restore = Transaction;
using BackupStore = Transaction;

TEST_F(Selection, ValidateTargetRefusesRootsHoldingTheBackupsAndWhatIsNotAFolder) {
    test::writeFile(scratch / "file.txt", "x");
    test::makeDirectory(scratch / "back");
    test::makeDirectory(backups + "/inner");
    ASSERT_EQ(::symlink(root.c_str(), (scratch / "link").c_str()), 0);
    const std::string s = scratch.path(), holds = "所选文件夹不能包含备份目录，请选择桌面或其他文件夹。";
    // A shared prefix does not make the backup folder's name an ancestor; folders inside it are fine.
    const std::pair<std::string, Names> cases[] = {
        {holds,
         {"/", backups + "/", s.substr(0, s.rfind('/')), s + "/./root/../backups/",
          s + "//backups/inner/.."}},
        {"<no error>", {s + "/backups/../root/./", s + "/back", backups + "/./inner"}},
        {"请选择文件夹", {s + "/file.txt"}},
        {"项目不存在或无法读取：missing", {s + "/missing/"}},
        {"跳过符号链接或特殊文件：link", {s + "/link/."}}};
    for (const auto& [message, targets] : cases)
        for (const std::string& target : targets)
            EXPECT_EQ(errorOf([&] { engine.validateTarget(target); }), message) << target;
}

// Links, FIFOs, hard links and hidden names: the mixed-folder apply below.
TEST_F(Selection, IsEligibleSkipsWhatCannotOrMustNotBeSkinned) {
    for (const char* file :
         {"plain.txt", "Slides.key", "Fake.app", "ok \xe2\x9c\x93", "bad\xff", ".dot", "Icon\r", "Listed"})
        test::writeFile(at(file), "");
    const std::string plist =
        "<plist version=\"1.0\"><dict><key>CFBundleIdentifier</key><string>org.example.";
    for (const std::string folder : {"folder", "Editor.app", "Tool.APP", "Report.pages", "Lumaro.app"}) {
        std::filesystem::create_directories(at(folder) + "/Contents");
        test::writeFile(at(folder) + "/Contents/Info.plist", plist + folder + "</string></dict></plist>");
    }
    workspace.own = "org.example.Lumaro.app";
    test::writeFile(at(".hidden"), "Listed\n");
    // Eligible without applications, with them, and with applications only.
    const ApplyScope scopes[] = {ApplyScope::withoutApplications, ApplyScope::withApplications,
                                 ApplyScope::applicationsOnly};
    const std::pair<std::string, Names> cases[] = {
        {"YYN", {"plain.txt", "folder", "Slides.key", "Fake.app", "ok \xe2\x9c\x93"}},
        {"NYY", {"Editor.app", "Tool.APP"}},
        {"NNN", {"Lumaro.app", "Report.pages", "bad\xff", ".dot", "Icon\r", "Listed"}}};
    for (const auto& [expected, names] : cases)
        for (const std::string& name : names)
            for (std::size_t mode = 0; mode < 3; ++mode)
                EXPECT_EQ(engine.isEligible(at(name), scopes[mode]), expected[mode] == 'Y') << name << mode;
    fs.fail["access " + at("Tool.APP")] = EACCES;  // an application left out is never reported
    EXPECT_FALSE(engine.isEligible(at("Tool.APP"), ApplyScope::withoutApplications));
    EXPECT_EQ(errorOf([&] { engine.isEligible(at("vanished"), ApplyScope::withoutApplications); }),
              "无法读取项目");
}

TEST_F(Apply, SkinsAMixedFolderRecordsEveryOriginalStateExactlyAndTheRestoreGivesItBack) {
    for (const char* name : {"alpha.txt", "beta.txt", "hard1", ".secret", "Secret"})
        test::writeFile(at(name), name);
    for (const char* folder : {"Docs", "Photos", "Editor.APP", "Locked.app", "Doc.pages"})
        test::makeDirectory(at(folder));
    test::setRawAttribute(at("beta.txt"), kFinderInfo, test::finderInfo(std::string("TEXTttxt\0\x0E", 10)));
    test::setRawAttribute(at("beta.txt"), test::kResourceFork, test::resourceFork("TEXT", 128, "foreign"));
    test::setRawAttribute(at("beta.txt"), "user.xdg.comment", test::bytesOf("mine"));
    test::writeFile(at("Photos/Icon\r"), "old icon data", 0600);
    test::writeFile(at("Photos/.hidden"), "Icon\r\n", 0644);  // already as the skin leaves it
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
    for (const char* name : {"alpha.txt", "beta.txt", "Docs", "Editor.APP", "Photos"})
        entries.push_back(
            {name, identifyItem(FileSystem::real(), at(name)), stateOf(at(name)), {}, "applied"});

    // Skipped: link, pipe, hard1, hard2, Doc.pages; hidden names are not counted at all. Each item is
    // told to the progress handler once, when the run is done with it: a skinned one once its skin is on.
    std::map<std::string, bool> told;
    std::vector<std::size_t> counts;
    engine.setProgressHandler([&](std::size_t done, std::size_t total, const std::string& name) {
        told.emplace(name, !untouched(at(name)));
        counts.push_back(done * 100 + total);
    });
    const ItemError locked{"Locked.app", ErrorKind::noWritePermission, kNoWritePermission};
    EXPECT_EQ(engine.apply(root + "/", ApplyScope::withApplications),
              (OperationReport{5, 5, {locked}, 5, {"Editor"}, {}}));
    engine.setProgressHandler({});
    EXPECT_EQ(counts, (std::vector<std::size_t>{111, 211, 311, 411, 511, 611, 711, 811, 911, 1011, 1111}));
    for (const char* name : {"alpha.txt", "beta.txt", "Docs", "Editor.APP", "Photos"})
        EXPECT_TRUE(told.at(name)) << name;
    long saved = -1, i = 0;  // each item, and a folder's "Icon\r", synced before the last save ("applied")
    for (const std::string& call : fs.log)
        saved = call.starts_with("rename ") && call.ends_with(manifestFile) ? i : saved, ++i;
    for (const std::string item : {"alpha.txt", "Docs", "Editor.APP", "Photos", "Photos/Icon\r"})
        EXPECT_TRUE(fs.indexOf("fsync " + at(item)) >= 0 && fs.indexOf("fsync " + at(item)) < saved) << item;
    EXPECT_EQ(std::count_if(fs.log.begin(), fs.log.end(),
                            [&](const std::string& call) {
                                return call.find(at("Photos/..hidden")) != std::string::npos;
                            }),
              0)
        << "a list already naming the icon file is not written again";
    for (BackupEntry& entry : entries) {
        entry.applied = stateOf(at(entry.name));
        EXPECT_TRUE(hasCustomIconFlag(entry.applied.get<MacAttributes>().finder)) << entry.name;
    }
    const BackupManifest manifest = engine.loadManifest().value();
    const FileIdentity rootIdentity = identifyItem(FileSystem::real(), root);
    EXPECT_EQ(manifest, (BackupManifest{manifest.schema, root, rootIdentity, manifest.createdAt, entries}));
    EXPECT_EQ(entries[1].applied.get<MacAttributes>().finder, test::finderInfo("TEXTttxt\x04\x0E"))
        << "the label is kept";
    EXPECT_EQ(test::readFile(at("Photos/Icon\r")), "old icon data");
    for (const char* name : {"Locked.app", "Doc.pages", "hard1", "Secret", ".secret", "pipe"})
        EXPECT_TRUE(untouched(at(name))) << name;

    // A second apply is refused before it even reads the root.
    Names looks;
    fs.observe = [&](const std::string& c) {
        c.find(root) != std::string::npos ? looks.push_back(c) : void();
    };
    EXPECT_EQ(errorOf([&] { engine.apply(root, ApplyScope::withoutApplications); }),
              "已有待还原的备份，请先点击“一键还原”。");
    EXPECT_EQ(looks, Names{});

    // The restore gives back every item byte for byte, the added "Icon\r" files go. Only the custom icon
    // counts: a label set since survives; any other change keeps the changed form as it is, and the
    // backup, while each Linux form still carrying the skin goes back (Docs' ".directory" goes).
    Bytes finder = test::rawAttribute(at("alpha.txt"), kFinderInfo);
    finder[9] = 0x0A;
    test::setRawAttribute(at("alpha.txt"), kFinderInfo, finder);
    test::setRawAttribute(at("beta.txt"), test::kResourceFork, test::resourceFork("TEXT", 128, "other"));
    test::writeFile(at("Docs/Icon\r"), "changed", 0644);
    EXPECT_EQ(test::readFile(at("Photos/.hidden")), "Icon\r\n");
    test::writeFile(at("Photos/.hidden"), "Icon\r\nmine\n", 0600);  // another program's save
    auto expected = before;
    for (const auto& [path, value] : treeSnapshot(root))
        if (path.starts_with(at("beta.txt")) || path.starts_with(at("Docs")) || path == at("Photos/.hidden"))
            expected[path] = value;
    expected.erase(at("Docs/.hidden"));  // each Linux form decides alone: the skin's list goes
    expected.erase(at("Docs/.directory"));
    const Bytes label = test::finderInfo(std::string(9, '\0') + '\x0A');
    expected[at("alpha.txt") + " " + kFinderInfo] = std::string(label.begin(), label.end());
    const auto changed = [](const char* name) { return ItemError{name, ErrorKind::item, kChangedSinceSkin}; };
    EXPECT_EQ(engine.restore(),
              (OperationReport{
                  2, 0, {changed("beta.txt"), changed("Docs"), changed("Photos")}, 3, {"Editor"}, {}}));
    EXPECT_EQ(treeSnapshot(root), expected);
}

// Another program's save of a key file during the skin is never recorded as the skin's (a restore would
// write over it): after the recheck, where the file already is as the skin leaves it and is not written, or
// just after the skin put it in place. The item fails and the save stays.
TEST_F(Apply, AKeyFileSavedByAnotherProgramDuringTheSkinFailsTheItemAndStays) {
    make({"Listed", "Placed"});
    test::writeFile(at("Listed/.hidden"), "Icon\r\n", 0644);
    const std::string theirs = "Icon\r\nmine\n";
    workspace.metadata.inject = [&](const std::string& call) {  // the group's writes: after the recheck
        return call == "metadata " + at("Listed") ? test::writeFile(at("Listed/.hidden"), theirs), 0 : 0;
    };
    fs.afterRename = [&](const std::string& to) {
        to == at("Placed/.hidden") ? test::writeFile(to, theirs) : void();
    };
    const auto changed = [](const char* name) {
        return ItemError{name, ErrorKind::item, kChangedSinceBackup};
    };
    EXPECT_EQ(engine.apply(root, ApplyScope::withoutApplications),
              (OperationReport{0, 0, {changed("Listed"), changed("Placed")}, 2, {}, {}}));
    EXPECT_EQ(std::pair(test::readFile(at("Listed/.hidden")), test::readFile(at("Placed/.hidden"))),
              std::pair(theirs, theirs));
}

// A ".directory" the skin and the restore rewrite keeps its owner, group, set-group-ID and sticky bits,
// extended attributes and ACL, for an unprivileged owner (the engine runs as "nobody" in a child); one whose
// owner or group that user cannot give a file is left as it is, reported, and its backup restores cleanly.
TEST_F(Apply, KeyFilesKeepOwnerModeAttributesAndAclOrAreRefusedForAnUnprivilegedOwner) {
    constexpr uid_t kUser = 65534;
    constexpr gid_t kGroup = 65534, kOther = 100;
    // user::rw- user:1234:r-- group::r-- mask::r-- other::r--: per entry tag, permissions (16 bits), ID (32)
    const Bytes acl{2, 0,   0,   0,   1,   0,   6,  0, 255, 255, 255, 255, 2,   0,  4,
                    0, 210, 4,   0,   0,   4,   0,  4, 0,   255, 255, 255, 255, 16, 0,
                    4, 0,   255, 255, 255, 255, 32, 0, 4,   0,   255, 255, 255, 255};
    const auto as = [&](bool restoring) {  // the engine as the unprivileged owner: the number of errors
        return test::exitCodeOf([&] {
            const gid_t groups[] = {kGroup, kOther};
            if (::setgroups(2, groups) != 0 || ::setgid(kGroup) != 0 || ::setuid(kUser) != 0)
                return 99;
            test::FakeWorkspace own;  // the store is this process's own: unavailable, as outside a session
            own.metadata.unavailable = true;
            const IconEngine e(FileSystem::real(), backups, loadFurball(), own);
            return static_cast<int>(
                (restoring ? e.restore() : e.apply(root, ApplyScope::withoutApplications)).errors.size());
        });
    };
    const auto file = at("F/.directory");
    const auto state = [&] {  // owner, group, mode, user attributes, ACL
        struct stat st {};
        Bytes access(256);
        const ssize_t size =
            ::lgetxattr(file.c_str(), "system.posix_acl_access", access.data(), access.size());
        access.resize(size > 0 ? std::size_t(size) : 0);
        return ::lstat(file.c_str(), &st),
               std::tuple(st.st_uid, st.st_gid, st.st_mode & 07777, test::userAttributes(file), access);
    };
    using Row = std::tuple<const char*, uid_t, gid_t, unsigned, bool, bool>;  // owner, group, mode, ACL, kept
    for (const auto& [what, owner, group, mode, attributes, kept] :
         {Row{"plain", kUser, kGroup, 0644, false, true},
          Row{"set-group-ID, sticky, the owner's other group", kUser, kOther, 03664, false, true},
          Row{"attributes and ACL", kUser, kGroup, 0640, true, true},
          Row{"owned by root", 0, 0, 0666, false, false},
          Row{"a group the owner is not in", kUser, 0, 0644, false, false}}) {
        SCOPED_TRACE(what);
        std::filesystem::remove_all(scratch.path()), test::makeDirectory(scratch.path()),
            test::makeDirectory(root), make({"F"});
        test::writeFile(file, "[Desktop Entry]\nIcon=folder\n");
        for (const std::string& path : {scratch.path(), root, at("F")})
            ASSERT_EQ(::chown(path.c_str(), kUser, kGroup), 0);
        ASSERT_EQ(::chown(file.c_str(), owner, group) | ::chmod(file.c_str(), mode), 0);
        if (attributes)
            test::setRawAttribute(file, "user.note", test::bytesOf("keep")),
                test::setRawAttribute(file, "system.posix_acl_access", acl);
        const auto original = state();
        EXPECT_EQ(as(false), kept ? 0 : 1);
        EXPECT_EQ(state(), original);
        EXPECT_EQ(test::readFile(file).find("furball") != std::string::npos, kept);
        EXPECT_EQ(as(true), 0);
        EXPECT_EQ(std::pair(state(), test::readFile(file)),
                  std::pair(original, std::string("[Desktop Entry]\nIcon=folder\n")));
    }
}

// Hostile names and metadata: an item whose record cannot be saved, or whose metadata is not UTF-8, is
// reported alone; it never enters the next item's save, and the items after it are skinned and restored.
TEST_F(Apply, OneHostileItemNeverFailsTheItemsAfterIt) {
    const Names names = {"a.txt", "b\xff.txt", "c：d.txt", "d\x01.txt", "e.txt", "f.txt"};
    make(names);
    workspace.metadata.keys[at("e.txt")] = {std::nullopt, "\xff"};
    EXPECT_EQ(
        engine.apply(root, ApplyScope::withoutApplications),
        (OperationReport{4, 1, {{"e.txt", ErrorKind::item, "项目的桌面元数据无法安全处理"}}, 4, {}, {}}));
    EXPECT_EQ(engine.restore(), (OperationReport{4, 0, {}, 0, {}, {}}));
    for (const std::string& name : names)
        EXPECT_TRUE(untouched(at(name))) << name;
    // An entry whose record cannot be saved (an ID not UTF-8, past discovery) never enters the next save.
    const std::string source = scratch / "s.desktop", apps = scratch / "apps";
    test::writeFile(source, "[Desktop Entry]\nType=Application\nName=S\nIcon=s\n"), test::makeDirectory(apps);
    const OperationReport entries =
        engine.applyDesktopEntries(apps, {{"x\xff.desktop", source, "X"}, {"y.desktop", source, "Y"}});
    EXPECT_EQ(std::pair(entries.succeeded, entries.errors.size()),
              std::pair(std::int64_t{1}, std::size_t{1}));
    EXPECT_EQ(engine.restore().succeeded, 1);
    EXPECT_FALSE(test::exists(apps + "/y.desktop"));
}

// An item changed after its backup was saved is left as it is, and so is everything once the root is
// replaced.
TEST_F(Apply, StopsAnItemChangedAfterItsBackupWasSavedAndSkinningARootReplacedMidRun) {
    make({"a.txt", "b.txt", "c.txt"});
    engine.setBatchLimit(2);
    const std::string old = root + ".old";
    const Bytes marker = test::finderInfo("MARK");
    int saves = 0;
    fs.afterRename = [&](const std::string& to) {
        if (to.ends_with("/backup.json") && ++saves == 1)
            test::setRawAttribute(at("a.txt"), kFinderInfo, marker);
        else if (to.ends_with("/backup.json") && saves == 2)  // the first batch saved again: root replaced
            std::filesystem::rename(root, old), test::makeDirectory(root), make({"c.txt"});
    };
    const ItemError a{"a.txt", ErrorKind::item, kChangedSinceBackup},
        c{"c.txt", ErrorKind::item, "所选文件夹已被替换"};
    EXPECT_EQ(engine.apply(root, ApplyScope::withoutApplications),
              (OperationReport{1, 0, {a, c}, 2, {}, {}}));
    EXPECT_EQ(test::userAttributes(old + "/a.txt"), (std::map<std::string, Bytes>{{kFinderInfo, marker}}));
    const std::vector<BackupEntry> entries = engine.loadManifest().value().entries;
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ((Names{entries[0].name, entries[0].phase, entries[1].name, entries[1].phase}),
              (Names{"a.txt", kPhasePrepared, "b.txt", kPhaseApplied}));
    EXPECT_TRUE(untouched(at("c.txt")) && untouched(old + "/c.txt"));
}

// Where the session's file manager draws badges and no custom icon (Xfce, LXDE), the skin adds the furball
// emblem after the item's own and installs it once as a theme icon; other sessions get no emblem. The
// restore, wherever it runs, puts each recorded list back, and keeps an item whose list a person changed as
// it is.
TEST_F(Apply, AnXfceSessionAddsTheFurballEmblemAndTheRestoreGivesBackEveryListNotChangedSince) {
    using Lists = std::map<std::string, Names>;
    make({"a.txt", "b.txt", "F"});
    auto& store = workspace.metadata;
    store.emblems[at("a.txt")] = {"emblem-new", "emblem-important"};
    workspace.dataHome = scratch / "data";
    const std::string icon = platform::emblemIconPath(scratch / "data"),
                      furball = platform::kFurballEmblemName;
    for (const char* desktop : {"GNOME", "", "ubuntu:GNOME", "KDE", "X-Cinnamon", "MATE", "LXQt", "XFCE4"}) {
        workspace.desktop = desktop;
        skin(3);
        EXPECT_EQ(store.emblems.size(), 1u) << desktop;
        EXPECT_FALSE(test::exists(icon)) << desktop;
        ASSERT_EQ(engine.restore().succeeded, 3) << desktop;
    }
    EXPECT_TRUE(platform::desktopDrawsEmblemsOnly("lxde") &&
                platform::desktopDrawsEmblemsOnly("Budgie:XFCE"));
    workspace.desktop = "X-Generic:XFCE";
    skin(3);
    EXPECT_EQ(store.emblems, (Lists{{at("a.txt"), {"emblem-new", "emblem-important", furball}},
                                    {at("b.txt"), {furball}},
                                    {at("F"), {furball}}}));
    EXPECT_EQ(test::readFile(icon), std::string(engine.iconData().begin(), engine.iconData().end()));
    EXPECT_EQ(test::fileMode(icon), 0644u);
    store.emblems[at("b.txt")] = {furball, "emblem-favorite"};
    workspace.desktop = "GNOME";
    EXPECT_EQ(engine.restore(),
              (OperationReport{2, 0, {{"b.txt", ErrorKind::item, kChangedSinceSkin}}, 1, {}, {}}));
    EXPECT_EQ(store.emblems, (Lists{{at("a.txt"), {"emblem-new", "emblem-important"}},
                                    {at("b.txt"), {furball, "emblem-favorite"}}}));
    // A person took every emblem off: that form is original, the others go back.
    store.emblems.erase(at("b.txt"));
    EXPECT_EQ(engine.restore(), (OperationReport{1, 0, {}, 0, {}, {}}));
}

// The metadata service hangs in the middle of the second batch of two, and the store then times out every
// call: the items whose writes did not complete, and the one written whose store could not be flushed, are
// reported and keep "prepared"; the restore brings every item back once the service answers again. The same
// for a restore.
TEST_F(Apply, AServiceHangingMidBatchLeavesItsItemsPreparedAndReported) {
    make({"a.txt", "b.txt", "c.txt", "d.txt", "e.txt", "f.txt"});
    engine.setBatchLimit(2);
    const auto before = treeSnapshot(root);
    bool hung = false;
    workspace.metadata.inject = [&](const std::string& call) {
        return (hung = hung || call == "metadata " + at("d.txt")) ? ETIMEDOUT : 0;
    };
    const auto late = [](const char* name) {
        return ItemError{name, ErrorKind::item, "桌面元数据服务没有响应"};
    };
    const ItemError unsynced{"c.txt", ErrorKind::item, "无法同步桌面元数据"};
    EXPECT_EQ(engine.apply(root, ApplyScope::withoutApplications),
              (OperationReport{2, 0, {unsynced, late("d.txt"), late("e.txt"), late("f.txt")}, 6, {}, {}}));
    Names phases;
    for (const BackupManifest manifest = engine.loadManifest().value();
         const BackupEntry& entry : manifest.entries)
        phases.push_back(entry.name + " " + entry.phase);
    EXPECT_EQ(phases, (Names{"a.txt applied", "b.txt applied", "c.txt prepared", "d.txt prepared",
                             "e.txt prepared", "f.txt prepared"}));
    workspace.metadata.inject = nullptr;
    EXPECT_EQ(engine.restore(), (OperationReport{6, 0, {}, 0, {}, {}}));
    EXPECT_EQ(treeSnapshot(root), before);
    EXPECT_TRUE(workspace.metadata.keys.empty());
    // A restore whose writes from d.txt on go unanswered, c.txt's and d.txt's in one group: those items keep
    // their entries; the next restore brings them back.
    skin(6);
    workspace.metadata.inject = [&](const std::string& call) {
        return call.starts_with("metadata ") && call >= "metadata " + at("d.txt") ? ETIMEDOUT : 0;
    };
    EXPECT_EQ(engine.restore(),
              (OperationReport{3, 0, {late("d.txt"), late("e.txt"), late("f.txt")}, 3, {}, {}}));
    workspace.metadata.inject = nullptr;
    EXPECT_EQ(engine.restore(), (OperationReport{3, 0, {}, 0, {}, {}}));
    EXPECT_EQ(treeSnapshot(root), before);

    // Batches of several groups, overlapping: every seventh item's write fails wherever its group is,
    // and only those items fail; at a restore only those keep their entries.
    engine.setBatchLimit(128);
    Names many;
    for (int i = 0; i < 300; ++i)
        many.push_back("n" + std::to_string(1000 + i) + ".txt");
    make(many);
    const auto all = treeSnapshot(root);
    std::set<std::string> failing;
    for (std::size_t i = 0; i < many.size(); i += 7)
        failing.insert("metadata " + at(many[i]));
    workspace.metadata.inject = [&](const std::string& call) { return failing.count(call) ? EIO : 0; };
    const OperationReport skinned = engine.apply(root, ApplyScope::withoutApplications);
    EXPECT_EQ(std::tuple(skinned.succeeded, skinned.errors.size()), std::tuple(263, 43u));
    workspace.metadata.inject = nullptr;
    EXPECT_EQ(engine.restore().succeeded, 306);
    EXPECT_EQ(treeSnapshot(root), all);
    skin(306);
    workspace.metadata.inject = [&](const std::string& call) { return failing.count(call) ? EIO : 0; };
    const OperationReport partly = engine.restore();
    EXPECT_EQ(std::tuple(partly.succeeded, partly.errors.size(), partly.remaining), std::tuple(263, 43u, 43));
    workspace.metadata.inject = nullptr;
    EXPECT_EQ(engine.restore().succeeded, 43);
    EXPECT_EQ(treeSnapshot(root), all);
}

// A group's read ahead is taken once and never outlives a change to its path made through the group, nor
// the group's writes once sent: a later read sees the store as it is then.
TEST(GroupReads, AReadAheadIsTakenOnceAndNeverOutlivesAChangeMadeThroughTheGroup) {
    using platform::IconMetadata;
    test::MemoryDesktopMetadata store;
    const IconMetadata before{"file:///before.png", {}}, after{"file:///after.png", "x"};
    const auto readOf = [](platform::DesktopMetadata& from, const std::string& path) {
        IconMetadata value;
        return std::pair(from.read(path, value), value);
    };
    store.keys = {{"/a", before}, {"/b", before}, {"/c", before}};
    PipelinedWrites group(store);
    group.readAhead({"/a", "/b", "/c"});
    store.keys = {{"/a", after}, {"/b", after}, {"/c", after}};  // changed by another program meanwhile
    const auto first = readOf(group, "/a");
    EXPECT_EQ(std::pair(first, readOf(group, "/a")), std::pair(std::pair(0, before), std::pair(0, after)));
    ASSERT_EQ(group.clearIfOurs("/b", "file:///other.png"), 0);
    EXPECT_EQ(readOf(group, "/b"), std::pair(0, after));
    group.send();
    EXPECT_EQ(readOf(group, "/c"), std::pair(0, after));
    group.readAhead({"/c"});
    ASSERT_EQ(group.write("/c", before), 0);  // not among the sent writes: goes to the store
    EXPECT_EQ(readOf(group, "/c"), std::pair(0, before));
}

// Gone items move into skip records a batch at a time: the manifest is saved a few times, not once for each
// (which would write bytes growing with the square of the items), and each backup is kept exactly once.
TEST_F(Restore, ManyGoneItemsLeaveTheManifestABatchAtATime) {
    Names names, gone;
    for (int i = 100; i < 140; ++i)
        names.push_back(std::to_string(i) + ".txt");
    make(names);
    skin(40);
    for (int i = 0; i < 36; ++i)
        gone.push_back(names[static_cast<std::size_t>(i)]), std::filesystem::remove(at(gone.back()));
    int saves = 0;
    fs.afterRename = [&](const std::string& to) { saves += to.ends_with("/backup.json"); };
    EXPECT_EQ(engine.restore(), (OperationReport{4, 36, {}, 0, {}, gone}));
    Names kept;
    for (const std::string& record : records()) {
        const BackupManifest manifest = engine.readManifest(record).value();
        for (const BackupEntry& entry : manifest.entries)
            kept.push_back(entry.name);
    }
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(std::pair(saves <= 4, kept), std::pair(true, gone)) << saves << " saves";
}

TEST_F(Restore, MovesGoneItemsIntoPrivateSkipRecordsButWaitsForAnUnmountedDisk) {
    make({"a.txt", "b.txt", "c.txt"});
    skin(3);
    BackupManifest single = engine.loadManifest().value();
    single.entries = {single.entries[1]};
    // The record allows for our custom icon leaving the old path, which it then does: a new file
    // there shows none.
    single.entries[0].phase = kPhaseClearing;
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
    BackupManifest whole = engine.loadManifest().value();
    for (BackupEntry& entry : whole.entries)
        entry.phase = kPhaseClearing;
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

// Each Linux form decides alone: one reset by someone else stays as it is while the others go back. Another
// object at an item's path loses our custom icon there, reported, and keeps any value of its own.
TEST_F(Restore, AFormResetBySomeoneElseStaysWhileTheOthersGoBackAndANewcomerLosesOnlyOurIcon) {
    const std::string directory = "[Desktop Entry]\nIcon=folder\n";
    for (const std::string form : {"metadata", ".directory", "mac"}) {
        SCOPED_TRACE(form);
        make({"F"}), test::writeFile(at("F/.directory"), directory);
        const IconState original = stateOf(at("F"));
        skin(1);
        form == "metadata" ? (void)workspace.metadata.write(at("F"), *original.get<MetadataKeys>().keys)
        : form == ".directory"
            ? test::writeFile(at("F/.directory"), directory)
            : (void)(::lremovexattr(at("F").c_str(), kFinderInfo) + ::unlink(at("F/Icon\r").c_str()));
        EXPECT_EQ(engine.restore(), (OperationReport{1, 0, {}, 0, {}, {}}));
        EXPECT_EQ(stateOf(at("F")), original);
        std::filesystem::remove_all(at("F"));
    }
    make({"a.txt", "b.txt"});
    workspace.desktop = "XFCE", workspace.dataHome = scratch / "data";  // the badge is kept by path too
    skin(2);
    for (const char* name : {"a.txt", "b.txt"})
        std::filesystem::remove(at(name)), test::writeFile(at(name), "new");
    const platform::IconMetadata theirs{"file:///their.png", std::nullopt};
    workspace.metadata.write(at("b.txt"), theirs);
    workspace.metadata.emblems[at("b.txt")].push_back("emblem-theirs");
    const std::string replaced = "：原位置的项目已被替换", cleared = "：已移除原位置新项目上残留的毛球图标";
    EXPECT_EQ(errorLines(engine.restore().errors),
              (Names{"a.txt" + cleared, "a.txt" + replaced, "b.txt" + cleared, "b.txt" + replaced}));
    EXPECT_EQ(workspace.metadata.keys.count(at("a.txt")) + workspace.metadata.emblems.count(at("a.txt")), 0u);
    EXPECT_EQ(workspace.metadata.keys.at(at("b.txt")), theirs);
    EXPECT_EQ(workspace.metadata.emblems.at(at("b.txt")), Names{"emblem-theirs"});
    EXPECT_EQ(engine.loadManifest()->entries.size(), 2u);
}

// Whatever stands in place of an "Icon\r" file is never deleted; the item keeps its backup. (A restore
// failing part-way and finished by the next run: the fault tests.)
TEST_F(Restore, NeverDeletesAFolderInPlaceOfTheIconFile) {
    make({"Docs", "Pics"});
    skin(2);
    ASSERT_TRUE(std::filesystem::remove(at("Docs/Icon\r")));
    test::makeDirectory(at("Docs/Icon\r"));
    test::writeFile(at("Docs/Icon\r/inner.txt"), "keep");
    const ItemError docs{"Docs", ErrorKind::item, "文件夹包含无法安全处理的 Icon 文件"};
    EXPECT_EQ(engine.restore(), (OperationReport{1, 0, {docs}, 1, {}, {}}));
    EXPECT_EQ(test::readFile(at("Docs/Icon\r/inner.txt")), "keep");
}

// The metadata the skin recorded can be checked and put back only where the session's store is.
TEST_F(Restore, AnEntryWithMetadataWaitsForTheDesktopSessionAndAFailingStoreKeepsIt) {
    make({"a.txt", "F"});
    workspace.metadata.keys[at("a.txt")] = {"file:///old.png", "old-name"};
    skin(2);
    auto& store = workspace.metadata;  // no session, then writes that time out, then a failing flush
    const std::string messages[] = {"需要在桌面会话中运行 Lumaro 才能还原此项目，已保留备份",
                                    "桌面元数据服务没有响应", "无法同步桌面元数据"};
    for (int fault = 0; fault < 3; ++fault) {
        store.unavailable = fault == 0;
        store.failWrites = fault == 1 ? ETIMEDOUT : 0;
        store.failFlush = fault == 2 ? EIO : 0;
        EXPECT_EQ(errorLines(engine.restore().errors),
                  (Names{"a.txt：" + messages[fault], "F：" + messages[fault]}));
    }
    store.failFlush = 0;
    EXPECT_EQ(engine.restore(), (OperationReport{2, 0, {}, 0, {}, {}}));
    EXPECT_EQ(
        store.keys,
        (std::map<std::string, platform::IconMetadata>{{at("a.txt"), {"file:///old.png", "old-name"}}}));
    EXPECT_FALSE(test::exists(at("F/.directory")));
}

TEST_F(Restore, RetryRestoresItemsThatCameBackAndKeepsTheRest) {
    make({"x.txt", "y.txt"});
    skin(2);
    std::filesystem::rename(root, scratch / "away");
    fs.fail["fsync"] = EIO;  // the skip record cannot be saved: "backup.json" stays
    EXPECT_EQ(errorOf<std::exception>([&] { engine.restore(); }),
              platform::SystemError(EIO, skipFolder).what());
    fs.fail.clear();
    ASSERT_TRUE(test::exists(manifestFile));
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
    EXPECT_TRUE(hasCustomIconFlag(test::userAttributes(at("y.txt"))[kFinderInfo]));
    std::filesystem::remove(manifestFile);

    // A record that is not JSON costs only its own line; the others are still retried.
    test::writeFile(skipFolder + "/0.json", "{", 0600);
    const std::string broken = errorOf<DecodingError>([] { decodeManifest("{"); });
    EXPECT_EQ(engine.retrySkipped(), (OperationReport{1, 0, {operationError(broken)}, 0, {}, {}}));
    EXPECT_TRUE(test::userAttributes(at("y.txt")).empty());
    EXPECT_EQ(records(), Names{skipFolder + "/0.json"});
}

// A retry takes the skip records in path order. (Their durability: the fault tests' power loss.)
TEST_F(Restore, SkipRecordsAreRetriedInPathOrder) {
    BackupManifest manifest{1, root, identifyItem(FileSystem::real(), root), 0, {}};
    test::makeDirectory(skipFolder, 0700);
    for (const std::string name : {"c", "a", "d", "b"}) {
        manifest.entries = {
            {name, {manifest.rootIdentity.device, 9000u, 0, 0, kTypeRegular}, {}, {}, kPhaseApplied}};
        ManifestStore(fs, backups).save(manifest, skipFolder + "/" + name + ".json");
    }
    EXPECT_EQ(engine.retrySkipped(), (OperationReport{0, 4, {}, 0, {}, {"a", "b", "c", "d"}}));
}

TEST_F(BackupStore, CreationMakesPrivateFoldersEncodesPngAndRefusesOtherTargets) {
    const test::ScopedUmask none(0);  // the modes are the engine's own
    const IconEngine created(FileSystem::real(), scratch / "state/nested/./backups/", test::sampleImage(),
                             workspace);
    EXPECT_EQ(created.directory(), scratch / "state/nested/backups");
    EXPECT_EQ(test::fileMode(scratch / "state"), 0700u);
    EXPECT_EQ(test::fileMode(created.directory()), 0700u);
    QImage decoded;
    const Bytes& png = created.iconData();
    ASSERT_TRUE(decoded.loadFromData(png.data(), static_cast<int>(png.size()), "PNG"));
    EXPECT_EQ(decoded.convertToFormat(QImage::Format_RGBA8888), test::sampleImage());

    test::writeFile(scratch / "file", "x");
    EXPECT_THROW(IconEngine(fs, scratch / "file", test::sampleImage(), workspace), platform::SystemError);
    ASSERT_EQ(::symlink(scratch.path().c_str(), (scratch / "link").c_str()), 0);
    EXPECT_EQ(errorOf([&] { IconEngine(fs, scratch / "link", test::sampleImage(), workspace); }),
              "跳过符号链接或特殊文件：link");
    EXPECT_EQ(errorOf([&] { IconEngine(fs, scratch / "x", QImage(), workspace); }), "无法读取毛球图像");
}

// A "backup.json" that is not a plain file is refused, and left where it is.
TEST_F(BackupStore, RefusesWhatIsNotAPlainFile) {
    const std::string link = "跳过符号链接或特殊文件：backup.json", target = scratch / "target.json";
    const std::pair<std::function<int()>, std::string> cases[] = {
        {[&] { return ::mkdir(manifestFile.c_str(), 0700); }, "备份文件不可用"},
        {[&] { return ::symlink(target.c_str(), manifestFile.c_str()); }, link},
        {[&] { return ::mkfifo(manifestFile.c_str(), 0600); }, link}};
    test::writeFile(target, "{}", 0600);
    for (const auto& [create, message] : cases) {
        ASSERT_EQ(create(), 0);
        EXPECT_EQ(errorOf([&] { engine.loadManifest(); }), message);
        ASSERT_EQ(::remove(manifestFile.c_str()), 0);
    }
}

// The overlapping groups cover a batch once, in order, each group checked, sent and put before it
// is finished, whatever the batch and group sizes.
TEST(OverlappedGroups, EveryItemOnceInOrderEachGroupCheckedSentPutFinishedThenSettled) {
    struct Group {
        std::size_t start, stop;
        std::string steps;
    };
    const auto step = [](char name) { return [name](Group& group) { group.steps += name; }; };
    for (std::size_t size = 0; size <= 5; ++size) {
        for (std::size_t count = 0; count <= 12; ++count) {
            std::vector<std::pair<std::size_t, std::size_t>> prepared;
            std::vector<std::string> finished;
            runOverlapped(
                count, size,
                [&](std::size_t start, std::size_t stop) {
                    prepared.emplace_back(start, stop);
                    return std::make_unique<Group>(Group{start, stop, {}});
                },
                step('c'), step('s'), step('f'), step('p'),
                [&](Group& group) { finished.push_back(group.steps); });
            std::size_t next = 0;
            for (const auto& [start, stop] : prepared) {
                EXPECT_EQ(start, next);
                EXPECT_GT(stop, start);
                EXPECT_LE(stop - start, std::max<std::size_t>(size, 1));
                next = stop;
            }
            EXPECT_EQ(next, count) << size << " " << count;
            EXPECT_EQ(finished, std::vector<std::string>(prepared.size(), "cspf")) << size << " " << count;
        }
    }
}

}  // namespace
}  // namespace lumaro
