// The desktop metadata store against the real service, on the private bus that
// scripts/with-private-session.sh starts for this program.
#include "platform/desktop_metadata.h"

#include <dirent.h>
#include <fcntl.h>
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <thread>
#include <tuple>

#include "engine/icon_engine.h"
#include "platform/launcher_entry.h"
#include "resources/resources.h"
#include "tests/support/scratch.h"

namespace lumaro {
namespace {

using platform::IconMetadata;
using namespace std::chrono_literals;

// Run by `with-private-session.sh --autolaunch`: no bus, only an address with which GLib would start one.
bool autolaunchOnly() {
    return std::getenv("DBUS_SESSION_BUS_ADDRESS") == std::string_view("autolaunch:");
}

// The whole apply and restore against the real service, as a file manager of the session sees it,
// under a umask that would narrow every mode the program sets.
struct DesktopFormsRoundTrip : ::testing::Test {
    void SetUp() override {
        test::makeDirectory(root);
        if (autolaunchOnly())
            GTEST_SKIP() << "needs the metadata service";
        ASSERT_EQ(store->available(dir.path()), 0) << "run through scripts/with-private-session.sh";
    }
    IconMetadata keysOf(const std::string& path) {
        IconMetadata value{"stale", "stale"};
        EXPECT_EQ(store->read(path, value), 0) << path;
        return value;
    }
    std::string at(const std::string& name) const { return root + "/" + name; }
    pid_t serviceProcess() const {  // the service's process on our bus
        const std::string reply = test::run(
            "dbus-send --session --print-reply=literal --dest=org.freedesktop.DBus /org/freedesktop/DBus "
            "org.freedesktop.DBus.GetConnectionUnixProcessID string:org.gtk.vfs.Metadata");
        return std::atoi(reply.c_str() + reply.find("uint32") + 6);
    }
    std::pair<std::map<std::string, std::string>, std::vector<IconMetadata>> snapshot() {  // files and keys
        std::vector<IconMetadata> keys;
        for (const char* name : {"plain", "custom", "gone", "moved", "Folder", "Kde"})
            keys.push_back(keysOf(at(name)));
        return {test::treeSnapshot(root), keys};
    }
    const test::ScopedUmask umask{077};
    test::ScratchDir dir;
    std::unique_ptr<platform::DesktopMetadata> store = platform::makeGioDesktopMetadata(500ms);
    // The icon's URI is percent-encoded: a space, a non-ASCII letter, '#' and '%'.
    const std::string root = dir / "Desktop", state = dir / "st ate é#%", icon = state + "/furball.png";
    const IconMetadata skinned{"file://" + dir.path() + "/st%20ate%20%C3%A9%23%25/furball.png", std::nullopt};
    const IconMetadata mine{"file:///mine.png", std::nullopt};
    const std::string kde =
        "# KDE keeps its own\r\n[Desktop Entry]\r\nIcon=folder-music\r\nIcon[de]=ordner\r\n"
        "\r\n[Dolphin]\r\nViewMode=1\r\nTimestamp=2026,1,2";
    platform::LinuxWorkspace workspace;  // the real one, on the private bus
    IconEngine engine{platform::FileSystem::real(), state, loadFurball(), workspace};
    const std::string png{engine.iconData().begin(), engine.iconData().end()};
};

TEST_F(DesktopFormsRoundTrip, ApplyShowsTheFurballInEveryFormRestoreBringsBackEachAndNeverALaterChange) {
    for (const char* name : {"plain", "custom", "gone", "moved"})
        test::writeFile(at(name), name);
    for (int i = 0; i < 200; ++i)  // a batch of several groups, their answers coming while files are written
        test::writeFile(at("n" + std::to_string(i)), "n");
    test::makeDirectory(at("Folder")), test::makeDirectory(at("Kde"));
    test::writeFile(at("Kde/.directory"), kde, 0640);
    ASSERT_EQ(store->write(at("custom"), {"file:///elsewhere/old.png", "text-x-generic"}), 0);
    ASSERT_EQ(store->write(at("Kde"), {std::nullopt, "folder-music"}), 0);
    const auto before = snapshot();

    const OperationReport applied = engine.apply(root, ApplyScope::withoutApplications);
    EXPECT_EQ(std::tuple(errorLines(applied.errors), applied.succeeded, applied.desktopMetadataUnavailable),
              std::tuple(std::vector<std::string>{}, 206, false));
    EXPECT_EQ(std::pair(test::readFile(icon), test::fileMode(icon)), std::pair(png, 0644u));
    const auto iconInode = test::inodeOf(icon);
    for (const char* name : {"plain", "custom", "Folder", "Kde", "n0", "n199"})
        EXPECT_EQ(keysOf(at(name)), skinned) << name;
    // Only the plain key changes; the localized one, the comment, the other group and the CRLF stay.
    EXPECT_EQ(std::tuple(test::readFile(at("Folder/.directory")), test::fileMode(at("Folder/.directory")),
                         test::readFile(at("Kde/.directory")), test::fileMode(at("Kde/.directory"))),
              std::tuple("[Desktop Entry]\nIcon=" + icon + "\n", 0644u,
                         std::string(kde).replace(kde.find("folder-music"), 12, icon), 0640u));
    EXPECT_TRUE(engine.restore().errors.empty());
    EXPECT_EQ(snapshot(), before);

    // Changes after the skin are never overwritten; a vanished item's keys are cleared only if ours.
    ASSERT_EQ(engine.apply(root, ApplyScope::withoutApplications).succeeded, 206);
    EXPECT_EQ(test::inodeOf(icon), iconInode) << "an icon file holding these bytes is left alone";
    ASSERT_EQ(store->write(at("plain"), mine), 0);             // another icon
    ASSERT_EQ(store->write(at("custom"), IconMetadata{}), 0);  // one form only
    test::writeFile(at("Kde/.directory"), kde + "\nedited=1", 0640);
    // "moved" vanishes with keys another program gave its path after the skin.
    test::writeFile(at("moved"), "other");
    ASSERT_EQ(store->write(at("moved"), mine), 0);
    ASSERT_EQ(::unlink(at("gone").c_str()) + ::unlink(at("moved").c_str()), 0);
    const OperationReport restored = engine.restore();
    const std::string kept = "：图标或资源数据在换肤后被修改，已跳过并保留备份";
    EXPECT_EQ(std::tuple(errorLines(restored.errors), restored.missingItems,
                         engine.loadManifest().value().entries.size()),
              std::tuple(std::vector{"custom" + kept, "Kde" + kept, "plain" + kept},
                         std::vector<std::string>{"gone", "moved"}, 3u));
    EXPECT_EQ(std::pair(keysOf(at("plain")), test::readFile(at("Kde/.directory"))),
              std::pair(mine, kde + "\nedited=1"));
    test::writeFile(at("gone"), "new"), test::writeFile(at("moved"), "new");
    EXPECT_EQ(keysOf(at("gone")), IconMetadata{})
        << "a new file of the vanished item's name shows no furball";
    EXPECT_EQ(keysOf(at("moved")), mine);

    // A link carries keys of its own; a missing path, a value that is no UTF-8 and odd store files are
    // handled.
    test::writeFile(dir / "target", "t");
    ASSERT_EQ(::symlink((dir / "target").c_str(), (dir / "link").c_str()), 0);
    std::string deep = dir / "d";  // deeper than the mapping follows: written through GIO, between the others
    for (int d = 0; d < 70; ++d)
        test::makeDirectory(deep), deep += "/d";
    test::writeFile(deep, "d");
    ASSERT_EQ(store->writeAll({{dir / "link", skinned}, {deep, mine}, {dir / "target", {}}}),
              std::vector(3, 0));
    EXPECT_EQ(std::tuple(keysOf(dir / "link"), keysOf(dir / "target"), keysOf(deep)),
              std::tuple(skinned, IconMetadata{}, mine));
    IconMetadata value;
    EXPECT_EQ(std::tuple(store->read(at("missing"), value), store->write(at("missing"), skinned),
                         store->write(dir / "target", IconMetadata{"\xff", std::nullopt})),
              std::tuple(ENOENT, ENOENT, EINVAL));
    // The emblem list: kept in order, removed when empty; a missing path, a name that is no UTF-8 or empty.
    std::vector<std::string> emblems, none{"stale"};  // each call 0, in order
    ASSERT_FALSE(store->writeEmblems(dir / "target", {"emblem-b", "emblem-a"}) ||
                 store->readEmblems(dir / "target", emblems) || store->writeEmblems(dir / "target", {}) ||
                 store->readEmblems(dir / "target", none));
    EXPECT_EQ(emblems, (std::vector<std::string>{"emblem-b", "emblem-a"}));
    EXPECT_EQ(std::tuple(none.size(), store->readEmblems(at("missing"), emblems),
                         store->writeEmblems(dir / "target", {"\xff"}),
                         store->writeEmblems(dir / "target", {"a", ""})),
              std::tuple(0u, ENOENT, EINVAL, EINVAL));
    // The store's files are synced; a FIFO or a link planted there neither blocks nor is followed.
    const std::string storeFolder = std::string(std::getenv("XDG_DATA_HOME")) + "/gvfs-metadata";
    ASSERT_EQ(::mkfifo((storeFolder + "/fifo").c_str(), 0600), 0);
    ASSERT_EQ(::symlink("/dev/null", (storeFolder + "/link").c_str()), 0);
    EXPECT_EQ(store->flush(), 0);
    ::unlink((storeFolder + "/fifo").c_str()), ::unlink((storeFolder + "/link").c_str());
}

// Reads take a key's newest change from the journal unless a later move or removal of its path or
// of a folder above it came after: then the journal is followed as the service's own client does.
TEST_F(DesktopFormsRoundTrip, ReadsFollowTheMovesAndRemovalsTheJournalHolds) {
    const std::string folder = root + "/sub", moved = root + "/sub moved";
    test::makeDirectory(folder);
    for (const char* name : {"a", "b", "c", "d"})
        test::writeFile(folder + "/" + name, name);
    for (const char* name : {"a", "b", "c", "d"})
        ASSERT_EQ(store->write(folder + "/" + name, {std::string("file:///") + name, std::nullopt}), 0);
    const auto gio = [](const std::string& from, const std::string& to) {  // as a file manager does
        GFile* source = g_file_new_for_path(from.c_str());
        GFile* target = to.empty() ? nullptr : g_file_new_for_path(to.c_str());
        const gboolean done =
            target ? g_file_move(source, target, G_FILE_COPY_NONE, nullptr, nullptr, nullptr, nullptr)
                   : g_file_delete(source, nullptr, nullptr);
        g_object_unref(source);
        if (target)
            g_object_unref(target);
        return done;
    };
    ASSERT_TRUE(gio(folder + "/a", folder + "/a2"));
    ASSERT_TRUE(gio(folder + "/b", ""));
    test::writeFile(folder + "/b", "new b");          // another file at a removed one's path
    ASSERT_EQ(store->write(folder + "/c", mine), 0);  // changed after the moves
    ASSERT_TRUE(gio(folder, moved));                  // the folder and all below it
    const auto expectRead = [&](const std::string& path, const IconMetadata& expected) {
        EXPECT_EQ(keysOf(path), expected) << path;
        EXPECT_EQ(store->readAll({path}), (std::vector{std::pair(0, expected)})) << path;
    };
    expectRead(moved + "/a2", {"file:///a", std::nullopt});
    expectRead(moved + "/b", {});
    expectRead(moved + "/c", mine);
    expectRead(moved + "/d", {"file:///d", std::nullopt});
    test::makeDirectory(folder);
    test::writeFile(folder + "/d", "d");  // at the old path: nothing is left there
    expectRead(folder + "/d", {});
}

// A vanished item's key is cleared through the service with nothing ever made at its path, in
// home's tree and in the root tree, and only while it is ours; writes go in flight together; a
// flush syncs the trees written and nothing else.
TEST_F(DesktopFormsRoundTrip, VanishedKeysClearedInPlacePipelinedWritesFlushOnlyTheTreesWritten) {
    std::vector<std::string> synced;
    const auto observed =
        platform::makeGioDesktopMetadata(5s, [&](const std::string& f) { synced.push_back(f); });
    const std::string storeFolder = std::string(std::getenv("XDG_DATA_HOME")) + "/gvfs-metadata/";
    const std::string inHome = std::string(std::getenv("HOME")) + "/Mé ta " + std::to_string(::getpid());
    test::makeDirectory(inHome);
    const std::string uri = *skinned.customIcon;
    // Written before the many writes below: in home's tree these end up in the tree file itself.
    for (const std::string& folder : {inHome, root}) {
        test::writeFile(folder + "/ours", "o"), test::writeFile(folder + "/other", "t");
        ASSERT_EQ(
            observed->write(folder + "/ours", {uri, "kept-name"}) | observed->write(folder + "/other", mine),
            0);
        // Lists too: our badge after another, and another alone.
        ASSERT_EQ(observed->writeEmblems(folder + "/ours", {"emblem-theirs", platform::kFurballEmblemName}) |
                      observed->writeEmblems(folder + "/other", {"emblem-theirs"}),
                  0);
    }
    ASSERT_EQ(observed->flush(), 0);

    // In home, outside it and through a link in home to a folder outside it: each key lands where
    // GIO's own query finds it.
    const std::string via = inHome + "/via";
    ASSERT_EQ(::symlink(root.c_str(), via.c_str()), 0);
    std::vector<std::pair<std::string, IconMetadata>> items;
    for (std::size_t i = 0; i < 300; ++i) {
        items.emplace_back(std::array{inHome, root, via}[i % 3] + "/item " + std::to_string(i),
                           i % 2 ? skinned : IconMetadata{"file:///n" + std::to_string(i), "x"});
        test::writeFile(items.back().first, "i");
    }
    items.emplace_back(inHome + "/missing", skinned);
    items.emplace_back(inHome + "/item 0", IconMetadata{"\xff", {}});
    std::vector<int> expected(300, 0);
    expected.insert(expected.end(), {ENOENT, EINVAL});
    test::writeFile(storeFolder + "uuid-unwritten", "");  // a tree no write goes to: never synced
    synced.clear();
    EXPECT_EQ(observed->writeAll(items), expected);
    for (std::size_t i = 0; i < 300; ++i)
        ASSERT_EQ(keysOf(items[i].first), items[i].second) << items[i].first;
    std::vector<std::string> paths;  // read together, as read() reads each
    std::vector<std::pair<int, IconMetadata>> written;
    for (std::size_t i = 0; i < 301; ++i)
        paths.push_back(items[i].first),
            written.emplace_back(i < 300 ? 0 : ENOENT, i < 300 ? items[i].second : IconMetadata{});
    EXPECT_EQ(observed->readAll(paths), written);
    {  // answers taken as they come, in any order; let go half taken, the store goes on
        const auto pending = observed->startReads(paths);
        EXPECT_EQ(pending->take(300), written[300]);
        EXPECT_EQ(pending->take(7), written[7]);
    }
    EXPECT_EQ(observed->readAll({paths[1]}), std::vector{written[1]});
    {  // writes' answers taken in any order, one never; reads started after them find them made
        const auto pending = observed->startWrites(
            {{paths[0], skinned}, {paths[1], IconMetadata{}}, {inHome + "/missing", skinned}});
        const auto after = observed->startReads({paths[1], paths[0]});
        EXPECT_EQ(pending->take(2), ENOENT);
        EXPECT_EQ(after->take(1), std::pair(0, skinned));
        EXPECT_EQ(after->take(0), std::pair(0, IconMetadata{}));
        EXPECT_EQ(pending->take(0), 0);
    }
    ASSERT_EQ(observed->flush(), 0);
    std::multiset<std::string> kinds;  // the trees written and their journals, nothing else; then nothing
    for (const std::string& file : synced)
        kinds.insert(
            file.substr(storeFolder.size(), file.find('-', storeFolder.size()) - storeFolder.size()) +
            (file.ends_with(".log") ? " journal" : ""));
    EXPECT_EQ(kinds, (std::multiset<std::string>{"home", "home journal", "root", "root journal"}));
    synced.clear();
    EXPECT_EQ(observed->flush(), 0);
    EXPECT_EQ(synced, std::vector<std::string>{});

    for (const auto& [folder, tree] : {std::pair(inHome, "home"), std::pair(root, "root")}) {
        const std::string ours = folder + "/ours", other = folder + "/other";
        ASSERT_EQ(::unlink(ours.c_str()) | ::unlink(other.c_str()), 0);
        const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        ASSERT_GE(::inotify_add_watch(watch, folder.c_str(), IN_ALL_EVENTS), 0);
        for (const std::string& path : {ours, other})
            EXPECT_EQ(
                observed->clearIfOurs(path, uri) | observed->clearEmblem(path, platform::kFurballEmblemName),
                0)
                << path;
        EXPECT_EQ(observed->flush(), 0);
        std::set<std::string> named;  // nothing made, renamed or removed in the folder meanwhile
        alignas(inotify_event) char buffer[65536];
        for (ssize_t n; (n = ::read(watch, buffer, sizeof buffer)) > 0;)
            for (ssize_t at = 0; at < n; at += static_cast<ssize_t>(sizeof(inotify_event)) +
                                               reinterpret_cast<inotify_event*>(buffer + at)->len)
                if (const auto* event = reinterpret_cast<inotify_event*>(buffer + at); event->len > 0)
                    named.insert(event->name);
        ::close(watch);
        EXPECT_EQ(named, std::set<std::string>{}) << tree;
        EXPECT_TRUE(!synced.empty() &&
                    std::all_of(synced.begin(), synced.end(),
                                [&](const std::string& f) { return f.starts_with(storeFolder + tree); }))
            << tree << " " << ::testing::PrintToString(synced);
        synced.clear();
        test::writeFile(ours, "new"), test::writeFile(other, "new");
        EXPECT_EQ(std::pair(keysOf(ours), keysOf(other)),
                  std::pair(IconMetadata{std::nullopt, "kept-name"}, mine))
            << "only our key goes, and only ours";
        std::vector<std::string> oursLeft, otherLeft;
        EXPECT_EQ(observed->readEmblems(ours, oursLeft) | observed->readEmblems(other, otherLeft), 0);
        EXPECT_EQ(std::pair(oursLeft, otherLeft), std::pair(std::vector<std::string>{"emblem-theirs"},
                                                            std::vector<std::string>{"emblem-theirs"}))
            << tree << ": only our emblem goes";
    }

    // A journal that cannot be read means "cannot tell": an error, and the key stays.
    const std::string gone = root + "/damaged";
    test::writeFile(gone, "d");
    ASSERT_EQ(store->write(gone, skinned) | ::unlink(gone.c_str()), 0);
    std::string journal;
    for (const auto& entry : std::filesystem::directory_iterator(storeFolder))
        if (const std::string name = entry.path().filename();
            name.starts_with("root-") && name.ends_with(".log"))
            journal = entry.path();
    const int fd = ::open(journal.c_str(), O_RDWR);
    ASSERT_GE(fd, 0) << journal;
    const char wrong = 'X', right = '\xda';
    ASSERT_EQ(::pwrite(fd, &wrong, 1, 0), 1);
    EXPECT_EQ(store->clearIfOurs(gone, uri), EIO);
    ASSERT_EQ(::pwrite(fd, &right, 1, 0), 1);
    ::close(fd);
    EXPECT_EQ(store->clearIfOurs(gone, uri), 0);
    test::writeFile(gone, "d");
    EXPECT_EQ(keysOf(gone), IconMetadata{});
}

// With an "autolaunch:" address, or none and no bus in the runtime folder, and a display GLib would start a
// bus of its own: the store never lets it, and the form is unavailable. (Also run outside any session.)
TEST(DesktopMetadataWithoutSession, AutolaunchAddressOrNoBusStartsNoBus) {
    test::ScratchDir dir;
    // GLib autolaunches through "dbus-launch" from PATH: this one only leaves a trace.
    test::makeDirectory(dir / "bin");
    test::writeFile(dir / "bin/dbus-launch", "#!/bin/sh\ntouch '" + dir / "launched" + "'\nexit 1\n", 0755);
    std::map<std::string, std::string> saved;
    for (const char* name : {"DBUS_SESSION_BUS_ADDRESS", "DISPLAY", "PATH", "XDG_RUNTIME_DIR"})
        saved[name] = std::getenv(name) ? std::getenv(name) : "";
    ::setenv("DISPLAY", ":0", 1), ::setenv("PATH", (dir / "bin:" + saved["PATH"]).c_str(), 1);
    test::writeFile(dir / "item", "x");
    for (const bool autolaunch : {true, false}) {
        autolaunch
            ? ::setenv("DBUS_SESSION_BUS_ADDRESS", "autolaunch:", 1)
            : (::unsetenv("DBUS_SESSION_BUS_ADDRESS"), ::setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1));
        const auto store = platform::makeGioDesktopMetadata(500ms);
        IconMetadata value;
        EXPECT_EQ(std::tuple(store->available(dir.path()), store->read(dir / "item", value),
                             store->write(dir / "item", {}),
                             store->writeAll({{dir / "item", {}}, {dir / "item", {}}}),
                             store->clearIfOurs(dir / "gone", "file:///x"), store->flush()),
                  std::tuple(ENOTSUP, ENOTSUP, ENOTSUP, std::vector{ENOTSUP, ENOTSUP}, ENOTSUP, 0))
            << autolaunch;
    }
    EXPECT_FALSE(test::exists(dir / "launched"));
    for (const auto& [name, text] : saved)
        text.empty() ? (void)::unsetenv(name.c_str()) : (void)::setenv(name.c_str(), text.c_str(), 1);
}

// The change note keeps the times and touches the status (an apply's own changes touch it too).
TEST(DesktopMetadataValues, ChangeNoteKeepsTheTimes) {
    test::ScratchDir dir;
    const std::string path = dir / "item";
    test::writeFile(path, "x");
    const struct timespec old[2] = {{1000, 5}, {2000, 7}};
    struct stat before = {}, after = {};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), old, 0) | ::lstat(path.c_str(), &before), 0);
    std::this_thread::sleep_for(20ms);
    platform::LinuxWorkspace().noteFileSystemChanged(path);
    ASSERT_EQ(::lstat(path.c_str(), &after), 0);
    EXPECT_EQ(std::tuple(after.st_mtim.tv_sec, after.st_mtim.tv_nsec, after.st_atim.tv_sec,
                         std::pair(after.st_ctim.tv_sec, after.st_ctim.tv_nsec) >
                             std::pair(before.st_ctim.tv_sec, before.st_ctim.tv_nsec)),
              std::tuple(2000L, 7L, 1000L, true));
}

