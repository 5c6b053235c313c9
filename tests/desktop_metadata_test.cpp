// The desktop metadata store against the real service, on the private bus that
// scripts/with-private-session.sh starts for this program.
#include "platform/desktop_metadata.h"

#include <fcntl.h>
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "engine/icon_engine.h"
#include "platform/key_file.h"
#include "platform/workspace.h"
#include "records/desktop_form.h"
#include "resources/resources.h"
#include "tests/support/scratch.h"

extern char** environ;

namespace lumaro {
namespace {

using platform::IconMetadata;
using namespace std::chrono_literals;

// The metadata daemon's process on our bus (activated by a first write).
pid_t metadataDaemon() {
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (bus == nullptr) {
        return -1;
    }
    GVariant* reply = g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "GetConnectionUnixProcessID", g_variant_new("(s)", "org.gtk.vfs.Metadata"), G_VARIANT_TYPE("(u)"),
        G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr);
    guint32 pid = 0;
    if (reply != nullptr) {
        g_variant_get(reply, "(u)", &pid);
        g_variant_unref(reply);
    }
    g_object_unref(bus);
    return pid == 0 ? -1 : static_cast<pid_t>(pid);
}

class DesktopMetadataTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (std::getenv("DBUS_SESSION_BUS_ADDRESS") == nullptr) {
            GTEST_SKIP() << "run through scripts/with-private-session.sh";
        }
        ASSERT_EQ(store->available(dir.path()), 0);
    }
    test::ScratchDir dir;
    std::unique_ptr<platform::DesktopMetadata> store = platform::makeGioDesktopMetadata(500ms);
};

TEST_F(DesktopMetadataTest, RoundTripOnFilesFoldersAndLinks) {
    test::writeFile(dir / "file", "x");
    test::makeDirectory(dir / "folder");
    const IconMetadata earlier{"file:///elsewhere/old.png", "folder-music"};
    const IconMetadata skinned = platform::skinnedIconMetadata("/state/furball.png");
    for (const std::string& item : {dir / "file", dir / "folder"}) {
        SCOPED_TRACE(item);
        IconMetadata value{"stale", "stale"};
        ASSERT_EQ(store->read(item, value), 0);
        EXPECT_EQ(value, IconMetadata{});
        for (const IconMetadata& wanted : {earlier, skinned, IconMetadata{}}) {
            ASSERT_EQ(store->write(item, wanted), 0);
            ASSERT_EQ(store->read(item, value), 0);
            EXPECT_EQ(value, wanted);
        }
    }
    // A link carries keys of its own; its target is left alone.
    ASSERT_EQ(::symlink((dir / "file").c_str(), (dir / "link").c_str()), 0);
    ASSERT_EQ(store->write(dir / "link", skinned), 0);
    IconMetadata value;
    ASSERT_EQ(store->read(dir / "link", value), 0);
    EXPECT_EQ(value, skinned);
    ASSERT_EQ(store->read(dir / "file", value), 0);
    EXPECT_EQ(value, IconMetadata{});

    EXPECT_EQ(store->read(dir / "missing", value), ENOENT);
    EXPECT_EQ(store->write(dir / "missing", skinned), ENOENT);
    EXPECT_EQ(store->write(dir / "file", IconMetadata{"\xff", std::nullopt}), EINVAL);

    // The store's files are synced; a FIFO or a link planted there neither blocks nor is followed.
    const std::string storeFolder = std::string(std::getenv("XDG_DATA_HOME")) + "/gvfs-metadata";
    ASSERT_EQ(::mkfifo((storeFolder + "/fifo").c_str(), 0600), 0);
    ASSERT_EQ(::symlink("/dev/null", (storeFolder + "/link").c_str()), 0);
    EXPECT_EQ(store->flush(), 0);
    ::unlink((storeFolder + "/fifo").c_str());
    ::unlink((storeFolder + "/link").c_str());
}

