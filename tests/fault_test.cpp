// The safety promises under faults: a kill at any step of an apply, a restore, a retry, a batch apply and
// a recovery;
// a power loss at any sync of an apply; an I/O error at any change; two processes at once.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <cerrno>

#include <filesystem>
#include <sstream>

#include <gtest/gtest.h>

#include "batch/icon_batch_engine.h"
#include "records/operation_lock.h"
#include "resources/resources.h"
#include "tests/support/fault_fs.h"

namespace lumaro {
namespace {

namespace stdfs = std::filesystem;
using States = std::map<std::string, std::string>;
using test::ChildOutcome;
[[maybe_unused]] const bool kInMemory = (test::preferMemoryScratch(), true);

// Whether the report names the item (an error or a missing item) or failed as a whole ("*").
bool mentions(const OperationReport& report, const std::string& name) {
    const auto names = [&](const std::string& line) {
        return line.starts_with("*：") || line.starts_with(name + "：");
    };
    return std::any_of(report.errors.begin(), report.errors.end(), names) ||
           std::count(report.missingItems.begin(), report.missingItems.end(), name) > 0;
}

OperationReport guarded(const std::function<OperationReport()>& run) try {
    return run();
} catch (const std::exception& error) {
    return OperationReport{0, 0, {errorLine("*", describe(error))}, 0, {}, {}};
}

class Faults : public ::testing::Test {
  protected:
    Faults() {
        noSync_.record = false, workspace_.metadata.file = metadataFile_;
        reset(), before_ = states();
    }
    // home/Desktop (a plain file, a file with attributes, a folder with "Icon\r", one without),
    // home/state, Applications/{One,Two}.app, and "side" for items moved away.
    void reset() const {
        stdfs::remove_all(scratch_ / "home"), stdfs::remove_all(apps_), stdfs::remove_all(side_);
        test::writeFile(workspace_.metadata.file, "{\"" + root_ + "/Iconic\": {\"name\": \"folder-music\"}}");
        for (const std::string& folder :
             {state_, root_ + "/Folder", root_ + "/Iconic", apps_ + "/One.app", side_})
            stdfs::create_directories(folder);
        test::writeFile(root_ + "/plain.txt", "hello"), test::makeDirectory(apps_ + "/Two.app");
        test::writeFile(root_ + "/Iconic/.directory", "# kept\n[Desktop Entry]\nIcon=folder-music\n[X]\na=1", 0640);
        for (const std::string& item :
             {root_ + "/tagged.doc", root_ + "/Iconic/Icon\r", apps_ + "/Two.app"}) {
            item.ends_with(".app") ? void() : test::writeFile(item, "contents of " + item, 0600);
            test::setRawAttribute(item, test::kFinderInfo, test::finderInfo("TEXTttxt"));
            test::setRawAttribute(item, test::kResourceFork, test::resourceFork("TEXT", 128, "notes"));
            test::setRawAttribute(item, "user.xdg.comment", test::bytesOf("kept"));
        }
    }
    // Every item's "user." attributes, its "Icon\r" file's attributes, mode and contents, and its
    // ".directory" (and a temporary one) with its mode.
    States states() const {
        States out;
        for (const std::string& item : {root_ + "/plain.txt", root_ + "/tagged.doc", root_ + "/Folder",
                                        root_ + "/Iconic", apps_ + "/One.app", apps_ + "/Two.app"}) {
            for (const std::string& path : {item, item + "/Icon\r"}) {
                for (const auto& [name, value] : test::userAttributes(path))
                    out[item] += name + "=" + std::string(value.begin(), value.end());
                if (path != item && test::exists(path))
                    out[item] += std::to_string(test::fileMode(path)) + test::readFile(path);
            }
            platform::IconMetadata keys;
            workspace_.metadata.read(item, keys);
            out[item] += "|" + keys.customIcon.value_or("-") + "|" + keys.customIconName.value_or("-");
            for (const std::string& path : {item + "/.directory", item + "/.directory.lumaro-new"})
                if (test::exists(path))
                    out[item] += "|" + std::to_string(test::fileMode(path)) + test::readFile(path);
            out[item] += ".";
        }
        return out;
    }
    // One workspace per file system, all on the one store file; the store's changes count as changes of
    // that file system, so that a crash or an I/O error meets them too.
    test::FakeWorkspace& workspaceFor(platform::FileSystem& fs) const {
        std::unique_ptr<test::FakeWorkspace>& made = workspaces_[&fs];
        if (!made) {
            made = std::make_unique<test::FakeWorkspace>();
            made->metadata.file = metadataFile_;
            made->dataFolders = entryFolders_;
            if (auto* faults = dynamic_cast<test::FaultFs*>(&fs))
                made->metadata.inject = [faults](const std::string& call) { return faults->note(call, true); };
        }
        return *made;
    }
    IconEngine engine(platform::FileSystem& fs) const { return IconEngine(fs, state_, furball_, workspaceFor(fs)); }
    IconBatchEngine batch(platform::FileSystem& fs) const {
        return IconBatchEngine(fs, workspaceFor(fs), state_, furball_, std::vector<std::string>{apps_}, false);
    }
    // A batch over an empty folder and the desktop entries of `entryFolders_` alone.
    IconBatchEngine entryBatch(platform::FileSystem& fs) const {
        return IconBatchEngine(fs, workspaceFor(fs), state_, furball_, std::vector<std::string>{}, false,
                               std::nullopt, true);
    }
    // Installed entries "a" (no user copy) and "b" (a user copy of mode 0600); gives the user
    // folder's files (bytes and mode, temporaries included).
    States resetEntries() const {
        const std::string user = scratch_ / "xdg/user/applications", system = scratch_ / "xdg/sys/applications";
        stdfs::remove_all(scratch_ / "xdg"), stdfs::create_directories(user), stdfs::create_directories(system);
        stdfs::create_directories(scratch_ / "empty");
        for (const char* id : {"a", "b"})
            test::writeFile(system + "/" + id + ".desktop",
                            std::string("[Desktop Entry]\nType=Application\nName=") + id + "\nIcon=" + id + "\n");
        test::writeFile(user + "/b.desktop", "# mine\n[Desktop Entry]\nType=Application\nName=B\nIcon=b\n", 0600);
        return userEntries();
    }
    States userEntries() const {
        States files;
        for (const auto& file : stdfs::directory_iterator(scratch_ / "xdg/user/applications"))
            files[file.path().filename()] = std::to_string(test::fileMode(file.path())) + test::readFile(file.path());
        return files;
    }
    void move(const std::string& name, bool away) const {
        stdfs::rename(away ? root_ + "/" + name : side_ + "/" + name,
                      away ? side_ + "/" + name : root_ + "/" + name);
    }
    // The items with a backup on disk: in any "backup.json" or skip record of the state folder.
    std::set<std::string> backups() const {
        std::set<std::string> kept;
        for (const auto& file : stdfs::recursive_directory_iterator(state_)) {
            if (file.path().filename() == kManifestFileName ||
                (file.path().parent_path().filename() == "missing-backups" &&
                 file.path().extension() == ".json")) {
                const BackupManifest manifest = real_.readManifest(file.path()).value();
                for (const BackupEntry& entry : manifest.entries)
                    kept.insert(manifest.rootPath + "/" + entry.name);
            }
        }
        return kept;
    }
    // An item the report does not name is in its state in `done`, with a backup exactly when that differs
    // from the original; one it names is original or has its backup kept.
    void expectOutcome(const OperationReport& report, const States& done, const std::string& at) const {
        const std::set<std::string> kept = backups();
        for (const auto& [item, state] : states()) {
            const bool named = mentions(report, stdfs::path(item).filename()), backup = kept.count(item) > 0;
            const bool original = state == before_.at(item);
            EXPECT_TRUE(named ? original || backup : state == done.at(item) && backup != original)
                << at << ": " << item << (named ? " (reported)" : "") << (backup ? " with" : " without")
                << " backup";
        }
    }
    void expectClean(const OperationReport& report, const std::string& at) const {
        EXPECT_EQ(report.errors, std::vector<std::string>{}) << at;
        expectOutcome(report, before_, at);
        EXPECT_FALSE(test::exists(state_ + "/" + kScopeFileName)) << at;
        EXPECT_FALSE(test::exists(state_ + "/" + kManifestFileName)) << at;
        // The operation cleared what the killed saves left behind.
        for (const auto& file : stdfs::recursive_directory_iterator(state_))
            EXPECT_FALSE(file.path().filename().string().ends_with(".tmp")) << at << ": " << file.path();
    }
    // For step 1, 1 + stride, ... until `op` completes: prepare, run `op` in a child ended at the step,
    // check.
    int atEveryStep(int stride, const std::function<void()>& prepare,
                    const std::function<void(platform::FileSystem&)>& op,
                    const std::function<void(const std::string&)>& check) {
        for (int step = 1;; step += stride) {
            prepare();
            const ChildOutcome outcome = test::runUntilCrash(step, op);
            EXPECT_NE(outcome, ChildOutcome::Failed) << "step " << step;
            check("step " + std::to_string(step));
            if (outcome != ChildOutcome::Crashed || HasFailure())
                return step;
        }
    }
    // Skins; restores with "tagged.doc" and "Iconic" away (two skip records); puts them back.
    void leaveSkipRecords() const {
        ASSERT_EQ(real_.apply(root_, true, false).succeeded, 4);
        move("tagged.doc", true), move("Iconic", true);
        ASSERT_EQ(real_.restore().missingItems.size(), 2u);
        move("tagged.doc", false), move("Iconic", false);
    }
    // A power loss at each fsync of an apply (folder or batch) and after it, then a batch restore that
    // must restore every item. The kernel may have written back nothing, everything, or only the
    // "Icon\r" files (so that a folder's flag and its "Icon\r" disagree unless both were flushed).
    void powerLossAtEverySync(bool batchApply, bool freshState) {
        const std::vector<std::set<std::string>> writtenBack = {
            {}, {root_, apps_}, {root_ + "/Iconic/Icon\r", apps_ + "/Two.app/Icon\r"}};
        for (std::size_t written = 0; written < writtenBack.size(); ++written) {
            auto outcome = ChildOutcome::Crashed;
            for (int sync = 1; outcome == ChildOutcome::Crashed && !HasFailure(); ++sync) {
                reset();
                freshState ? (void)stdfs::remove_all(state_) : void();
                outcome = test::runUntilCrash(0, [&](platform::FileSystem& fs) {
                    test::PowerLossFileSystem disk(fs, {scratch_ / "home", apps_});
                    const std::set<std::string>& keep = writtenBack[written];
                    disk.beforeSync = [&](int n) {
                        if (n == sync)
                            disk.dropUnsynced(keep), ::_exit(test::FaultFs::kCrashedExitCode);
                    };
                    batchApply ? batch(disk).apply(root_, true) : engine(disk).apply(root_, true, false);
                    disk.dropUnsynced(keep);
                });
                ASSERT_NE(outcome, ChildOutcome::Failed) << "sync " << sync;
                const OperationReport report = guarded([&] { return batch(noSync_).restore(); });
                const std::string at =
                    "sync " + std::to_string(sync) + ", written back " + std::to_string(written);
                EXPECT_EQ(report.errors, std::vector<std::string>{}) << at;
                expectOutcome(report, before_, at);
            }
        }
    }
    // Fails change n of a folder apply or restore (once, then from n on) with each errno, for every n;
    // "tagged.doc" is away during the restore. Then a final restore and retry.
    void ioErrorAtEveryChange(bool restoring) {
        ASSERT_EQ(real_.apply(root_, true, false).succeeded, 4);
        const States done = restoring ? before_ : states();
        for (const int error : {EIO, ENOSPC, EACCES, EROFS}) {
            for (int n = 1, sticky = 0; sticky < 2 && !HasFailure(); ++n) {
                reset();
                restoring ? (void)real_.apply(root_, true, false), move("tagged.doc", true) : void();
                failing_.failAt(n, error, sticky == 1);
                const OperationReport report = guarded(
                    [&] { return restoring ? faulty_.restore() : faulty_.apply(root_, true, false); });
                const std::vector<std::string> failed = failing_.failed;
                failing_.failAt(0, 0, false);
                const std::string at = (restoring ? "restore, errno " : "apply, errno ") +
                                       std::to_string(error) +
                                       (sticky == 1 ? " from change " : " at change ") + std::to_string(n);
                // A failed sync cannot be seen afterwards, so it must be reported (but for the restore's
                // extra syncs of the state folder once a manifest is emptied or a skip record synced); other
                // failures may be absorbed when the outcome is right.
                for (const std::string& call : failed) {
                    // ... and the metadata store's sync after a vanished item's key was cleared.
                    const bool extra =
                        restoring && (call == "fsync " + state_ || (call == "fsync metadata-store" && report.errors.empty() &&
                                                                    !report.missingItems.empty()));
                    EXPECT_TRUE(!call.starts_with("fsync ") || extra || !report.errors.empty())
                        << at << ": " << call;
                }
                expectOutcome(report, done, at);
                const auto counted = [&](const auto& item) {
                    return item.first.starts_with(root_) &&
                           !mentions(report, stdfs::path(item.first).filename());
                };
                EXPECT_EQ(report.succeeded, std::count_if(done.begin(), done.end(), counted)) << at;
                restoring ? move("tagged.doc", false) : void();
                OperationReport final = guarded([&] { return real_.restore(); });
                final.merge(guarded([&] { return real_.retrySkipped(); }));
                expectOutcome(final, before_, at + ", then restored");
                sticky += failed.empty() ? 1 : 0;
                n = failed.empty() ? 0 : n;
            }
        }
    }