// A vanished item's backup moves into a skip record that allows for its key leaving before the key is
// touched: with the service hung, the key stays and the record says "clearing"; once it answers, a retry
// clears the key, so a new file of that name shows no furball.
TEST_F(DesktopFormsRoundTrip, AVanishedItemsKeyWaitsInAClearingRecordWhileTheServiceHangs) {
    test::writeFile(at("file"), "x"), test::writeFile(at("gone"), "x");
    ASSERT_EQ(engine.apply(root, ApplyScope::withoutApplications).succeeded, 2);
    const pid_t daemon = serviceProcess();
    ASSERT_EQ(::unlink(at("gone").c_str()), 0);
    ASSERT_TRUE(daemon > 0 && ::kill(daemon, SIGSTOP) == 0) << daemon;
    const auto start = std::chrono::steady_clock::now();
    const OperationReport hung = engine.restore();
    const auto took = std::chrono::steady_clock::now() - start;  // one call's bound: the next fail at once
    ::kill(daemon, SIGCONT);
    EXPECT_LT(took, 3500ms);
    EXPECT_EQ(std::tuple(hung.succeeded, hung.missingItems), std::tuple(0, std::vector<std::string>{"gone"}));
    const auto record = std::filesystem::directory_iterator(engine.missingBackupsPath())->path();
    EXPECT_EQ(engine.readManifest(record).value().entries.at(0).phase, kPhaseClearing);
    // The engine's own calls may still wait on the service's answers to those it gave up on.
    OperationReport finished = engine.restore();
    for (int attempt = 0; attempt < 100 && !finished.errors.empty(); ++attempt)
        std::this_thread::sleep_for(50ms), finished = engine.restore();
    EXPECT_EQ(errorLines(finished.errors), std::vector<std::string>{});
    EXPECT_EQ(engine.retrySkipped().missingItems, std::vector<std::string>{"gone"});
    test::writeFile(at("gone"), "new");
    EXPECT_EQ(keysOf(at("gone")), IconMetadata{});
}