// The whole apply and restore against the real service, as a file manager of the session sees it.
class DesktopFormsRoundTrip : public DesktopMetadataTest {
  protected:
    DesktopFormsRoundTrip() { test::makeDirectory(root); }
    IconMetadata keysOf(const std::string& name) {
        IconMetadata value;
        EXPECT_EQ(store->read(at(name), value), 0) << name;
        return value;
    }
    std::string at(const std::string& name) const { return root + "/" + name; }
    // Keys, ".directory" bytes and mode of every item.
    std::string snapshot() {
        std::string out;
        for (const char* name : {"plain", "custom", "Folder", "Kde"}) {
            const IconMetadata keys = keysOf(name);
            out += std::string(name) + "=" + keys.customIcon.value_or("-") + "," + keys.customIconName.value_or("-");
            if (test::exists(at(name) + "/.directory"))
                out += "," + std::to_string(test::fileMode(at(name) + "/.directory")) + test::readFile(at(name) + "/.directory");
            out += ";";
        }
        return out;
    }
    const std::string root = dir / "Desktop", state = dir / "state";
    const std::string kde = "# KDE keeps its own\r\n[Desktop Entry]\r\nIcon=folder-music\r\nIcon[de]=ordner\r\n\r\n"
                            "[Dolphin]\r\nViewMode=1\r\nTimestamp=2026,1,2";
    IconEngine engine{platform::FileSystem::real(), state, loadFurball(), platform::Workspace::real()};
};

TEST_F(DesktopFormsRoundTrip, ApplyShowsTheFurballInEveryFormAndRestoreBringsBackEachExactly) {
    test::writeFile(at("plain"), "p"), test::writeFile(at("custom"), "c");
    test::makeDirectory(at("Folder")), test::makeDirectory(at("Kde"));
    test::writeFile(at("Kde/.directory"), kde, 0640);
    ASSERT_EQ(store->write(at("custom"), {"file:///elsewhere/old.png", "text-x-generic"}), 0);
    ASSERT_EQ(store->write(at("Kde"), {std::nullopt, "folder-music"}), 0);
    const std::string before = snapshot();

    const OperationReport applied = engine.apply(root, false, false);
    EXPECT_EQ(applied.errors, std::vector<std::string>{});
    EXPECT_EQ(applied.succeeded, 4);
    EXPECT_FALSE(applied.desktopMetadataUnavailable);
    const std::string icon = state + "/furball.png";
    EXPECT_EQ(test::readFile(icon), std::string(engine.iconData().begin(), engine.iconData().end()));
    EXPECT_EQ(test::fileMode(icon), 0644u);
    for (const char* name : {"plain", "custom", "Folder", "Kde"})
        EXPECT_EQ(keysOf(name), platform::skinnedIconMetadata(icon)) << name;
    EXPECT_EQ(test::readFile(at("Folder/.directory")), "[Desktop Entry]\nIcon=" + icon + "\n");
    EXPECT_EQ(test::fileMode(at("Folder/.directory")), 0644u);
    // Only the plain key changes; the localized one, the comment, the other group and the CRLF stay.
    EXPECT_EQ(test::readFile(at("Kde/.directory")), platform::skinnedDirectoryFile(kde, icon).value());
    EXPECT_EQ(test::fileMode(at("Kde/.directory")), 0640u);
    EXPECT_EQ(engine.loadManifest().value().schema, 2);

    EXPECT_EQ(engine.restore().errors, std::vector<std::string>{});
    EXPECT_EQ(snapshot(), before);
    EXPECT_FALSE(engine.loadManifest().has_value());
}

