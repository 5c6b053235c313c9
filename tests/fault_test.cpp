// The safety promises under faults: a kill at any step of every operation, a power loss at any sync of an
// apply, an I/O error at any change, two processes at once, objects exchanged under the engine.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "batch/icon_batch_engine.h"
#include "records/desktop_form.h"
#include "records/operation_lock.h"
#include "tests/support/fault_fs.h"

namespace lumaro {
namespace {

namespace stdfs = std::filesystem;
using States = std::map<std::string, std::string>;
using test::inodeOf;
constexpr int kCrashed = test::FaultFs::kCrashedExitCode;
[[maybe_unused]] const bool kInMemory = (test::preferMemoryScratch(), true);

// Whether the report names the item (an error or a missing item) or failed as a whole ("*").
bool mentions(const OperationReport& report, const std::string& name) {
    const auto names = [&](std::string_view l) { return l.starts_with("*：") || l.starts_with(name + "："); };
    return std::ranges::any_of(errorLines(report.errors), names) ||
           std::ranges::count(report.missingItems, name) > 0;
}
OperationReport guarded(const std::function<OperationReport()>& run) try {
    return run();
} catch (const std::exception& error) {
    return OperationReport{0, 0, {itemError("*", error)}, 0, {}, {}};
}
// What test::treeSnapshot of a folder above `path` (`tree`) saw at and below it, by the path below it.
std::string below(const States& tree, const std::string& path) {
    std::string out;
    for (auto it = tree.lower_bound(path); it != tree.end() && it->first.starts_with(path); ++it)
        out += it->first.substr(path.size()) + "=" + it->second + "|";
    return out;
}
pid_t forked(const std::function<int()>& child) {  // in its own process, exiting with what it returns
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    return pid == 0 ? ::_exit(child()), 0 : pid;
}
int exitOf(pid_t child) {  // -1 when it did not exit
    int status = 0;
    return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
using Names = std::map<std::string, std::uint64_t>;  // a folder's entries, by name
using Lines = std::vector<std::string>;
Names entriesOf(const std::string& folder) {
    Names names;
    std::error_code unreadable;
    for (const auto& entry : stdfs::directory_iterator(folder, unreadable))
        names[entry.path().filename()] = inodeOf(entry.path());
    return names;
}

// What a power loss keeps of the trees under `roots`, by conservative POSIX rules: a file's contents,
// attributes and mode are durable as of its own last fsync; a folder's names (name -> inode) and attributes
// as of the folder's last fsync; all there at the start is durable. dropUnsynced() rewrites the trees to
// that picture: a name never synced vanishes; a durable name whose object is gone (renamed over, unlinked)
// comes back as a new object holding what that one held when last synced; an object never synced comes
// back empty and without attributes or names. Objects still standing keep their inodes (so items keep
// their identities). Paths in `keep` model the kernel having written them back early: they stay as they are.
class PowerLossFileSystem : public platform::ForwardingFileSystem {
  public:
    PowerLossFileSystem(platform::FileSystem& target, const std::vector<std::string>& roots)
        : ForwardingFileSystem(target), roots_(roots) {
        for (const std::string& root : roots_)
            capture(root, true);
    }
    std::function<void(int sync)> beforeSync;  // told before each fsync, numbered from 1
    int fsync(int fd) override {
        beforeSync ? beforeSync(++syncs_) : void();
        const int err = target().fsync(fd);
        return err == 0 ? (capture(stdfs::read_symlink("/proc/self/fd/" + std::to_string(fd)), false), 0)
                        : err;
    }
    void dropUnsynced(const std::set<std::string>& keep) {
        for (const std::string& root : roots_)
            rebuild(root, keep);
    }

  private:
    using Attributes = std::map<std::string, platform::Bytes>;
    struct Durable {
        bool folder;
        unsigned mode;
        std::string contents;
        Attributes attributes;
        Names names;
    };
    // The object at `path` is durable now; with `tree`, all below it too.
    void capture(const std::string& path, bool tree) {
        const bool folder = stdfs::is_directory(stdfs::symlink_status(path));
        const Durable& d =
            durable_[inodeOf(path)] = {folder, test::fileMode(path), folder ? "" : test::readFile(path),
                                       test::userAttributes(path), folder ? entriesOf(path) : Names{}};
        for (auto it = d.names.begin(); tree && it != d.names.end(); ++it)
            capture(path + "/" + it->first, true);
    }
    void rebuild(const std::string& path, const std::set<std::string>& keep) {
        if (keep.count(path) > 0 || !test::exists(path))
            return;
        const auto known = durable_.find(inodeOf(path));
        const Durable d = known != durable_.end()
                              ? known->second
                              : Durable{stdfs::is_directory(path), test::fileMode(path), "", {}, {}};
        ::chmod(path.c_str(), 0700);
        if (!d.folder)
            std::ofstream(path, std::ios::binary | std::ios::trunc) << d.contents;
        for (const auto& [name, value] : test::userAttributes(path))
            ::lremovexattr(path.c_str(), name.c_str());
        for (const auto& [name, value] : d.attributes)
            test::setRawAttribute(path, name, value);
        for (const auto& [name, inode] : entriesOf(path))  // names never made durable
            if (d.names.count(name) == 0 || d.names.at(name) != inode)
                stdfs::remove_all(path + "/" + name);
        for (const auto& [name, inode] : d.names) {  // durable names, back as new objects where gone
            const std::string entry = path + "/" + name;
            const auto gone = durable_.find(inode);
            if (!test::exists(entry) && gone != durable_.end()) {
                gone->second.folder ? ::mkdir(entry.c_str(), 0700) : ::close(::creat(entry.c_str(), 0600));
                durable_[inodeOf(entry)] = gone->second;
            }
            rebuild(entry, keep);
        }
        ::chmod(path.c_str(), d.mode);
    }
    std::vector<std::string> roots_;
    int syncs_ = 0;
    std::map<std::uint64_t, Durable> durable_;
};

class Faults : public ::testing::Test {
  protected:
    Faults() {
        workspace_.metadata.file = metadataFile_,
        workspace_.dataFolders = {scratch_ / "xdg/user", {scratch_ / "xdg/sys"}};
        workspace_.desktop = "XFCE",
        workspace_.dataHome = scratch_ / "xdg/user";  // every sweep with the emblem form
        workspace_.metadata.inject = [this](const std::string& call) {
            return faults_ ? faults_->note(call, true) : 0;
        };
        reset(), before_ = states();
    }
    // home/Desktop (a plain file, a file with attributes and emblems, a folder with "Icon\r", ".directory"
    // and ".hidden", one without), home/state, Applications/{One,Two}.app, installed desktop entries "a" (no
    // user copy) and "b" (a user copy of mode 0600), and "side" for items moved away and for unrelated
    // objects with their own Mac forms.
    void reset() const {
        for (const std::string& gone : {scratch_ / "home", apps_, side_, scratch_ / "xdg"})
            stdfs::remove_all(gone);
        test::writeFile(metadataFile_,
                        "{\"" + root_ + "/Iconic\": {\"name\": \"folder-music\"}, \"" + root_ +
                            "/tagged.doc\": {\"emblems\": [\"emblem-new\", \"emblem-important\"]}}");
        for (const std::string& folder :
             {state_, root_ + "/Folder", root_ + "/Iconic", apps_ + "/One.app", side_ + "/OtherIconic",
              empty_, userEntries_, scratch_ / "xdg/sys/applications"})
            stdfs::create_directories(folder);
        for (const std::string id : {"a", "b"})
            test::writeFile(scratch_ / "xdg/sys/applications/" + id + ".desktop",
                            "[Desktop Entry]\nType=Application\nName=" + id + "\nIcon=" + id + "\n");
        test::writeFile(userEntries_ + "/b.desktop",
                        "# mine\n[Desktop Entry]\nType=Application\nName=B\nIcon=b\n", 0600);
        test::writeFile(root_ + "/plain.txt", "hello"), test::makeDirectory(apps_ + "/Two.app");
        test::writeFile(root_ + "/Iconic/.directory", "# kept\n[Desktop Entry]\nIcon=folder-music\n[X]\na=1",
                        0640);
        // No final newline in ".hidden": the skin adds one, then "Icon\r".
        test::writeFile(root_ + "/Iconic/.hidden", "draft", 0640);
        test::setRawAttribute(root_ + "/Iconic/.hidden", "user.xdg.origin", test::bytesOf("kept"));
        for (const std::string& item : {root_ + "/tagged.doc", root_ + "/Iconic/Icon\r", apps_ + "/Two.app",
                                        side_ + "/other.doc", side_ + "/OtherIconic/Icon\r"}) {
            item.ends_with(".app") ? void() : test::writeFile(item, "contents of " + item, 0600);
            test::setRawAttribute(item, test::kFinderInfo, test::finderInfo("TEXTttxt"));
            test::setRawAttribute(item, test::kResourceFork, test::resourceFork("TEXT", 128, item));
            test::setRawAttribute(item, "user.xdg.comment", test::bytesOf("kept"));
        }
    }
    // Each item's tree and its keys in the store; the user's desktop entries.
    States states() const {
        States tree = test::treeSnapshot(root_), out;
        tree.merge(test::treeSnapshot(apps_)), tree.merge(test::treeSnapshot(userEntries_));
        for (const std::string& item :
             {root_ + "/plain.txt", root_ + "/tagged.doc", root_ + "/Folder", root_ + "/Iconic",
              apps_ + "/One.app", apps_ + "/Two.app", userEntries_}) {
            platform::IconMetadata keys;
            std::vector<std::string> emblems;
            workspace_.metadata.read(item, keys), workspace_.metadata.readEmblems(item, emblems);
            out[item] =
                below(tree, item) + keys.customIcon.value_or("-") + "|" + keys.customIconName.value_or("-");
            for (const std::string& emblem : emblems)
                out[item] += "|" + emblem;
        }
        return out;
    }
    // The furball's theme emblem is installed while an item shows it.
    void expectEmblemIcon(const States& now, const std::string& at) const {
        const bool shown = std::ranges::any_of(
            now, [](const auto& item) { return item.second.ends_with("|emblem-lumaro-furball"); });
        EXPECT_TRUE(!shown || test::exists(emblemIcon_)) << at;
    }
    // The one workspace; its store's changes count as changes of the FaultFs last given (crashes, errors).
    test::FakeWorkspace& workspaceFor(platform::FileSystem& fs) const {
        return faults_ = dynamic_cast<test::FaultFs*>(&fs), workspace_;
    }
    // Groups of one item, so that every batch of two or more runs as overlapping groups; batches of
    // three at most, so that an apply and a restore run several.
    IconEngine engine(platform::FileSystem& fs) const {
        IconEngine engine(fs, state_, icon_, workspaceFor(fs));
        engine.setGroupSize(1);
        engine.setBatchLimit(3);
        return engine;
    }
    // A batch over the applications, or with `entries` over the desktop entries alone (given an empty dir).
    IconBatchEngine batch(platform::FileSystem& fs, bool entries = false) const {
        return IconBatchEngine(
            fs, workspaceFor(fs), state_, icon_,
            {entries ? std::vector<std::string>{} : std::vector{apps_}, false, std::nullopt, entries, 1, 3});
    }
    void move(const std::string& name, bool away) const {  // from the root to "side", or back
        stdfs::rename((away ? root_ : side_) + "/" + name, (away ? side_ : root_) + "/" + name);
    }
    // Each item with a backup on disk: in how many "backup.json" and in how many skip records.
    std::map<std::string, std::array<int, 2>> backups() const {
        std::map<std::string, std::array<int, 2>> kept;
        for (const auto& file : stdfs::recursive_directory_iterator(state_)) {
            const stdfs::path& path = file.path();
            const bool manifest = path.filename() == kManifestFileName;
            if (manifest ||
                (path.parent_path().filename() == "missing-backups" && path.extension() == ".json"))
                for (const BackupManifest held = real_.readManifest(path).value();
                     const BackupEntry& entry : held.entries)
                    ++kept[held.rootPath + "/" + entry.name][manifest ? 0 : 1];
        }
        return kept;
    }
    // An item the report does not name is in its state in `done`, with a backup exactly when that differs
    // from the original; one it names is original or has its backup kept.
    void expectOutcome(const OperationReport& report, const States& done, const std::string& at) const {
        const auto kept = backups();
        const States now = states();
        expectEmblemIcon(now, at);
        for (const auto& [item, state] : now) {
            const bool named = mentions(report, stdfs::path(item).filename()), backup = kept.count(item) > 0;
            const bool original = state == before_.at(item);
            EXPECT_TRUE(named ? original || backup : state == done.at(item) && backup != original)
                << at << ": " << item << (named ? " (reported)" : "")
                << (backup ? " with backup" : " without") << "\nNOW " << state << "\nWANT " << done.at(item);
        }
    }
    // No error, every item original without a backup, no record, and nothing a killed save left behind.
    void expectClean(const OperationReport& report, const std::string& at) const {
        EXPECT_EQ(errorLines(report.errors), Lines{}) << at;
        expectOutcome(report, before_, at);
        for (const char* record : {kScopeFileName, kManifestFileName})
            EXPECT_FALSE(test::exists(state_ + "/" + record)) << at;
        for (const auto& file : stdfs::recursive_directory_iterator(state_))
            EXPECT_FALSE(file.path().filename().string().ends_with(".tmp")) << at << ": " << file.path();
        // The theme emblem goes with the last record naming it, at the latest with the next batch operation.
        EXPECT_EQ(errorLines(guarded([&] { return batch(noSync_).restore(); }).errors), Lines{}) << at;
        EXPECT_FALSE(test::exists(emblemIcon_)) << at;
    }
    // A restore, then a retry of what it skipped.
    OperationReport restoreAll(const std::string& on = "") const {
        OperationReport final = guarded([&] { return run(on + "restore", noSync_); });
        final.merge(guarded([&] { return run(on + "retry", noSync_); }));
        return final;
    }
    // The named operation over `fs`: the engine's on the root ("aside": its set-aside), the batch's
    // ("batch ...") or the batch's on the desktop entries alone ("entries ...").
    OperationReport run(const std::string& op, platform::FileSystem& fs) const {
        const bool entries = op.starts_with("entries "), onBatch = entries || op.starts_with("batch ");
        const std::string what = onBatch ? op.substr(op.find(' ') + 1) : op;
        const auto on = [&](const IconEngine& e) {
            return what == "apply"     ? e.apply(root_, ApplyScope::withApplications)
                   : what == "restore" ? e.restore()
                   : what == "retry"   ? e.retrySkipped()
                                       : e.setAsideRemaining();
        };
        if (!onBatch && &fs == &noSync_)  // the engine made once where it can
            return workspaceFor(fs), on(real_);
        if (!onBatch) {
            // Whatever fails, each item is told to the progress handler once per manifest, within the total.
            IconEngine faulty = engine(fs);
            std::set<std::string> told;
            std::size_t last = 0;
            faulty.setProgressHandler([&](std::size_t done, std::size_t total, const std::string& name) {
                if (done == 1)  // a manifest's run starts
                    told.clear();
                EXPECT_TRUE((done == 1 || done > last) && told.insert(name).second && done <= total)
                    << op << ": " << name << " " << done;
                last = done;
            });
            return on(faulty);
        }
        const IconBatchEngine all = batch(fs, entries);
        return what == "apply"     ? all.apply(entries ? empty_ : root_, true)
               : what == "restore" ? all.restore()
               : what == "retry"   ? all.retry()
                                   : all.setAside();
    }
    // A child runs `op` without syncs, stopped at change `step`, or with `written` by a power loss at sync
    // `step` (those paths written back): 0 when it returned, kCrashed when stopped, else it threw or died.
    int stopped(const std::string& op, int step, const std::set<std::string>* written = nullptr) const {
        return exitOf(forked([&] {
            test::FaultFs faults(true);
            faults.crashAt = written ? 0 : step;
            const auto ran = [&](platform::FileSystem& fs) {
                return guarded([&] { return run(op, fs), OperationReport{}; }).errors.empty() ? 0 : 1;
            };
            if (!written)
                return ran(faults);
            PowerLossFileSystem disk(faults, {scratch_ / "home", apps_});
            disk.beforeSync = [&](int n) {
                n == step ? disk.dropUnsynced(*written), ::_exit(kCrashed) : void();
            };
            const int outcome = ran(disk);
            return disk.dropUnsynced(*written), outcome;
        }));
    }
    // Each row's `op` stopped (after a reset and `prepare`) at step 1, 1 + stride, ... until it completes
    // after more than `least`; then, after `then`, `next` run whole ("all": a restore and a retry) must leave
    // all clean (none: the set-aside's own check).
    struct Sweep {
        std::string op;
        int least, stride;
        std::function<void()> prepare;
        std::string next;
        std::function<void()> then = {};
    };
    void sweep(const std::vector<Sweep>& rows, const std::string& label = "",
               const std::set<std::string>* written = nullptr) {
        for (const Sweep& row : rows)
            for (int step = 1, outcome = kCrashed; outcome == kCrashed && !HasFailure(); step += row.stride) {
                reset(), row.prepare ? row.prepare() : void();
                outcome = stopped(row.op, step, written);
                const std::string at = row.op + label + ", step " + std::to_string(step);
                EXPECT_TRUE(outcome == kCrashed || (outcome == 0 && step > row.least))
                    << at << ": " << outcome;
                row.then ? row.then() : void();
                row.next.empty()    ? setAsideFinished(at)
                : row.next == "all" ? expectClean(restoreAll(), at)
                                    : expectClean(guarded([&] { return run(row.next, noSync_); }), at);
            }
    }
    // A restore that finds "Iconic" gone (its key then cleared by path), the item back before the next run.
    Sweep vanishedRestore(int least) const {
        const auto away = [&] { skin(), move("Iconic", true); };
        return {"restore", least, 1, away, "all", [&] { move("Iconic", false); }};
    }
    // "tagged.doc" replaced as an editor saves: the set-aside moves its backup into a skip record. Cut
    // anywhere, the backup is in "backup.json" or in one record (never none, never two); the next set-aside
    // finishes.
    static void edit(const std::string& path) {
        test::writeFile(path + ".new", "edited"), stdfs::rename(path + ".new", path);
    }
    void setAsideFinished(const std::string& at) const {
        const std::string replaced = root_ + "/tagged.doc";
        const auto [inManifest, records] = backups()[replaced];
        EXPECT_TRUE((inManifest > 0 || records == 1) && records <= 1) << at << ": " << records << " records";
        guarded([&] { return batch(noSync_).setAside(); });
        EXPECT_EQ(backups()[replaced], (std::array{0, 1})) << at;
        EXPECT_FALSE(test::exists(state_ + "/" + kScopeFileName) || batch(noSync_).pendingScope()) << at;
        expectOutcome(OperationReport{0, 0, {}, 0, {}, {"tagged.doc"}}, before_, at);  // the others restored
    }
    void skin() const { ASSERT_EQ(real_.apply(root_, ApplyScope::withApplications).succeeded, 4); }
    // Skins; restores with "tagged.doc" and "Iconic" away (two skip records); puts them back.
    void leaveSkipRecords() const {
        skin();
        move("tagged.doc", true), move("Iconic", true);
        ASSERT_EQ(real_.restore().missingItems.size(), 2u);
        move("tagged.doc", false), move("Iconic", false);
    }

    test::ScratchDir scratch_;
    const std::string metadataFile_ = scratch_ / "metadata.json", empty_ = scratch_ / "empty";
    const std::string userEntries_ = scratch_ / "xdg/user/applications";
    const std::string emblemIcon_ = platform::emblemIconPath(scratch_ / "xdg/user");
    mutable test::FakeWorkspace workspace_;
    mutable test::FaultFs* faults_ = nullptr;
    mutable test::FaultFs noSync_{true}, failing_{true};
    const std::shared_ptr<const RenderedIcon> icon_ =
        std::make_shared<const RenderedIcon>(loadFurball());  // rendered once
    const std::string root_ = scratch_ / "home/Desktop", state_ = scratch_ / "home/state";
    const std::string apps_ = scratch_ / "Applications", side_ = scratch_ / "side";
    States before_;
    const IconEngine real_ = engine(noSync_);
};

// The longest test first: a parallel ctest starts tests in this order.
// Fails change n of a folder apply or restore, and of a desktop entries apply or restore (once, then from n
// on) with each errno, for every n; "tagged.doc" is away during the folder restore. Then a final restore.
TEST_F(Faults, AnIoErrorAtAnyChangeIsReportedAndLosesNoBackup) {
    skin();
    const States skinned = states();
    for (const std::string op : {"apply", "restore", "entries apply", "entries restore"}) {
        const bool entries = op.starts_with("entries"), restoring = op.ends_with("restore");
        // The restore's extra syncs of the state folder (for entries, of a backup folder) once a manifest is
        // emptied or a skip record synced, the store's sync after a vanished item's key was cleared, and the
        // theme emblem's folder's once it went (no backup depends on either).
        const auto unreported = [&](const std::string& call, const OperationReport& report) {
            return restoring && (call == "fsync " + stdfs::path(emblemIcon_).parent_path().string() ||
                                 (entries ? call.starts_with("fsync " + state_)
                                          : call == "fsync " + state_ ||
                                                (call == "fsync metadata-store" && report.errors.empty() &&
                                                 !report.missingItems.empty())));
        };
        // A failed sync cannot be seen afterwards, so it must be reported unless `unreported` allows it;
        // other failures may be absorbed when the outcome is right.
        for (const int error : entries ? std::vector{EIO} : std::vector{EIO, ENOSPC, EACCES, EROFS})
            for (int n = 1, sticky = 0; sticky < 2 && !HasFailure(); ++n) {
                reset();
                restoring ? (void)run(entries ? "entries apply" : "apply", noSync_) : void();
                restoring && !entries ? move("tagged.doc", true) : void();
                failing_.failAt(n, error, sticky == 1);
                const OperationReport report = guarded([&] { return run(op, failing_); });
                const std::vector<std::string>& failed = failing_.failed;
                const std::string at = op + ", errno " + std::to_string(error) +
                                       (sticky == 1 ? " from change " : " at change ") + std::to_string(n);
                for (const std::string& call : failed)
                    EXPECT_TRUE(!call.starts_with("fsync ") || !report.errors.empty() ||
                                unreported(call, report))
                        << at << ": " << call;
                // Every root item it does not name, and only after its flush.
                const auto unnamed = [&](const auto& item) {
                    return item.first.starts_with(root_) &&
                           !mentions(report, stdfs::path(item.first).filename());
                };
                EXPECT_TRUE(entries || report.succeeded == std::ranges::count_if(before_, unnamed)) << at;
                if (entries)
                    expectClean(guarded([&] { return batch(noSync_, true).restore(); }), at);
                else
                    expectOutcome(report, restoring ? before_ : skinned, at),
                        restoring ? move("tagged.doc", false) : void(),
                        expectOutcome(restoreAll(), before_, at + ", then restored");
                sticky += failed.empty() ? 1 : 0;
                n = failed.empty() ? 0 : n;
            }
    }
}

// Each operation stopped at every change, then `next` run whole; a restore stopped so after an apply
// stopped at change 1, 8, ... itself.
TEST_F(Faults, EveryOperationStoppedAtEveryChangeIsUndoneOrFinishedByTheNext) {
    ASSERT_EQ(batch(noSync_).apply(root_, true).succeeded, 6);  // the applications are in the batch
    sweep({{"apply", 50, 1, {}, "restore"},
           {"restore", 20, 1, [&] { skin(); }, "restore"},
           {"retry", 20, 1, [&] { leaveSkipRecords(); }, "retry"},
           vanishedRestore(20),
           {"batch apply", 100, 1, {}, "batch restore"},
           {"batch set-aside", 20, 1,
            [&] { batch(noSync_).apply(root_, false), edit(root_ + "/tagged.doc"); }, ""},
           // Desktop entries go through the same transaction.
           {"entries apply", 20, 1, {}, "entries restore"},
           {"entries restore", 20, 1, [&] { run("entries apply", noSync_); }, "entries restore"}});
}
TEST_F(Faults, ARestoreStoppedAtEveryChangeAfterAnApplyStoppedAnywhereIsFinishedByTheNext) {
    for (int stoppedAt = 1, applied = kCrashed; applied == kCrashed && !HasFailure(); stoppedAt += 7)
        sweep({{"restore", 0, 5, [&] { applied = stopped("apply", stoppedAt); }, "restore"}},
              " after apply step " + std::to_string(stoppedAt));
}

// A power loss at each fsync of a folder apply, of a first apply (new backup folders must be durable in their
// parents before a backup goes in), of a batch apply, of a restore that finds an item gone and of a retry,
// and after it; then the next run restores all.
// The kernel wrote back nothing, all in the root and the applications, or only the "Icon\r" files (a folder's
// flag and its "Icon\r" then disagree unless both were flushed).
TEST_F(Faults, PowerLossAtEverySyncOfAnApplyKeepsEveryChangedItemsBackup) {
    const std::set<std::string> writtenBack[] = {
        {}, {root_, apps_}, {root_ + "/Iconic/Icon\r", apps_ + "/Two.app/Icon\r"}};
    for (const std::set<std::string>& kept : writtenBack) {
        const std::string label = ", written back " + std::to_string(&kept - writtenBack);
        // Four more folders whose key files are replaced: the last batch runs as four overlapping groups,
        // each checked and staged while the one before it is flushed.
        const auto more = [&] {
            for (const std::string name : {"Zeta 1", "Zeta 2", "Zeta 3", "Zeta 4"}) {
                stdfs::create_directory(root_ + "/" + name);
                test::writeFile(root_ + "/" + name + "/.directory", "[Desktop Entry]\nIcon=folder\n", 0640);
            }
        };
        sweep({{"apply", 0, 1, {}, "batch restore"},
               {"apply", 0, 1, more, "batch restore"},
               {"batch apply", 0, 1, {}, "batch restore"},
               vanishedRestore(0),
               {"retry", 0, 1, [&] { leaveSkipRecords(); }, "retry"}},
              label, &kept);
        sweep({{"apply", 0, 1, [&] { stdfs::remove_all(state_); }, "batch restore"}}, label + " (first)",
              &kept);
    }
}

// Two operations started at once on one state folder: the engine's and the batch's locks let one proceed,
// and an engine operation is refused at once, changing nothing, while its lock is held.
TEST_F(Faults, TwoProcessesOnOneStateFolderNeverBothProceed) {
    // P proceeded, N found nothing to do, B was told the lock is busy, R was told to restore first.
    const auto outcome = [&](const std::string& op) -> int {
        const OperationReport report = guarded([&] { return run(op, noSync_); });
        const std::string text = report.errors.empty() ? "" : report.errors[0].line();
        return text.empty()                               ? (report.succeeded > 0 ? 'P' : 'N')
               : text == errorLine("*", kLockBusyMessage) ? 'B'
               : text.starts_with("*：已有待还原") || text.starts_with("*：请先完成当前还原") ? 'R'
                                                                                              : 'X';
    };
    const std::vector<std::tuple<std::string, std::string, std::set<std::string>>> races = {
        {"batch apply", "batch apply", {"PB", "BP", "PR", "RP"}},
        {"batch apply", "batch restore", {"PB", "PN", "PP", "BN"}},
        {"batch retry", "batch restore", {"PB", "PN", "BN"}}};
    int barrier[2];
    ASSERT_EQ(::pipe(barrier), 0);
    const auto start = [&](const std::string& op) {  // waits for its byte through the pipe
        return forked([&, go = '0']() mutable { return ::read(barrier[0], &go, 1) == 1 ? outcome(op) : 0; });
    };
    for (const auto& [a, b, allowed] : races)
        for (int round = 0; round < 3; ++round) {
            reset(), a == "batch retry" ? leaveSkipRecords() : void();
            const pid_t first = start(a), second = start(b);
            EXPECT_EQ(::write(barrier[1], "go", 2), 2);
            const std::string seen{char(exitOf(first)), char(exitOf(second))};
            EXPECT_EQ(allowed.count(seen), 1u) << a << " vs " << b << ": " << seen;
            expectClean(restoreAll("batch "), a + " vs " + b);
        }
    ::close(barrier[0]), ::close(barrier[1]);
    reset(), leaveSkipRecords(), skin();
    const auto skinned = std::pair(states(), backups());
    {  // flock: another open of the file, in this process too, is refused
        const OperationLock held(platform::FileSystem::real(), state_, kEngineLockFileName);
        for (const char* op : {"apply", "restore", "retry", "aside"})
            EXPECT_EQ(errorLines(guarded([&] { return run(op, noSync_); }).errors),
                      std::vector{errorLine("*", kLockBusyMessage)})
                << op;
    }
    EXPECT_EQ(std::pair(states(), backups()), skinned);
    expectClean(restoreAll(), "after the lock was released");
}

// What another process's exchange (a sync client, an editor saving by rename) must never change: all at
// and below the unrelated object, wherever it stands by then.
std::string snapshot(const std::string& path) {
    return below(test::treeSnapshot(stdfs::path(path).parent_path()), path);
}
bool exchange(const std::string& a, const std::string& b) {
    return ::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0;
}

// At the n-th call on the item (any call goes through FaultFs, so no interleaving of another process is left
// out), the item and an unrelated object of its kind outside the root trade places.
TEST_F(Faults, AnItemExchangedAtAnyStepNeverPassesItsIconToTheOtherObject) {
    const IconEngine engine = this->engine(failing_);
    for (const bool restoring : {false, true})
        for (const auto& [item, other] : {std::pair(root_ + "/tagged.doc", side_ + "/other.doc"),
                                          {root_ + "/Iconic", side_ + "/OtherIconic"}})
            for (int n = 1;; ++n) {
                const std::string before = snapshot(other), original = snapshot(item);
                const std::string name = stdfs::path(item).filename();
                const auto apply = [&] { return engine.apply(root_, ApplyScope::withoutApplications); };
                ASSERT_TRUE(!restoring || apply().errors.empty());
                int seen = 0, swapped = 0;
                failing_.observe = [&](const std::string& call) {
                    const bool onItem = (call + " ").find(item + " ") != std::string::npos ||
                                        call.find(item + "/") != std::string::npos;  // the item or inside it
                    if (!call.starts_with("close ") && onItem && ++seen == n)
                        swapped = exchange(item, other);
                };
                const OperationReport report = restoring ? engine.restore() : apply();
                failing_.observe = nullptr;
                const std::string at =
                    (restoring ? "restore, call " : "apply, call ") + std::to_string(n) + " on " + item;
                ASSERT_TRUE(swapped || engine.restore().errors.empty()) << at;
                if (!swapped)
                    break;
                // Exchanged before the apply took the item's identity, the other object (here) was the item.
                const auto manifest = engine.loadManifest();
                const bool recordedOther =
                    !restoring && manifest && std::ranges::any_of(manifest->entries, [&](auto& e) {
                        return e.identity.inode == inodeOf(item);
                    });
                const auto here = [&](auto& e) {  // "applied" is said only of the object at the item's path
                    return e.phase != kPhaseApplied || e.name != name || e.identity.inode == inodeOf(item);
                };
                EXPECT_TRUE(restoring || !manifest || std::ranges::all_of(manifest->entries, here)) << at;
                if (!recordedOther) {
                    EXPECT_EQ(snapshot(item), before) << at << ": the unrelated object was written";
                    ASSERT_TRUE(exchange(item, other)) << at;
                }
                // The restore reports the item and keeps its backup.
                EXPECT_TRUE(!restoring || (mentions(report, name) && manifest)) << at;
                ASSERT_EQ(errorLines(engine.restore().errors), Lines{}) << at;
                ASSERT_TRUE(!recordedOther || exchange(item, other)) << at;
                EXPECT_EQ(snapshot(item), original) << at;
                EXPECT_EQ(snapshot(other), before) << at;
            }
}

// At the n-th call on a key file (a folder's ".directory", a user's desktop-entry copy) or its private names,
// another program saves it, by rename or in place: its save is never lost (it stands there, or it is the
// original in a pending backup), and an item the report names keeps its backup. Without name exchange in the
// file system, nothing is written and the backup stays.
TEST_F(Faults, AnotherProgramsSaveOfAKeyFileAtAnyStepIsNeverLost) {
    const auto savedIn = [&](const std::string& contents) {  // an entry's original in a pending backup
        for (const auto& file : stdfs::recursive_directory_iterator(state_))
            if (const auto held = file.path().filename() == kManifestFileName
                                      ? real_.readManifest(file.path())
                                      : std::nullopt)
                for (const BackupEntry& e : held->entries)
                    for (const auto& kept :
                         {e.original.get<DirectoryFileForm>().file, e.original.get<EntryCopy>().file})
                        if (kept && std::string(kept->contents.begin(), kept->contents.end()) == contents)
                            return true;
        return false;
    };
    const std::string directory = root_ + "/Iconic/.directory", copy = userEntries_ + "/b.desktop";
    for (const std::string op : {"apply", "restore", "batch set-aside", "entries apply", "entries restore"})
        for (const bool byRename : {true, false})
            for (int n = 1;; ++n) {
                reset();
                test::writeFile(copy, "[Desktop Entry]\nType=Application\nName=b\nIcon=mine\n", 0600);
                const bool entries = op.starts_with("entries");
                const std::string file = entries ? copy : directory, name = entries ? "b" : "Iconic";
                op.ends_with("restore") ? (void)run(entries ? "entries apply" : "apply", noSync_) : void();
                op == "batch set-aside" ? (void)batch(noSync_).apply(root_, false) : void();
                const std::string saved = "[Desktop Entry]\nName=saved " + std::to_string(n) + "\n";
                int seen = 0;
                const std::string temporary = "/." + stdfs::path(file).filename().string() + ".lumaro-";
                failing_.observe = [&](const std::string& call) {
                    const bool onFile =
                        call.find(file) != std::string::npos || call.find(temporary) != std::string::npos;
                    if (!call.starts_with("close ") && onFile && ++seen == n)
                        byRename ? (test::writeFile(file + ".new", saved), stdfs::rename(file + ".new", file))
                                 : (void)(std::ofstream(file, std::ios::binary | std::ios::trunc) << saved);
                };
                const OperationReport report = guarded([&] { return run(op, failing_); });
                failing_.observe = nullptr;
                if (seen < n)
                    break;
                const std::string at = op + (byRename ? ", saved by rename" : ", saved in place") +
                                       " at call " + std::to_string(n);
                EXPECT_TRUE((test::exists(file) && test::readFile(file) == saved) || savedIn(saved)) << at;
                const auto kept = backups()[entries ? copy : root_ + "/Iconic"];
                EXPECT_TRUE(!mentions(report, name) || kept[0] + kept[1] > 0) << at;
            }
    // Exchange refused by the file system: a rewritten ".directory" and copy are refused, the backup kept.
    reset();
    const std::string unsupported = "：所在文件系统无法安全替换文件，已跳过";
    for (const bool entries : {false, true}) {
        const std::string op = entries ? "entries apply" : "apply", item = entries ? copy : root_ + "/Iconic";
        const std::string file = entries ? copy : directory, held = test::readFile(file);
        failing_.fail["exchange"] = EINVAL;
        EXPECT_EQ(errorLines(run(op, failing_).errors), Lines{(entries ? "B" : "Iconic") + unsupported});
        failing_.fail.clear();
        EXPECT_EQ(std::pair(test::readFile(file), backups()[item][0]), std::pair(held, 1)) << op;
        EXPECT_EQ(errorLines(run(entries ? "entries restore" : "batch restore", noSync_).errors), Lines{});
    }
}

}  // namespace
}  // namespace lumaro