// Last: once the service was killed, this process's GIO may not reach its successor again.
// Its own suite, so that it runs after every other suite of this program.
struct DesktopMetadataService : DesktopFormsRoundTrip {};

TEST_F(DesktopMetadataService, HungOrDyingServiceGivesBoundedErrors) {
    test::writeFile(at("file"), "x");
    test::writeFile(icon, "other bytes");  // replaced by the apply
    ASSERT_EQ(engine.apply(root, ApplyScope::withoutApplications).succeeded, 1);
    EXPECT_EQ(test::readFile(icon), png);
    const pid_t daemon = serviceProcess();  // activated by the apply
    ASSERT_TRUE(daemon > 0 && ::kill(daemon, SIGSTOP) == 0) << daemon;
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    test::writeFile(at("second"), "x");
    EXPECT_EQ(store->writeAll({{at("file"), IconMetadata{}}, {at("second"), skinned}}),
              (std::vector{ETIMEDOUT, ETIMEDOUT}));
    const auto second = Clock::now();  // the worker is still stuck: the next call fails at once
    EXPECT_EQ(store->write(at("file"), IconMetadata{}), ETIMEDOUT);
    EXPECT_EQ(store->startReads({at("file")})->take(0).first, ETIMEDOUT);
    EXPECT_TRUE(Clock::now() - second < 100ms && Clock::now() - start < 2s);
    // A restore meanwhile fails within its bound and keeps the entry.
    EXPECT_EQ(engine.restore().succeeded, 0);
    EXPECT_EQ(engine.loadManifest().value().entries.size(), 1u);
    EXPECT_LT(Clock::now() - start, 10s);
    ASSERT_EQ(::kill(daemon, SIGKILL), 0);

    // The bus starts the service again, and the store reaches it.
    int result = ETIMEDOUT;
    for (int attempt = 0; attempt < 100 && result != 0; ++attempt)
        std::this_thread::sleep_for(50ms), result = store->write(at("file"), skinned);
    ASSERT_EQ(result, 0);
    EXPECT_EQ(keysOf(at("file")), skinned);
}

