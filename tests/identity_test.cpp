// Item identity, the custom-icon flag, resource fork normalization and the "either icon" rules.
#include "records/icon_facet.h"
#include "records/mac_form.h"
#include "records/identity.h"

#include <grp.h>
#include <sys/wait.h>

#include "platform/resource_fork.h"
#include "records/attributes.h"
#include "tests/support/fault_fs.h"

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
    test::makeDirectory(dir / "folder", 0644);  // nobody may read it but not search it
    test::writeFile(dir / "folder/item", "x");
    ASSERT_EQ(::symlink((dir / "folder").c_str(), (dir / "link").c_str()), 0);
    ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0644), 0);
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
    const pid_t child = ::fork();
    if (child == 0)  // as nobody
        ::_exit(::setgroups(0, nullptr) == 0 && ::setresgid(65534, 65534, 65534) == 0 &&
                        ::setresuid(65534, 65534, 65534) == 0 && identifyError(dir / "folder") == "<no error>" &&
                        identifyError(dir / "folder/item") == "项目不存在或无法读取：item" ? 0 : 1);
    int status = -1;
    EXPECT_TRUE(::waitpid(child, &status, 0) == child && status == 0) << status;
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

// A state holding only an icon file; IconState{} holds nothing.
IconState file(const std::string& contents, AttributeMap attributes = {}, std::uint16_t mode = 0644) {
    return IconState{std::nullopt, std::nullopt, IconFile{bytesOf(contents), std::move(attributes), mode}};
}
IconState mac(std::optional<Bytes> finder, std::optional<Bytes> fork, IconState s) {
    return s.finder = std::move(finder), s.fork = std::move(fork), s;
}

// Whether `current` shows a's icon or b's, through every facet. An absent icon file stands for empty
// contents with a's mode, or b's; its attributes mix name by name, a fork among them compared normalized.
TEST(StateMatch, CustomIconFlagForkAndIconFileEachFromAOrB) {
    const std::string rf = kResourceForkAttribute;
    const Bytes one = bytesOf("1"), two = bytesOf("2"), flagged = flipped(Bytes(32, 0x5E), 8);  // 0x04 set
    EXPECT_FALSE(hasCustomIconFlag(Bytes(32, 0xFB)) || hasCustomIconFlag(Bytes(31, 0xFF)));
    const IconState a = file("A", {{"x", one}, {"y", one}, {rf, kFork}}),
                    b = file("B", {{"x", two}, {"y", two}}, 0600);
    const IconState macA = mac(flagged, kFork, file("A")), macB = mac(Bytes(32, 0), std::nullopt, {});
    int row = 0;
    for (const auto& [current, x, y, shown] : std::vector<std::tuple<IconState, IconState, IconState, bool>>{
             {{}, a, {}, true}, {{}, a, b, false}, {file("", {}, 0600), {}, file("B", {}, 0600), true},
             {file("C"), file("A"), file("B"), false}, {file("A", {}, 0755), file("A"), file("B", {}, 0600), 0},
             {file("B", {{"x", one}, {"y", two}}), a, b, true},
             {file("A", {{"x", two}, {"y", one}, {rf, flipped(kFork, kRefs + 9)}}, 0600), a, b, true},
             {file("A", {{"x", one}}), a, b, false},  // y missing
             {file("A", {{"x", one}, {"y", one}, {"z", {}}}), a, b, false},
             {file("B", {{"x", {}}, {rf, kFork}}), file("B", {{"x", {}}}), b, false},
             {mac(Bytes(32, 0xFF), flipped(kFork, kMap + 17), file("A")), macA, macB, 1}, {{}, macA, macB, 1},
             {mac(flagged, bytesOf("unrelated fork"), file("A")), macA, macB, false},
             {mac(flagged, std::nullopt, file("Z")), macA, macB, false}, {mac(Bytes(32, 0), kFork, file("A")), macA, macA, 0}})
        EXPECT_EQ(stateMatchesEither(current, x, y), shown) << row++;
}

}  // namespace
}  // namespace lumaro