TEST_F(DesktopFormsRoundTrip, LaterChangesAreNeverOverwrittenAndAVanishedItemsPathIsCleared) {
    for (const char* name : {"plain", "custom", "gone"})
        test::writeFile(at(name), name);
    test::makeDirectory(at("Kde"));
    test::writeFile(at("Kde/.directory"), kde, 0640);
    ASSERT_EQ(engine.apply(root, false, false).succeeded, 4);
    const std::string icon = state + "/furball.png";

    ASSERT_EQ(store->write(at("plain"), {"file:///mine.png", std::nullopt}), 0);   // another icon
    ASSERT_EQ(store->write(at("custom"), IconMetadata{}), 0);                        // one form only
    test::writeFile(at("Kde/.directory"), kde + "\nedited=1", 0640);                 // an edit
    ASSERT_TRUE(std::filesystem::remove(at("gone")));
    const OperationReport restored = engine.restore();
    const std::string changed = "图标或资源数据在换肤后被修改，已跳过并保留备份";
    EXPECT_EQ(restored.errors, (std::vector<std::string>{errorLine("custom", changed), errorLine("Kde", changed),
                                                         errorLine("plain", changed)}));
    EXPECT_EQ(restored.missingItems, std::vector<std::string>{"gone"});
    EXPECT_EQ(engine.loadManifest().value().entries.size(), 3u);
    EXPECT_EQ(keysOf("plain"), (IconMetadata{"file:///mine.png", std::nullopt}));
    EXPECT_EQ(test::readFile(at("Kde/.directory")), kde + "\nedited=1");
    // A new file of the vanished item's name shows no furball.
    test::writeFile(at("gone"), "new");
    EXPECT_EQ(keysOf("gone"), IconMetadata{});

    // The service hangs: each item fails within the bound and keeps its entry.
    ASSERT_EQ(store->write(at("plain"), platform::skinnedIconMetadata(icon)), 0);
    const pid_t daemon = metadataDaemon();
    ASSERT_GT(daemon, 0);
    ASSERT_EQ(::kill(daemon, SIGSTOP), 0);
    const auto start = std::chrono::steady_clock::now();
    const OperationReport hung = engine.restore();
    ::kill(daemon, SIGCONT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_EQ(hung.succeeded, 0);
    EXPECT_EQ(engine.loadManifest().value().entries.size(), 3u);
}

// Without a session bus the form is unavailable at once, and nothing is launched to make one
// (a dbus-launch on PATH, with a display set, would leave its mark).
TEST(DesktopMetadataNoBus, UnavailableWithoutLaunchingAnything) {
    if (std::getenv("LUMARO_NO_BUS_CHILD") != nullptr) {
        auto store = platform::makeGioDesktopMetadata(5s);
        IconMetadata value;
        EXPECT_EQ(store->available("/"), ENOTSUP);
        EXPECT_EQ(store->read("/", value), ENOTSUP);
        EXPECT_EQ(store->write("/", value), ENOTSUP);
        return;
    }
    test::ScratchDir dir;
    test::makeDirectory(dir / "bin");
    test::makeDirectory(dir / "runtime", 0700);
    test::writeFile(dir / "bin/dbus-launch", "#!/bin/sh\ntouch \"$0.ran\"\nexit 1\n", 0755);
    std::string self(4096, '\0');
    self.resize(static_cast<std::size_t>(::readlink("/proc/self/exe", self.data(), self.size())));
    std::vector<std::string> env = {"LUMARO_NO_BUS_CHILD=1", "DISPLAY=:0",
                                    "PATH=" + dir / "bin" + ":/usr/bin:/bin", "HOME=" + dir.path(),
                                    "XDG_RUNTIME_DIR=" + dir / "runtime"};
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::string_view(*e).starts_with("ASAN_OPTIONS=") ||
            std::string_view(*e).starts_with("LSAN_OPTIONS=")) {
            env.emplace_back(*e);
        }
    }
    std::vector<char*> envp;
    for (auto& e : env) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    std::string filter = "--gtest_filter=DesktopMetadataNoBus.*";
    char* argv[] = {self.data(), filter.data(), nullptr};
    pid_t child = 0;
    ASSERT_EQ(::posix_spawn(&child, self.c_str(), nullptr, nullptr, argv, envp.data()), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    struct stat st {};
    EXPECT_NE(::lstat((dir / "bin/dbus-launch.ran").c_str(), &st), 0);
}

