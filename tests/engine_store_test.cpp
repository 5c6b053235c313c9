// The backup store: engine creation, reading and durable writing of manifests.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QBuffer>
#include <QImage>
#include <chrono>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "engine/icon_engine.h"
#include "platform/system_error.h"
#include "records/errors.h"
#include "records/json.h"
#include "tests/support/scratch.h"

namespace lumaro {
namespace {

using platform::FileSystem;
using test::ScratchDir;

BackupManifest sampleManifest(std::size_t entries, const std::string& root = "/home/anna/Desktop") {
    BackupManifest manifest;
    manifest.rootPath = root;
    manifest.rootIdentity = {2049, 77, 1700000000, 5, kTypeDirectory};
    manifest.createdAt = 786543210.25;
    for (std::size_t i = 0; i < entries; ++i) {
        BackupEntry entry;
        entry.name = "item " + std::to_string(i);
        entry.identity = {2049, 1000 + i, 1700000000, static_cast<std::int64_t>(i), kTypeRegular};
        entry.original.finder = Bytes(32, 0);
        entry.applied.finder = Bytes(32, 0);
        (*entry.applied.finder)[8] = 0x04;
        entry.applied.fork = Bytes(300 + i, static_cast<std::uint8_t>(i));
        entry.phase = i % 2 == 0 ? kPhaseApplied : kPhasePrepared;
        manifest.entries.push_back(entry);
    }
    return manifest;
}

class ScopedUmask {
public:
    explicit ScopedUmask(mode_t mask) : old_(::umask(mask)) {}
    ~ScopedUmask() { ::umask(old_); }

private:
    mode_t old_;
};

template <typename F>
std::string skinErrorOf(F&& call) {
    try {
        call();
    } catch (const SkinError& error) {
        return error.what();
    }
    return "<no SkinError>";
}

TEST(IconEngineCreation, CreatesMissingFoldersWithExactModeAndEncodesPng) {
    ScratchDir scratch;
    ScopedUmask mask(077);
    const std::string directory = scratch / "state/nested/./backups/";
    IconEngine engine(FileSystem::real(), directory, test::sampleImage());
    EXPECT_EQ(engine.directory(), scratch / "state/nested/backups");
    EXPECT_EQ(test::fileMode(scratch / "state"), 0700u);
    EXPECT_EQ(test::fileMode(scratch / "state/nested/backups"), 0700u);

    ASSERT_GE(engine.iconData().size(), 8u);
    EXPECT_EQ(engine.iconData()[1], 'P');
    QImage decoded;
    ASSERT_TRUE(decoded.loadFromData(engine.iconData().data(), static_cast<int>(engine.iconData().size()), "PNG"));
    EXPECT_EQ(decoded.convertToFormat(QImage::Format_RGBA8888), test::sampleImage());
}

TEST(IconEngineCreation, AcceptsExistingFolderAndRefusesEverythingElse) {
    ScratchDir scratch;
    test::makeDirectory(scratch / "existing", 0755);
    IconEngine engine(FileSystem::real(), scratch / "existing", test::sampleImage());
    EXPECT_EQ(test::fileMode(scratch / "existing"), 0755u) << "an existing folder keeps its mode";

    test::writeFile(scratch / "file", "x");
    EXPECT_THROW(IconEngine(FileSystem::real(), scratch / "file", test::sampleImage()), platform::SystemError);

    ASSERT_EQ(::symlink((scratch / "existing").c_str(), (scratch / "link").c_str()), 0);
    EXPECT_EQ(skinErrorOf([&] { IconEngine(FileSystem::real(), scratch / "link", test::sampleImage()); }),
              "跳过符号链接或特殊文件：link");

    EXPECT_EQ(skinErrorOf([&] { IconEngine(FileSystem::real(), scratch / "x", QImage()); }), "无法读取毛球图像");
    EXPECT_EQ(skinErrorOf([&] { IconEngine(FileSystem::real(), scratch / "y", QImage(0, 5, QImage::Format_ARGB32)); }),
              "无法读取毛球图像");
}

TEST(BackupStore, SavesPrettySortedPrivateManifestThatLoadsBackEqual) {
    ScratchDir scratch;
    ScopedUmask mask(0);
    IconEngine engine(FileSystem::real(), scratch.path(), test::sampleImage());
    EXPECT_FALSE(engine.loadManifest().has_value());

    const BackupManifest manifest = sampleManifest(3);
    engine.saveManifest(manifest);
    EXPECT_EQ(test::fileMode(scratch / "backup.json"), 0600u);
    const std::string text = test::readFile(scratch / "backup.json");
    EXPECT_LT(text.find("\"createdAt\""), text.find("\"entries\""));
    EXPECT_LT(text.find("\"rootIdentity\""), text.find("\"rootPath\""));
    EXPECT_NE(text.find("\n    "), std::string::npos) << "pretty-printed";
    EXPECT_EQ(engine.loadManifest(), manifest);

    // Saving again replaces the file whole; no temporary file is left beside it.
    engine.saveManifest(sampleManifest(1));
    EXPECT_EQ(engine.loadManifest()->entries.size(), 1u);
    std::vector<std::string> names;
    ASSERT_EQ(FileSystem::real().listDirectory(scratch.path(), names), 0);
    EXPECT_EQ(names, std::vector<std::string>{"backup.json"});
}

TEST(BackupStore, RefusesWhatIsNotAPlainValidManifestAndLeavesItAlone) {
    ScratchDir scratch;
    IconEngine engine(FileSystem::real(), scratch.path(), test::sampleImage());
    const std::string path = scratch / "backup.json";

    test::makeDirectory(path);
    EXPECT_EQ(skinErrorOf([&] { engine.loadManifest(); }), "备份文件不可用");
    ::rmdir(path.c_str());

    test::writeFile(scratch / "target.json", encodeManifest(sampleManifest(1)));
    ASSERT_EQ(::symlink((scratch / "target.json").c_str(), path.c_str()), 0);
    EXPECT_EQ(skinErrorOf([&] { engine.loadManifest(); }), "跳过符号链接或特殊文件：backup.json");
    ::unlink(path.c_str());

    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    EXPECT_EQ(skinErrorOf([&] { engine.loadManifest(); }), "跳过符号链接或特殊文件：backup.json");
    ::unlink(path.c_str());

    BackupManifest unsupported = sampleManifest(1);
    unsupported.schema = 2;
    test::writeFile(path, encodeManifest(unsupported), 0600);
    const std::string before = test::readFile(path);
    EXPECT_EQ(skinErrorOf([&] { engine.loadManifest(); }), "备份格式不受支持，请保留备份目录。");
    EXPECT_EQ(test::readFile(path), before);

    BackupManifest invalid = sampleManifest(2);
    invalid.entries[1].name = invalid.entries[0].name;
    test::writeFile(path, encodeManifest(invalid), 0600);
    EXPECT_EQ(skinErrorOf([&] { engine.loadManifest(); }), "备份内容无效，请保留备份目录。");

    test::writeFile(path, "{\"schema\": 1", 0600);
    EXPECT_THROW(engine.loadManifest(), DecodingError);
    EXPECT_EQ(test::readFile(path), "{\"schema\": 1");
}

// Records the order of the calls that make a save durable, and fails chosen ones.
class RecordingFileSystem : public platform::ForwardingFileSystem {
public:
    using ForwardingFileSystem::ForwardingFileSystem;
    std::vector<std::string> log;
    std::string failOpenOf;
    bool failReopenFsync = false;
    int lstatError = 0;

