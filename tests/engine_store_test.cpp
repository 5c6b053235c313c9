// The backup store: engine creation, reading and durable writing of manifests (a save killed at
// any change: the fault tests).
#include <sys/stat.h>
#include <unistd.h>

#include <QImage>
#include <filesystem>

#include <gtest/gtest.h>

#include "engine/icon_engine.h"
#include "platform/system_error.h"
#include "records/json.h"
#include "tests/support/fault_fs.h"

namespace lumaro {
namespace {

using test::errorOf;
using Names = std::vector<std::string>;

BackupManifest sampleManifest(std::size_t entries) {  // fixed, so that two samples compare equal
    BackupManifest manifest{1, "/home/anna/Desktop", {2049, 77, 1700000000, 5, kTypeDirectory}, 786543210.25, {}};
    for (std::size_t i = 0; i < entries; ++i)
        manifest.entries.push_back({.name = "item " + std::to_string(i),
                                    .identity = {2049, 1000 + i, 1700000000, static_cast<std::int64_t>(i), kTypeRegular},
                                    .original = {},
                                    .applied = {Bytes(32, 0x04), Bytes(300 + i, std::uint8_t(i)), {}},
                                    .phase = i % 2 == 0 ? kPhaseApplied : kPhasePrepared});
    return manifest;
}

class BackupStore : public ::testing::Test {
  protected:
    test::ScratchDir scratch;
    test::FaultFs fs;
    const std::string file = scratch / "backup.json";
    IconEngine engine{fs, scratch.path(), test::sampleImage()};
    ManifestStore store{fs, scratch.path()};
};

TEST_F(BackupStore, CreationMakesPrivateFoldersEncodesPngAndRefusesOtherTargets) {
    const test::ScopedUmask none(0);  // the modes are the engine's own
    const IconEngine created(platform::FileSystem::real(), scratch / "state/nested/./backups/", test::sampleImage());
    EXPECT_EQ(created.directory(), scratch / "state/nested/backups");
    EXPECT_EQ(test::fileMode(scratch / "state"), 0700u);
    EXPECT_EQ(test::fileMode(created.directory()), 0700u);
    QImage decoded;
    const Bytes& png = created.iconData();
    ASSERT_TRUE(decoded.loadFromData(png.data(), static_cast<int>(png.size()), "PNG"));
    EXPECT_EQ(decoded.convertToFormat(QImage::Format_RGBA8888), test::sampleImage());

    test::writeFile(scratch / "file", "x");
    EXPECT_THROW(IconEngine(fs, scratch / "file", test::sampleImage()), platform::SystemError);
    ASSERT_EQ(::symlink(scratch.path().c_str(), (scratch / "link").c_str()), 0);
    EXPECT_EQ(errorOf([&] { IconEngine(fs, scratch / "link", test::sampleImage()); }),
              "跳过符号链接或特殊文件：link");
    EXPECT_EQ(errorOf([&] { IconEngine(fs, scratch / "x", QImage()); }), "无法读取毛球图像");
}

// The saved file is synced under its name too, then its folder; a skip record saved elsewhere syncs its own
// folder, then the engine's.
TEST_F(BackupStore, SavesAPrivateFileDurablyInOrderThatLoadsBackEqual) {
    Names synced;  // but the temporary files, which the atomic write syncs itself
    fs.observe = [&](const std::string& c) {
        c.starts_with("fsync ") && !c.ends_with(".tmp") ? synced.push_back(c.substr(6)) : void();
    };
    const test::ScopedUmask none(0);
    store.save(sampleManifest(3), file);
    EXPECT_EQ(test::fileMode(file), 0600u);
    EXPECT_EQ(engine.loadManifest(), sampleManifest(3));
    test::makeDirectory(scratch / "missing-backups", 0700);
    store.save(sampleManifest(1), scratch / "missing-backups/A.json");
    EXPECT_EQ(synced, (Names{file, scratch.path(), scratch / "missing-backups/A.json", scratch / "missing-backups",
                             scratch.path()}));
}

TEST_F(BackupStore, RefusesWhatIsNotAPlainSupportedManifestAndLeavesItAlone) {
    const std::string target = scratch / "target.json";
    const std::string linkMessage = "跳过符号链接或特殊文件：backup.json";
    test::writeFile(target, encodeManifest(sampleManifest(1)), 0600);
    const std::vector<std::pair<std::function<int()>, std::string>> cases = {
        {[&] { return ::mkdir(file.c_str(), 0700); }, "备份文件不可用"},
        {[&] { return ::symlink(target.c_str(), file.c_str()); }, linkMessage},
        {[&] { return ::mkfifo(file.c_str(), 0600); }, linkMessage}};
    for (const auto& [make, message] : cases) {
        ASSERT_EQ(make(), 0);
        const auto kind = std::filesystem::symlink_status(file).type();
        EXPECT_EQ(errorOf([&] { engine.loadManifest(); }), message);
        EXPECT_EQ(std::filesystem::symlink_status(file).type(), kind) << message;
        ASSERT_EQ(::remove(file.c_str()), 0);
    }
    EXPECT_EQ(test::readFile(target), encodeManifest(sampleManifest(1)));
}

}  // namespace
}  // namespace lumaro