// The launcher entry as a dock on the same bus reads it; without a bus it sends nothing.
TEST(LauncherEntry, ShowsAndHidesProgressOnTheSessionBusAndWithoutOneSendsNothing) {
    if (autolaunchOnly()) {  // sends nothing, starts nothing
        platform::makeLauncherEntry("lumaro.desktop")->showProgress(0.5);
        GTEST_SKIP() << "needs a bus";
    }
    gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    ASSERT_NE(address, nullptr);
    GDBusConnection* dock = g_dbus_connection_new_for_address_sync(
        address,
        GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                             G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    g_free(address);
    ASSERT_NE(dock, nullptr);
    using Update = std::tuple<std::string, double, bool>;  // the application's URI, progress, shown
    std::vector<Update> got;
    const guint subscription = g_dbus_connection_signal_subscribe(
        dock, nullptr, "com.canonical.Unity.LauncherEntry", "Update", nullptr, nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE,
        [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters,
           gpointer data) {
            const gchar* uri = nullptr;
            GVariant* properties = nullptr;
            g_variant_get(parameters, "(&s@a{sv})", &uri, &properties);
            double progress = -1;
            gboolean visible = false;
            g_variant_lookup(properties, "progress", "d", &progress);
            g_variant_lookup(properties, "progress-visible", "b", &visible);
            g_variant_unref(properties);
            static_cast<std::vector<Update>*>(data)->emplace_back(uri, progress, visible);
        },
        &got, nullptr);
    const auto waitFor = [&](std::size_t count, std::chrono::milliseconds limit) {
        for (auto start = std::chrono::steady_clock::now();
             got.size() < count && std::chrono::steady_clock::now() - start < limit;)
            g_main_context_iteration(nullptr, FALSE), std::this_thread::sleep_for(5ms);
    };
    const auto entry = platform::makeLauncherEntry("lumaro.desktop");
    entry->showProgress(0.25);
    entry->showProgress(0.252);  // too small a step to be worth a signal
    entry->showProgress(std::nullopt);
    waitFor(2, 3000ms);
    EXPECT_EQ(got, (std::vector<Update>{{"application://lumaro.desktop", 0.25, true},
                                        {"application://lumaro.desktop", 0.0, false}}));

    std::vector<std::pair<const char*, std::string>> saved;
    for (const char* name : {"DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR"})
        if (const char* value = std::getenv(name))
            saved.emplace_back(name, value), ::unsetenv(name);
    platform::makeLauncherEntry("lumaro.desktop")->showProgress(0.5);
    for (const auto& [name, value] : saved)
        ::setenv(name, value.c_str(), 1);
    waitFor(3, 300ms);
    EXPECT_EQ(got.size(), 2u);
    g_dbus_connection_signal_unsubscribe(dock, subscription);
    g_object_unref(dock);
}

}  // namespace
}  // namespace lumaro