TEST(DesktopMetadataValues, SkinnedValueAndIconFile) {
    EXPECT_EQ(platform::skinnedIconMetadata("/a b/é#%.png"),
              (IconMetadata{"file:///a%20b/%C3%A9%23%25.png", std::nullopt}));
    EXPECT_EQ(platform::fileUriOfPath("relative.png"), std::nullopt);

    test::ScratchDir dir;
    test::ScopedUmask umask(077);
    const std::string path = dir / "furball.png";
    ASSERT_EQ(platform::ensureIconFile(platform::FileSystem::real(), path, test::bytesOf("png")), 0);
    EXPECT_EQ(test::fileMode(path), 0644u);
    struct stat first {};
    ASSERT_EQ(::lstat(path.c_str(), &first), 0);
    ASSERT_EQ(platform::ensureIconFile(platform::FileSystem::real(), path, test::bytesOf("png")),
              0);
    struct stat same {};
    ASSERT_EQ(::lstat(path.c_str(), &same), 0);
    EXPECT_EQ(same.st_ino, first.st_ino);  // left alone when it already holds these bytes
    ASSERT_EQ(platform::ensureIconFile(platform::FileSystem::real(), path, test::bytesOf("png2")),
              0);
    EXPECT_EQ(test::readFile(path), "png2");
}

TEST(DesktopMetadataValues, ChangeNoteKeepsTimesAndTouchesStatus) {
    test::ScratchDir dir;
    test::writeFile(dir / "file", "x");
    struct timespec old[2] = {{1000, 5}, {2000, 7}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (dir / "file").c_str(), old, 0), 0);
    struct stat before {};
    ASSERT_EQ(::lstat((dir / "file").c_str(), &before), 0);
    std::this_thread::sleep_for(20ms);
    platform::Workspace::real().noteFileSystemChanged(dir / "file");
    platform::Workspace::real().noteFileSystemChanged(dir / "missing");
    struct stat after {};
    ASSERT_EQ(::lstat((dir / "file").c_str(), &after), 0);
    EXPECT_EQ(after.st_mtim.tv_sec, 2000);
    EXPECT_EQ(after.st_mtim.tv_nsec, 7);
    EXPECT_EQ(after.st_atim.tv_sec, 1000);
    EXPECT_GT(after.st_ctim.tv_sec * 1'000'000'000L + after.st_ctim.tv_nsec,
              before.st_ctim.tv_sec * 1'000'000'000L + before.st_ctim.tv_nsec);
}

// Last: once the service was killed, this process's GIO may not reach its successor again.
// Its own suite, so that it runs after every other suite of this program.
class DesktopMetadataService : public DesktopMetadataTest {};

TEST_F(DesktopMetadataService, HungOrDyingServiceGivesBoundedErrors) {
    test::writeFile(dir / "file", "x");
    const IconMetadata skinned = platform::skinnedIconMetadata("/state/furball.png");
    ASSERT_EQ(store->write(dir / "file", skinned), 0);
    const pid_t daemon = metadataDaemon();
    ASSERT_GT(daemon, 0);

    ASSERT_EQ(::kill(daemon, SIGSTOP), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(store->write(dir / "file", IconMetadata{}), ETIMEDOUT);
    // The worker is still stuck: the next call fails at once.
    const auto second = std::chrono::steady_clock::now();
    EXPECT_EQ(store->write(dir / "file", IconMetadata{}), ETIMEDOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - second, 100ms);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    ASSERT_EQ(::kill(daemon, SIGKILL), 0);
    ::waitpid(daemon, nullptr, WNOHANG);

    // The bus starts the service again; the program never waits past its bound meanwhile.
    int result = ETIMEDOUT;
    for (int attempt = 0; attempt < 100 && result != 0; ++attempt) {
        std::this_thread::sleep_for(50ms);
        result = store->write(dir / "file", skinned);
        EXPECT_TRUE(result == 0 || result == ETIMEDOUT || result == EIO) << result;
    }
    ASSERT_EQ(result, 0);
    IconMetadata value;
    ASSERT_EQ(store->read(dir / "file", value), 0);
    EXPECT_EQ(value, skinned);
}

}  // namespace
}  // namespace lumaro