    test::ScratchDir scratch_;
    const std::string metadataFile_ = scratch_ / "metadata.json";
    mutable test::FakeWorkspace workspace_;  // reads the store for the checks
    mutable std::map<platform::FileSystem*, std::unique_ptr<test::FakeWorkspace>> workspaces_;
    test::FaultFs noSync_{true}, failing_{true};
    const QImage furball_ = loadFurball();
    const std::string root_ = scratch_ / "home/Desktop", state_ = scratch_ / "home/state";
    const std::string apps_ = scratch_ / "Applications", side_ = scratch_ / "side";
    States before_;
    const platform::DesktopDataFolders entryFolders_{scratch_ / "xdg/user", {scratch_ / "xdg/sys"}};
    const IconEngine real_ = engine(noSync_), faulty_ = engine(failing_);
};

TEST_F(Faults, ApplyStoppedAtEveryChangeIsUndoneByTheRestore) {
    const int steps = atEveryStep(
        1, [&] { reset(); }, [&](auto& fs) { engine(fs).apply(root_, true, false); },
        [&](const std::string& at) { expectClean(real_.restore(), at); });
    EXPECT_GT(steps, 50) << "the apply should make many changes";
}

// "tagged.doc" replaced as an editor saves: the restore keeps it, the set-aside moves it into a skip record.
// Cut anywhere, its backup is in "backup.json" or in one skip record, never in none and never in two
// records; the next set-aside finishes the work.
TEST_F(Faults, SetAsideStoppedAtEveryChangeKeepsEveryBackupOnceAndIsFinishedByTheNext) {
    const std::string replaced = root_ + "/tagged.doc";
    const auto places = [&] {  // (in "backup.json", in how many skip records)
        std::pair<bool, int> found{false, 0};
        for (const auto& file : stdfs::recursive_directory_iterator(state_)) {
            const bool manifest = file.path().filename() == kManifestFileName;
            const bool record = file.path().parent_path().filename() == "missing-backups" &&
                                file.path().extension() == ".json";
            if (!manifest && !record)
                continue;
            const BackupManifest held = real_.readManifest(file.path()).value();
            for (const BackupEntry& entry : held.entries)
                if (root_ + "/" + entry.name == replaced)
                    manifest ? void(found.first = true) : void(++found.second);
        }
        return found;
    };
    const int steps = atEveryStep(
        1,
        [&] {
            reset();
            ASSERT_EQ(batch(noSync_).apply(root_, false).succeeded, 4);
            test::writeFile(replaced + ".new", "edited");
            stdfs::rename(replaced + ".new", replaced);
        },
        [&](auto& fs) { batch(fs).setAside(); },
        [&](const std::string& at) {
            const auto [inManifest, records] = places();
            EXPECT_TRUE((inManifest || records == 1) && records <= 1) << at << ": " << records << " records";
            const OperationReport final = guarded([&] { return batch(noSync_).setAside(); });
            EXPECT_EQ(places(), std::pair(false, 1)) << at;
            EXPECT_FALSE(test::exists(state_ + "/" + kScopeFileName)) << at;
            EXPECT_FALSE(batch(noSync_).pendingScope().has_value()) << at;
            for (const auto& [item, state] : states())
                EXPECT_TRUE(item == replaced || state == before_.at(item)) << at << ": " << item;
        });
    EXPECT_GT(steps, 20);
}

TEST_F(Faults, RestoreStoppedAtEveryChangeIsFinishedByTheNextRestore) {
    const int steps = atEveryStep(
        1,
        [&] {
            reset();
            ASSERT_EQ(real_.apply(root_, true, false).succeeded, 4);
        },
        [&](auto& fs) { engine(fs).restore(); },
        [&](const std::string& at) { expectClean(real_.restore(), at); });
    EXPECT_GT(steps, 20);
}

TEST_F(Faults, RetryStoppedAtEveryChangeIsFinishedByTheNextRetry) {
    const int steps = atEveryStep(
        1, [&] { reset(), leaveSkipRecords(); }, [&](auto& fs) { engine(fs).retrySkipped(); },
        [&](const std::string& at) { expectClean(real_.retrySkipped(), at); });
    EXPECT_GT(steps, 20);
}

TEST_F(Faults, BatchApplyWithApplicationsStoppedAtEveryChangeIsUndoneByABatchRestore) {
    ASSERT_EQ(batch(noSync_).apply(root_, true).succeeded, 6);
    const int steps = atEveryStep(
        1, [&] { reset(); }, [&](auto& fs) { batch(fs).apply(root_, true); },
        [&](const std::string& at) { expectClean(batch(noSync_).restore(), at); });
    EXPECT_GT(steps, 100);
}

// Desktop entries go through the same transaction: cut anywhere, or failed at any change, the batch
// restore puts the user's applications folder back exactly and loses no backup.
TEST_F(Faults, DesktopEntriesStoppedOrFailedAtEveryChangeAreUndoneByABatchRestore) {
    const States original = resetEntries();
    const std::string empty = scratch_ / "empty";
    ASSERT_EQ(entryBatch(noSync_).apply(empty, true).succeeded, 2);
    ASSERT_NE(userEntries(), original);
    const auto expectRestored = [&](const std::string& at) {
        const OperationReport report = guarded([&] { return entryBatch(noSync_).restore(); });
        EXPECT_EQ(report.errors, std::vector<std::string>{}) << at;
        EXPECT_EQ(userEntries(), original) << at;
        EXPECT_FALSE(entryBatch(noSync_).pendingScope().has_value()) << at;
    };
    expectRestored("first round trip");
    const int steps = atEveryStep(
        1, [&] { resetEntries(); }, [&](auto& fs) { entryBatch(fs).apply(empty, true); }, expectRestored);
    EXPECT_GT(steps, 20);
    atEveryStep(
        1, [&] { resetEntries(), entryBatch(noSync_).apply(empty, true); },
        [&](auto& fs) { entryBatch(fs).restore(); }, expectRestored);

    for (const bool restoring : {false, true}) {
        for (int n = 1, sticky = 0; sticky < 2 && !HasFailure(); ++n) {
            resetEntries();
            restoring ? (void)entryBatch(noSync_).apply(empty, true) : void();
            failing_.failAt(n, EIO, sticky == 1);
            const OperationReport report = guarded(
                [&] { return restoring ? entryBatch(failing_).restore() : entryBatch(failing_).apply(empty, true); });
            const std::vector<std::string> failed = failing_.failed;
            failing_.failAt(0, 0, false);
            const std::string at = (restoring ? "restore" : "apply") + std::string(sticky == 1 ? " from " : " at ") +
                                   "change " + std::to_string(n);
            // As for folders, the restore's syncs of a backup folder once its manifest is gone may fail
            // unreported.
            for (const std::string& call : failed)
                EXPECT_TRUE(!call.starts_with("fsync ") || (restoring && call.starts_with("fsync " + state_)) ||
                            !report.errors.empty())
                    << at << ": " << call;
            expectRestored(at);
            sticky += failed.empty() ? 1 : 0;
            n = failed.empty() ? 0 : n;
        }
    }
}

TEST_F(Faults, RestoreStoppedWhileRecoveringFromAStoppedApplyIsFinishedByTheNextRestore) {
    const auto apply = [&](platform::FileSystem& fs) { engine(fs).apply(root_, true, false); };
    auto applied = ChildOutcome::Crashed;
    for (int step = 1; applied == ChildOutcome::Crashed && !HasFailure(); step += 7) {
        atEveryStep(
            5, [&] { reset(), applied = test::runUntilCrash(step, apply); },
            [&](auto& fs) { engine(fs).restore(); },
            [&](const std::string& at) {
                expectClean(real_.restore(), "apply " + std::to_string(step) + " " + at);
            });
    }
}

TEST_F(Faults, PowerLossAtEverySyncOfAFolderApplyKeepsEveryChangedItemsBackup) {
    powerLossAtEverySync(false, false);
}

// New backup folders (the state folder itself, "application-backups/<sha256>") must be durable in their
// parents before a backup is written into them.
TEST_F(Faults, PowerLossDuringTheFirstApplyKeepsTheNewStateFolder) {
    powerLossAtEverySync(false, true);
}
TEST_F(Faults, PowerLossDuringABatchApplyKeepsTheApplicationBackupFolders) {
    powerLossAtEverySync(true, false);
}

TEST_F(Faults, AnIoErrorAtAnyChangeOfAnApplyOrARestoreIsReportedAndLosesNoBackup) {
    ioErrorAtEveryChange(false);
    ioErrorAtEveryChange(true);
}

TEST_F(Faults, TwoProcessesOnOneStateFolderNeverBothProceed) {
    // P proceeded, N found nothing to do, B was told the lock is busy, R was told to restore first.
    const auto outcome = [&](const std::string& op) -> int {
        try {
            const IconBatchEngine engine = batch(noSync_);
            const OperationReport report = op == "apply"     ? engine.apply(root_, true)
                                           : op == "restore" ? engine.restore()
                                                             : engine.retry();
            return report.errors.empty() ? (report.succeeded > 0 ? 'P' : 'N') : 'X';
        } catch (const std::exception& error) {
            const std::string text = error.what();
            const bool restoreFirst = text.starts_with("已有待还原") || text.starts_with("请先完成当前还原");
            return text == kLockBusyMessage ? 'B' : restoreFirst ? 'R' : 'X';
        }
    };
    const std::vector<std::tuple<std::string, std::string, std::set<std::string>>> races = {
        {"apply", "apply", {"PB", "BP", "PR", "RP"}},
        {"apply", "restore", {"PB", "PN", "PP", "BN"}},
        {"retry", "restore", {"PB", "PN", "BN"}}};
    for (const auto& [a, b, allowed] : races) {
        for (int round = 0; round < 3; ++round) {
            reset();
            a == "retry" ? leaveSkipRecords() : void();
            int barrier[2], status = 0;
            ASSERT_EQ(::pipe(barrier), 0);
            std::vector<pid_t> children;
            for (const std::string& op : {a, b}) {  // each waits for its byte through the pipe
                std::fflush(nullptr);
                char go = 0;
                if (children.emplace_back(::fork()) == 0)
                    ::_exit(::read(barrier[0], &go, 1) == 1 ? outcome(op) : 0);
            }
            EXPECT_EQ(::write(barrier[1], "go", 2), 2);
            std::string seen;
            for (const pid_t child : children)
                seen += ::waitpid(child, &status, 0) == child ? static_cast<char>(WEXITSTATUS(status)) : '?';
            ::close(barrier[0]), ::close(barrier[1]);
            EXPECT_EQ(allowed.count(seen), 1u) << a << " vs " << b << ": " << seen;
            OperationReport final = batch(noSync_).restore();
            final.merge(batch(noSync_).retry());
            expectClean(final, a + " vs " + b);
        }
    }
}

// Each engine operation takes its own folder's lock, not only the batch's: while another process holds
// it, every one is refused at once and changes nothing.
TEST_F(Faults, EveryEngineOperationIsRefusedWhileAnotherProcessHoldsItsLock) {
    leaveSkipRecords();
    ASSERT_EQ(real_.apply(root_, true, false).succeeded, 4);
    const States skinned = states();
    const std::set<std::string> kept = backups();
    int held[2], release[2];
    ASSERT_EQ(::pipe(held), 0);
    ASSERT_EQ(::pipe(release), 0);
    std::fflush(nullptr);
    const pid_t holder = ::fork();
    if (holder == 0) {
        const OperationLock lock(platform::FileSystem::real(), state_, kEngineLockFileName);
        char byte = 0;
        ::_exit(::write(held[1], "h", 1) == 1 && ::read(release[0], &byte, 1) == 1 ? 0 : 1);
    }
    char byte = 0;
    ASSERT_EQ(::read(held[0], &byte, 1), 1);
    for (const auto& op : std::vector<std::function<void()>>{[&] { real_.apply(root_, true, false); },
                                                            [&] { real_.restore(); }, [&] { real_.retrySkipped(); },
                                                            [&] { real_.setAsideRemaining(); }}) {
        EXPECT_EQ(guarded([&] { return op(), OperationReport{}; }).errors,
                  std::vector<std::string>{errorLine("*", kLockBusyMessage)});
    }
    EXPECT_EQ(::write(release[1], "r", 1), 1);
    int status = -1;
    EXPECT_EQ(::waitpid(holder, &status, 0), holder);
    for (const int fd : {held[0], held[1], release[0], release[1]})
        ::close(fd);
    EXPECT_EQ(states(), skinned);
    EXPECT_EQ(backups(), kept);
    OperationReport final = real_.restore();
    final.merge(real_.retrySkipped());
    expectClean(final, "after the lock was released");
}

// What another process's exchange (a sync client, an editor saving by rename) must never change: the
// unrelated object's own attributes, its "Icon\r" and its contents, wherever it stands by then.
std::string snapshot(const std::string& path) {
    std::string out = test::exists(path + "/Icon\r") ? test::readFile(path + "/Icon\r") : "";
    for (const std::string& at : {path, path + "/Icon\r"})
        for (const auto& [name, value] : test::userAttributes(at))
            out += "|" + name + "=" + std::string(value.begin(), value.end());
    return stdfs::is_directory(path) ? out : out + "|" + test::readFile(path);
}

bool exchange(const std::string& a, const std::string& b) {
    return ::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0;
}

class Exchange : public test::EngineTest {
  protected:
    // An item and an unrelated object of the same kind outside the root, each with its own Mac form.
    void SetUp() override {
        test::EngineTest::SetUp();
        for (const std::string& path : {at("doc.txt"), scratch / "other.txt"})
            test::writeFile(path, "contents of " + path);
        for (const std::string& path : {at("Pics"), scratch / "OtherPics"}) {
            test::makeDirectory(path);
            test::writeFile(path + "/Icon\r", "icon of " + path);
            test::setRawAttribute(path + "/Icon\r", test::kResourceFork,
                                  test::resourceFork("TEXT", 128, path));
        }
        for (const std::string& path :
             {at("doc.txt"), scratch / "other.txt", at("Pics"), scratch / "OtherPics"}) {
            test::setRawAttribute(path, test::kFinderInfo, test::finderInfo("TEXTttxt"));
            test::setRawAttribute(path, test::kResourceFork, test::resourceFork("TEXT", 128, path));
        }
    }
    const std::vector<std::pair<std::string, std::string>> pairs{{at("doc.txt"), scratch / "other.txt"},
                                                                 {at("Pics"), scratch / "OtherPics"}};
    bool names(const std::string& call, const std::string& path) const {
        std::istringstream words(call);
        for (std::string word; words >> word;)
            if (word == path || word.starts_with(path + "/"))
                return true;
        return false;
    }
};

// At the n-th call on the item, the item and the unrelated object trade places.
TEST_F(Exchange, AnItemExchangedAtAnyStepNeverPassesItsIconToTheOtherObject) {
    for (const bool restoring : {false, true}) {
        for (const auto& [item, other] : pairs) {
            for (int n = 1;; ++n) {
                const std::string before = snapshot(other), original = snapshot(item);
                struct stat st {};
                ASSERT_EQ(::lstat(other.c_str(), &st), 0);
                const ino_t otherInode = st.st_ino;
                if (restoring) {
                    ASSERT_EQ(engine.apply(root, false, false).errors, std::vector<std::string>{});
                }
                int seen = 0;
                bool swapped = false;
                fs.observe = [&](const std::string& call) {
                    if (!call.starts_with("close ") && names(call, item) && ++seen == n) {
                        swapped = exchange(item, other);
                    }
                };
                const OperationReport report =
                    restoring ? engine.restore() : engine.apply(root, false, false);
                fs.observe = nullptr;
                const std::string at =
                    (restoring ? "restore, call " : "apply, call ") + std::to_string(n) + " on " + item;
                if (!swapped) {
                    ASSERT_EQ(engine.restore().errors, std::vector<std::string>{}) << at;
                    break;
                }
                // Exchanged before the apply took the item's identity, the other object was the item.
                const std::string name = stdfs::path(item).filename();
                const auto manifest = engine.loadManifest();
                const bool recordedOther =
                    !restoring && manifest &&
                    std::any_of(manifest->entries.begin(), manifest->entries.end(),
                                [&](auto& e) { return e.name == name && e.identity.inode == otherInode; });
                if (!recordedOther) {
                    EXPECT_EQ(snapshot(item), before) << at << ": the unrelated object was written";
                    ASSERT_TRUE(exchange(item, other)) << at;
                }
                if (restoring) {
                    const bool reported =
                        std::any_of(report.errors.begin(), report.errors.end(), [&](auto& line) {
                            return line == errorLine(name, "原位置的项目已被替换") ||
                                   line == errorLine(name, "原位置出现了不同的项目，已保留备份");
                        });
                    EXPECT_TRUE(reported) << at << ": " << testing::PrintToString(report.errors);
                    EXPECT_TRUE(manifest.has_value()) << at << ": the backup was dropped";
                }
                ASSERT_EQ(engine.restore().errors, std::vector<std::string>{}) << at;
                if (recordedOther) {
                    ASSERT_TRUE(exchange(item, other)) << at;
                }
                EXPECT_EQ(snapshot(item), original) << at;
                EXPECT_EQ(snapshot(other), before) << at;
            }
        }
    }
}

// Another process exchanges items with unrelated objects in a loop while applies and restores run: the
// restore never writes an item's old icon onto the object that stands in its place.
TEST_F(Exchange, ARealRaceNeverWritesTheOtherObject) {
    std::map<std::string, ino_t> inode;
    for (const auto& [item, other] : pairs) {
        struct stat st {};
        ASSERT_EQ(::lstat(other.c_str(), &st), 0);
        inode[other] = st.st_ino;
    }
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        for (;;) {
            for (const auto& [item, other] : pairs) {
                exchange(item, other);
            }
        }
    }
    ASSERT_GT(child, 0);
    IconEngine racing(platform::FileSystem::real(), backups, loadFurball(), workspace);
    for (int round = 0; round < 40; ++round) {
        try {
            racing.apply(root, false, false);
            racing.restore();
        } catch (const std::exception&) {
        }
    }
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    for (const auto& [item, other] : pairs) {
        struct stat st {};
        if (::lstat(item.c_str(), &st) == 0 && st.st_ino == inode[other]) {
            ASSERT_TRUE(exchange(item, other));
        }
        // The other object may have been skinned while it stood in the item's place (it then was the item),
        // but the item's backup, which alone carries the item's path in its fork, never reached it.
        EXPECT_EQ(snapshot(other).find(item), std::string::npos) << other;
    }
}
}  // namespace
}  // namespace lumaro
