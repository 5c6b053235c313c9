// Item identity, the custom-icon flag, resource fork normalization and the "either icon" rules.
#include "records/icon_facet.h"
#include "records/mac_form.h"
#include "records/identity.h"

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/resource_fork.h"
#include "records/attributes.h"
#include "tests/support/fault_fs.h"
#include "tests/support/scratch.h"

namespace lumaro {
namespace {

using test::bytesOf;

std::string identifyError(const std::string& path) {
    return test::errorOf<std::exception>([&] { identifyItem(platform::FileSystem::real(), path); });
}

Bytes flipped(Bytes b, std::size_t at) { return b[at] ^= 0x5A, b; }

// Volatile fields all zero; two types at map + 28, so reference i lies at map + 28 + 2 + 2 * 8 + 12 * i.
const Bytes kFork = *platform::buildResourceFork({{{'i', 'c', 'n', 's'}, 128, 0, {}, bytesOf("first")},
                                                  {{'i', 'c', 'n', 's'}, 129, 0, {}, bytesOf("second")},
                                                  {{'I', 'C', 'N', '#'}, 200, 0x20, {}, bytesOf("third")}});
const std::size_t kMap = 256 + 4 * 3 + 16, kTypes = kMap + 28, kRefs = kTypes + 2 + 2 * 8;

TEST(IdentifyItem, RecordsFilesAndFoldersAndRefusesEverythingElse) {
    test::ScratchDir dir;
    test::makeDirectory(dir / "folder", 0755);
    test::writeFile(dir / "folder/item", "x");
    ASSERT_EQ(::symlink((dir / "folder").c_str(), (dir / "link").c_str()), 0);
    ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0644), 0);
    EXPECT_EQ(identifyItem(platform::FileSystem::real(), dir / "folder").type, kTypeDirectory);
    for (const std::string name : {"link", "pipe", "missing"})
        EXPECT_EQ(identifyError(dir / name), (name == "missing" ? "项目不存在或无法读取：" : "跳过符号链接或特殊文件：") + name);

    // The same inode on another device is another object, to the open check and to the final one.
    test::FaultFs fs;
    const std::string item = dir / "folder/item";
    FileIdentity elsewhere = identifyItem(fs, item);
    const platform::ItemHandle handle = openCheckedItem(fs, item, elsewhere);
    fs.otherDevice = item;
    EXPECT_FALSE(handle.stillAtPath());
    elsewhere.device += 1;
    fs.otherDevice.clear();
    EXPECT_EQ(test::errorOf([&] { openCheckedItem(fs, item, elsewhere); }), "原位置的项目已被替换");

    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    ASSERT_EQ(::chmod((dir / "folder").c_str(), 0644), 0);
    const pid_t child = ::fork();
    if (child == 0)  // as nobody, who may read the folder but not search it
        ::_exit(::setgroups(0, nullptr) == 0 && ::setresgid(65534, 65534, 65534) == 0 &&
                        ::setresuid(65534, 65534, 65534) == 0 && identifyError(dir / "folder") == "<no error>" &&
                        identifyError(dir / "folder/item") == "项目不存在或无法读取：item" ? 0 : 1);
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0);
}

TEST(ResourceFork, OnlyTheVolatileFieldsOfAParsableMapAreIgnored) {
    // Next-map handle, file reference number and each reference's handle.
    for (const std::size_t at : {kMap + 16, kMap + 21, kRefs + 8, kRefs + 12 + 11, kRefs + 24 + 9})
        EXPECT_EQ(normalizedResourceFork(flipped(kFork, at)), kFork) << at;
    // The map attributes, a resource's id and attributes, the data.
    for (const std::size_t at : {kMap + 22, kRefs + 1, kRefs + 24 + 4, std::size_t{256 + 4}})
        EXPECT_FALSE(forksMatch(kFork, flipped(kFork, at))) << at;
    EXPECT_TRUE(forksMatch(std::nullopt, std::nullopt) && !forksMatch(std::nullopt, Bytes{}));
    Bytes tooShortMap = kFork, badSecondType = kFork;  // maps that do not parse: compared raw
    tooShortMap[15] = 29;                              // map length 29 in the header
    badSecondType[kTypes + 2 + 8 + 6] = 0xFF;  // 2nd type's references beyond the map: nothing cleared
    for (const Bytes& fork : {bytesOf("short fork"), tooShortMap, badSecondType}) {
        const Bytes changed = flipped(fork, fork.size() == 10 ? 3 : kRefs + 8);
        EXPECT_EQ(normalizedResourceFork(changed), changed);
        EXPECT_FALSE(forksMatch(fork, changed));
    }
}