    int lstat(const std::string& path, platform::FileStatus& out) override {
        return lstatError != 0 ? lstatError : ForwardingFileSystem::lstat(path, out);
    }
    int open(const std::string& path, int flags, unsigned mode, int& fd) override {
        if (!failOpenOf.empty() && path == failOpenOf && (flags & O_ACCMODE) == O_RDONLY) {
            return EACCES;
        }
        const int err = ForwardingFileSystem::open(path, flags, mode, fd);
        if (err == 0) {
            names_[fd] = path;
        }
        return err;
    }
    int fsync(int fd) override {
        log.push_back("fsync " + names_[fd]);
        if (failReopenFsync && names_[fd].ends_with("/backup.json")) {
            return EIO;
        }
        return ForwardingFileSystem::fsync(fd);
    }
    int rename(const std::string& from, const std::string& to) override {
        log.push_back("rename " + to);
        return ForwardingFileSystem::rename(from, to);
    }

private:
    std::map<int, std::string> names_;
};

TEST(BackupStore, SyncsDataBeforeRenameThenFileAndFolder) {
    ScratchDir scratch;
    RecordingFileSystem fs(FileSystem::real());
    IconEngine engine(fs, scratch.path(), test::sampleImage());
    engine.saveManifest(sampleManifest(2));
    const std::string manifest = scratch / "backup.json";
    ASSERT_EQ(fs.log.size(), 4u);
    EXPECT_TRUE(fs.log[0].starts_with("fsync " + scratch.path() + "/.backup.json.")) << fs.log[0];
    EXPECT_EQ(fs.log[1], "rename " + manifest);
    EXPECT_EQ(fs.log[2], "fsync " + manifest);
    EXPECT_EQ(fs.log[3], "fsync " + scratch.path());

    // A manifest saved elsewhere (a skip record) syncs its own folder as well as the engine's.
    fs.log.clear();
    test::makeDirectory(scratch / "missing-backups", 0700);
    engine.saveManifest(sampleManifest(1), scratch / "missing-backups/A.json");
    EXPECT_EQ(fs.log.back(), "fsync " + scratch.path());
    EXPECT_EQ(fs.log[fs.log.size() - 2], "fsync " + scratch / "missing-backups");
}

TEST(BackupStore, ReportsEachFailureOfTheDurableWrite) {
    ScratchDir scratch;
    RecordingFileSystem fs(FileSystem::real());
    IconEngine engine(fs, scratch.path(), test::sampleImage());
    const std::string manifest = scratch / "backup.json";

    fs.failOpenOf = manifest;
    EXPECT_EQ(skinErrorOf([&] { engine.saveManifest(sampleManifest(1)); }), "无法保存备份");
    fs.failOpenOf.clear();

    fs.failReopenFsync = true;
    EXPECT_EQ(skinErrorOf([&] { engine.saveManifest(sampleManifest(1)); }), "无法同步备份，请保留备份目录。");
    fs.failReopenFsync = false;

    fs.lstatError = EACCES;
    EXPECT_EQ(skinErrorOf([&] { engine.loadManifest(); }), "无法读取备份，请保留备份目录。");
    fs.lstatError = 0;

    // A write that cannot even start passes the system's error on and keeps the old file.
    engine.saveManifest(sampleManifest(2));
    const std::string before = test::readFile(manifest);
    ASSERT_EQ(::chmod(scratch.path().c_str(), 0500), 0);
    pid_t child = ::fork();
    if (child == 0) {
        // Unprivileged, so the folder's missing write permission counts.
        if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) {
            ::_exit(3);
        }
        try {
            engine.saveManifest(sampleManifest(5));
        } catch (const platform::SystemError& error) {
            ::_exit(error.code() == EACCES ? 0 : 1);
        } catch (...) {
            ::_exit(2);
        }
        ::_exit(4);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ::chmod(scratch.path().c_str(), 0700);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(test::readFile(manifest), before);
}

// A process killed at any moment of a save leaves the old complete file or the new one.
TEST(BackupStore, KilledSaveLeavesOldOrNewCompleteManifest) {
    ScratchDir scratch;
    const BackupManifest small = sampleManifest(2);
    const BackupManifest large = sampleManifest(40);
    {
        IconEngine engine(FileSystem::real(), scratch.path(), test::sampleImage());
        engine.saveManifest(small);
    }
    std::mt19937 random(12345);
    int rounds = 0;
    for (; rounds < 60; ++rounds) {
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            IconEngine engine(FileSystem::real(), scratch.path(), QImage(1, 1, QImage::Format_ARGB32));
            for (int i = 0;; ++i) {
                engine.saveManifest(i % 2 == 0 ? large : small);
            }
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200 + random() % 4000));
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        IconEngine reader(FileSystem::real(), scratch.path(), test::sampleImage());
        const auto loaded = reader.loadManifest();
        ASSERT_TRUE(loaded.has_value());
        ASSERT_TRUE(*loaded == small || *loaded == large) << "round " << rounds;
    }
    EXPECT_EQ(rounds, 60);
}

}  // namespace
}  // namespace lumaro