IconFile icon(const std::string& contents, AttributeMap attributes = {}, std::uint16_t mode = 0644) {
    return IconFile{bytesOf(contents), std::move(attributes), mode};
}

TEST(IconFileMatch, PresenceContentsModeAndAttributesNameByName) {
    const std::string rf = kResourceForkAttribute;
    const Bytes one = bytesOf("1"), two = bytesOf("2");
    const IconFile a = icon("A", {{"x", one}, {"y", one}, {rf, kFork}}, 0644);
    const IconFile b = icon("B", {{"x", two}, {"y", two}}, 0600);
    EXPECT_TRUE(iconFileMatchesEither(std::nullopt, a, std::nullopt) && !iconFileMatchesEither(std::nullopt, a, b));
    // An absent file stands for empty contents; the mode is a's, or b's.
    EXPECT_TRUE(iconFileMatchesEither(icon("", {}, 0600), std::nullopt, icon("B", {}, 0600)));
    EXPECT_FALSE(iconFileMatchesEither(icon("C"), icon("A"), icon("B")));
    EXPECT_FALSE(iconFileMatchesEither(icon("A", {}, 0755), icon("A"), icon("B", {}, 0600)));
    // Attributes mix name by name; a fork compares normalized and must belong to a or b.
    EXPECT_TRUE(iconFileMatchesEither(icon("B", {{"x", one}, {"y", two}}), a, b));
    const IconFile mixed = icon("A", {{"x", two}, {"y", one}, {rf, flipped(kFork, kRefs + 9)}}, 0600);
    EXPECT_TRUE(iconFileMatchesEither(mixed, a, b));
    EXPECT_FALSE(iconFileMatchesEither(icon("A", {{"x", one}}), a, b));  // y missing
    EXPECT_FALSE(iconFileMatchesEither(icon("A", {{"x", one}, {"y", one}, {"z", {}}}), a, b));
    EXPECT_FALSE(iconFileMatchesEither(icon("B", {{"x", {}}, {rf, kFork}}), icon("B", {{"x", {}}}), b));
}

TEST(StateMatch, CustomIconFlagForkAndIconFile) {
    const Bytes flagged = flipped(Bytes(32, 0x5E), 8), plain(32, 0x00);  // 0x5E ^ 0x5A = 0x04
    EXPECT_TRUE(hasCustomIconFlag(flagged));
    EXPECT_FALSE(hasCustomIconFlag(Bytes(32, 0xFB)) || hasCustomIconFlag(Bytes(31, 0xFF)));
    const IconState a{flagged, kFork, icon("A")}, b{plain, std::nullopt, std::nullopt};
    EXPECT_TRUE(stateMatchesEither(IconState{Bytes(32, 0xFF), flipped(kFork, kMap + 17), icon("A")}, a, b));
    EXPECT_TRUE(stateMatchesEither(IconState{std::nullopt, std::nullopt, std::nullopt}, a, b));
    EXPECT_FALSE(stateMatchesEither(IconState{flagged, bytesOf("unrelated fork"), icon("A")}, a, b));
    EXPECT_FALSE(stateMatchesEither(IconState{flagged, std::nullopt, icon("Z")}, a, b));
    EXPECT_FALSE(stateMatchesEither(IconState{plain, std::nullopt, std::nullopt}, a, a));
}

}  // namespace
}  // namespace lumaro
