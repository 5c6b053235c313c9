// The platform layer (paths, device encoding, the real FileSystem, file operations, UTF-8 repair) and, on
// it, icon attributes and a folder's "Icon\r" file, on real files and through a seam for faults; item
// identity, the custom-icon flag, resource fork normalization and the "either icon" rules; the icon writer
// and the resource-fork layout it writes.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <set>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/child_file.h"
#include "platform/icon_writer.h"
#include "platform/paths.h"
#include "platform/resource_fork.h"
#include "platform/text.h"
#include "records/attributes.h"
#include "records/desktop_form.h"
#include "records/icon_facet.h"
#include "records/identity.h"
#include "records/mac_form.h"
#include "tests/support/fault_fs.h"
#include "tests/support/scratch.h"

namespace lumaro {
namespace {

using namespace platform;
using namespace test;

FileSystem& real() {
    return FileSystem::real();
}

std::set<std::string> namesIn(const std::string& folder) {
    std::vector<std::string> names;
    EXPECT_EQ(real().listDirectory(folder, names), 0);
    return {names.begin(), names.end()};
}

TEST(platformPaths, LexicalStandardFormAndComponents) {
    const std::pair<const char*, const char*> cases[] = {
        {"/a/./b//c/", "/a/b/c"}, {"/a/b/../c", "/a/c"}, {"/../x", "/x"}, {"", "."}, {"a/../../b", "../b"}};
    for (const auto& [input, expected] : cases)
        EXPECT_EQ(standardizePath(input), expected) << input;
    EXPECT_EQ(
        std::tuple(lastPathComponent("/a/b//"), deletingLastPathComponent("/a"), pathExtension("/E.app/"),
                   pathExtension("/x/.hidden"), deletingPathExtension("a.b.c")),
        std::tuple("b", "/", "app", "", "a.b"));
}

TEST(platformDevice, EncodesMajorAndMinorIntoThirtyTwoSignedBits) {
    // Reinterpreted as signed; the major's top bits wrap away; 0xDEF10312.
    EXPECT_EQ(std::tuple(encodeDevice(8, 1), encodeDevice(0xFFFFFF, 0), encodeDevice(0x1000001, 0),
                         encodeDevice(259, 0xABCDEF12)),
              std::tuple(2049, -256, 256, -554630382));
    struct stat raw {};
    FileStatus st;
    ASSERT_EQ(::lstat("/", &raw) | real().lstat("/", st), 0);
    EXPECT_EQ(st.device, encodeDevice(major(raw.st_dev), minor(raw.st_dev)));
}

// A write lands with exactly its mode, synced before the rename; a failure at any call keeps the old file.
// Neither leaves a temporary or a descriptor behind.
TEST(platformAtomicWrite, ExactModeUnderAnyUmaskAndSyncBeforeRename) {
    const test::ScopedUmask umask(077);
    const std::pair<const char*, int> calls[] = {{"", 0},           {"write", ENOSPC}, {"fsync", EIO},
                                                 {"rename", EROFS}, {"fchmod", EPERM}, {"close", EIO}};
    for (const auto& [call, error] : calls) {
        ScratchDir scratch;
        const std::string path = scratch / "file", data(100000, 'n');
        test::writeFile(path, "old contents", 0600);
        test::FaultFs fs;
        fs.fail[call] = error;
        EXPECT_EQ(writeFileAtomically(fs, path, data.data(), data.size(), 0644), error) << call;
        EXPECT_EQ(std::tuple(readFile(path), namesIn(scratch.path()), fs.openFds.size()),
                  std::tuple(error ? "old contents" : data, std::set<std::string>{"file"}, 0u))
            << call;
        if (error != 0)
            continue;
        EXPECT_EQ(fileMode(path), 0644u);
        const std::string temporary = fs.log.at(0).substr(5);  // "open <path>"
        const long write = fs.indexOf("write " + temporary), sync = fs.indexOf("fsync " + temporary);
        const long rename = fs.indexOf("rename " + temporary + " " + path);
        EXPECT_TRUE(0 <= write && write < sync && sync < rename) << testing::PrintToString(fs.log);
    }
}

TEST(platformAtomicWrite, LeftoverTemporariesOfOurTargetsGoAndNothingElse) {
    ScratchDir scratch;
    test::writeFile(scratch / "target", "keep", 0600);
    for (const char* name :
         {".backup.json.0123456789abcdeg.tmp", ".notes.txt.0123456789abcdef.tmp", "backup.json.tmp"})
        test::writeFile(scratch / name, "x", 0600);
    ASSERT_EQ(::symlink("target", (scratch / ".backup.json.1111111111111111.tmp").c_str()), 0);
    ASSERT_EQ(::mkdir((scratch / ".backup.json.2222222222222222.tmp").c_str(), 0700), 0);
    const std::set<std::string> expected = namesIn(scratch.path());
    test::FaultFs fs;  // leaves the temporary an atomic write really makes behind
    fs.fail = {{"rename", EIO}, {"unlink", EIO}};
    EXPECT_EQ(writeFileAtomically(fs, scratch / "backup.json", "x", 1, 0600), EIO);
    ASSERT_EQ(namesIn(scratch.path()).size(), expected.size() + 1);
    // A key file staged and never put in place goes with its staging; where that fails it is a leftover the
    // tidy takes (whole, with its mode). fsyncAll answers each descriptor, the real one's threads too.
    const ChildFile kept{bytesOf("keep"), 0600}, wanted{bytesOf("new"), 0640};
    ItemHandle folder, through;
    for (FileSystem* each : {&real(), static_cast<FileSystem*>(&fs)}) {
        ASSERT_EQ(ItemHandle::open(*each, scratch.path(), through), 0);
        StagedChild staged;
        ASSERT_EQ(stageChild(through, "target", kept, wanted, 100, staged), 0);
        EXPECT_EQ(each->fsyncAll({staged.fd(), -1, staged.fd()}), (std::vector{0, EBADF, 0}));
    }
    ASSERT_EQ(namesIn(scratch.path()).size(), expected.size() + 2);
    removeStaleTemporaries(real(), scratch.path(), [](const std::string& t) { return t == "backup.json"; });
    const auto known = [&](const ChildFile& left) { return left == wanted; };
    ASSERT_EQ(ItemHandle::open(real(), scratch.path(), folder), 0);
    FolderNames listed(folder);
    removeLeftovers(folder, "target", 100, known, listed);
    EXPECT_EQ(namesIn(scratch.path()), expected);
    EXPECT_EQ(readFile(scratch / "target"), "keep");
    // The tidy looks through the handle: a folder moved away after its open is tidied, and the one
    // at its path by now is not.
    const std::string leftover = ".target.lumaro-0123456789abcdef", other = ".target.lumaro-fedcba9876543210";
    for (const auto& [name, left] : {std::pair{"held", leftover}, std::pair{"newcomer", other}}) {
        ASSERT_EQ(::mkdir((scratch / name).c_str(), 0700), 0);
        test::writeFile(scratch / name + "/" + left, "new", 0640);
    }
    ASSERT_EQ(ItemHandle::open(real(), scratch / "held", folder), 0);
    ASSERT_EQ(::rename((scratch / "held").c_str(), (scratch / "moved").c_str()), 0);
    ASSERT_EQ(::rename((scratch / "newcomer").c_str(), (scratch / "held").c_str()), 0);
    FolderNames moved(folder);
    removeLeftovers(folder, "target", 100, known, moved);
    EXPECT_EQ(namesIn(scratch / "moved"), std::set<std::string>());
    EXPECT_EQ(namesIn(scratch / "held"), std::set<std::string>{other});
}

// The real file system's own threads (the closer of removed files, the sync workers) serve every
// caller, in the process and in a forked child.
TEST(platformRemoveChild, EveryRemovedFileIsLetGoAndEverySyncAnsweredAlsoInAForkedChild) {
    ScratchDir scratch;
    ItemHandle folder;
    ASSERT_EQ(ItemHandle::open(real(), scratch.path(), folder), 0);
    const ChildFile held{bytesOf("held"), 0600};
    // Removes many files, then waits a bounded time for every descriptor that held one to close.
    const auto removeManyAndLetGo = [&](int count) {
        const std::size_t before = namesIn("/proc/self/fd").size();
        for (int i = 0; i < count; ++i) {
            writeFile(scratch / "key", "held", 0600);
            if (removeChild(folder, "key", held, 100) != 0 || !namesIn(scratch.path()).empty()) {
                return false;
            }
        }
        for (int tries = 0; tries < 500 && namesIn("/proc/self/fd").size() != before; ++tries) {
            ::usleep(10000);
        }
        return namesIn("/proc/self/fd").size() == before;
    };
    // Callers at once, each with its own mix of good and bad descriptors: each gets exactly its answers,
    // also from syncs begun together and taken in another order, or one alone, or one dropped untaken.
    const auto syncManyAtOnce = [&](int callers) {
        std::atomic<bool> right{true};
        std::vector<std::thread> threads;
        for (int t = 0; t < callers; ++t) {
            threads.emplace_back([&, t] {
                std::vector<int> fds, expected;
                for (int i = 0; i < 11; ++i) {
                    const bool bad = (i + t) % 4 == 0;
                    fds.push_back(bad ? -1 : folder.fd());
                    expected.push_back(bad ? EBADF : 0);
                }
                for (int round = 0; round < 40; ++round) {
                    const auto first = real().startFsyncAll(fds), second = real().startFsyncAll(fds);
                    const auto dropped = real().startFsyncAll(fds);
                    if (real().fsyncAll(fds) != expected || second->results() != expected ||
                        first->results() != expected ||
                        real().startFsyncAll({folder.fd()})->results() != std::vector{0}) {
                        right = false;
                    }
                }
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
        return right.load();
    };
    EXPECT_TRUE(removeManyAndLetGo(600));
    EXPECT_TRUE(syncManyAtOnce(4));
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::_exit(removeManyAndLetGo(300) && syncManyAtOnce(2) ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(platformCreateDirectories, NewFoldersGetExactlyTheModeAndOthersAreLeftAlone) {
    ScratchDir scratch;
    const test::ScopedUmask umask(077);
    test::makeDirectory(scratch / "old", 0755);
    ASSERT_EQ(createDirectories(real(), scratch / "old/a/./b/", 0700), 0);
    ASSERT_EQ(createDirectories(real(), scratch / "wide", 0751), 0);  // wider than the umask allows
    EXPECT_EQ(std::tuple(fileMode(scratch / "old"), fileMode(scratch / "old/a"),
                         fileMode(scratch / "old/a/b"), fileMode(scratch / "wide")),
              std::tuple(0755u, 0700u, 0700u, 0751u));
    test::writeFile(scratch / "file", "data");
    EXPECT_NE(createDirectories(real(), scratch / "file/sub", 0700), 0);
}

TEST(platformReadRegularFile, ReadsWithinTheLimitAndRefusesEverythingButARegularFile) {
    ScratchDir scratch;
    const std::string contents(200001, 'c');
    test::writeFile(scratch / "big", contents);
    ASSERT_EQ(::symlink((scratch / "big").c_str(), (scratch / "link").c_str()), 0);
    ASSERT_EQ(::mkfifo((scratch / "fifo").c_str(), 0644), 0);
    test::FaultFs fs;  // refuses, instead of hanging on, a FIFO opened for a blocking read
    Bytes out;
    ASSERT_EQ(readRegularFile(fs, scratch / "big", contents.size(), out), 0);
    EXPECT_EQ(out, test::bytesOf(contents));
    EXPECT_EQ(readRegularFile(fs, scratch / "big", contents.size() - 1, out), EFBIG);
    fs.afterFstat = [](FileStatus& st) { st.size = 1; };  // the file grew after fstat
    EXPECT_EQ(readRegularFile(fs, scratch / "big", 100000, out), EFBIG);
    EXPECT_EQ(std::tuple(readRegularFile(fs, scratch / "link", 100, out),
                         readRegularFile(fs, scratch / "fifo", 100, out),
                         readRegularFile(fs, scratch.path(), 100, out)),
              std::tuple(ELOOP, EINVAL, EINVAL));
    EXPECT_FALSE(fs.blocked);
}

TEST(platformText, ControlCharactersAreShownAndInvalidSequencesReplaced) {
    EXPECT_EQ(visibleText("a\r\x1b[2J\x7f\xc2\x9b\t\n\xe4\xb8\xad"),
              "a\\r\\x1B[2J\\x7F\\x9B\\t\\n\xe4\xb8\xad");
    EXPECT_EQ(visibleText("a\x1b\xc2\x85\xc2\xa0", ControlCharacters::replace), "a??\xc2\xa0");

    const std::string r = "\xEF\xBF\xBD";
    for (const std::string valid : {"Gr\xC3\xBC\xC3\x9F"
                                    "e",
                                    "\xF0\x9F\x98\x80",
                                    "\xEF\xBB\xBF"
                                    "bom"})
        EXPECT_TRUE(isValidUtf8(valid) && toValidUtf8(valid) == valid) << valid;
    // Overlong, surrogate, above U+10FFFF, stray continuation, truncated.
    for (const std::string bad : {"\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\x80", "\xE2\x82"}) {
        EXPECT_FALSE(isValidUtf8("<" + bad + ">")) << testing::PrintToString(bad);
        const std::string repaired = toValidUtf8("<" + bad + ">");
        EXPECT_TRUE(isValidUtf8(repaired) && repaired.starts_with("<" + r) && repaired.ends_with(r + ">"))
            << testing::PrintToString(repaired);
    }
    EXPECT_EQ(toValidUtf8(std::string("a\0\xFF", 3)), std::string("a\0", 2) + r);
}

#define EXPECT_ERROR(statement, text) EXPECT_EQ(test::errorOf<std::exception>([&] { statement; }), text)

class Attributes : public ::testing::Test {
  protected:
    void SetUp() override {
        test::writeFile(item, "x");
        ASSERT_EQ(platform::ItemHandle::open(fs, item, handle), 0);
    }
    test::ScratchDir dir;
    const std::string item = dir / "item";
    test::FaultFs fs;
    platform::ItemHandle handle;
};

// The old fork goes before the new one is set; a vanished attribute is left out; each bound, race and failure
// of the calls gives its own message.
TEST_F(Attributes, ForkReplacedVanishedSkippedAndEachBoundRaceAndFailureReported) {
    for (const std::string name : {"a", "b", ""})
        setRawAttribute(item, "user.x" + name, bytesOf(name));
    setRawAttribute(item, kResourceFork, Bytes(4000, 1));
    writeIconAttribute(fs, handle.fd(), kResourceForkAttribute, Bytes(100, 9), "item");
    const long removed = fs.indexOf("removeAttribute " + item + " com.apple.ResourceFork");
    EXPECT_TRUE(removed >= 0 && removed < fs.indexOf("setAttribute " + item + " com.apple.ResourceFork"));
    std::size_t reported = 0, got = 0;  // what a size query and then a read of a value give, unless 0
    fs.onGetAttribute = [&](const std::string& name, void* buffer, std::size_t size, std::size_t& length) {
        return name == "xb"        ? ENODATA
               : reported == 0     ? -1
               : buffer == nullptr ? (length = reported, 0)
               : size < reported   ? ERANGE
                                   : (length = got, 0);
    };
    EXPECT_EQ(readAllAttributes(fs, handle.fd()),
              (AttributeMap{{"com.apple.ResourceFork", Bytes(100, 9)}, {"x", {}}, {"xa", bytesOf("a")}}));

    const auto read = [&] { readIconAttribute(fs, handle.fd(), "big", "item"); };
    const std::tuple<std::function<void()>, std::function<void()>, std::string> cases[] = {
        {[&] { reported = got = platform::kMaxValueSize; }, read, "<no error>"},
        {[&] { reported = platform::kMaxValueSize, got = 9; }, read, "读取图标时项目发生变化：item"},
        {[&] { reported = platform::kMaxValueSize + 1; }, read, "无法备份图标属性或属性过大：item"},
        {[&] { fs.fail["setAttribute"] = EIO; },
         [&] { writeIconAttribute(fs, handle.fd(), kFinderInfoAttribute, Bytes(32, 0), "item"); },
         "无法写入图标属性：item（" + std::string(std::strerror(EIO)) + "）"},
        {[&] { fs.fail["removeAttribute"] = EIO; },
         [&] { writeIconAttribute(fs, handle.fd(), kResourceForkAttribute, bytesOf("new"), "item"); },
         "无法替换旧图标资源"},
        {[&] {
             fs.onListAttributes = [](char* b, std::size_t size, std::size_t& n) {
                 return !b ? (n = 5000, 0) : size < 5000 ? ERANGE : (n = 4, 0);  // shorter once read
             };
         },
         [&] { readAllAttributes(fs, handle.fd()); }, "图标文件属性发生变化"},
    };
    for (const auto& [arrange, act, expected] : cases) {
        fs.fail.clear(), reported = got = 0, fs.onListAttributes = nullptr;
        arrange();
        EXPECT_ERROR(act(), expected);
    }
    EXPECT_EQ(rawAttribute(item, kResourceFork), Bytes(100, 9));
}

// A Finder info value of any size but 32 is refused; an unsafe "Icon\r" file is refused without hanging.
TEST_F(Attributes, CaptureIconStateChecksTheFinderInfoAndRefusesUnsafeIconFilesWithoutHanging) {
    const FileIdentity identity = identifyItem(fs, item);
    for (const std::size_t size : {31u, 33u}) {  // a longer value would make the whole backup unloadable
        setRawAttribute(item, kFinderInfo, Bytes(size, 0));
        EXPECT_ERROR(captureIconState(fs, item, identity), "Finder 图标属性格式不受支持");
    }
    setRawAttribute(item, kFinderInfo, Bytes(32, 3));
    setRawAttribute(item, kResourceFork, Bytes(70, 5));
    EXPECT_EQ(captureIconState(fs, item, identity), stateWith(MacAttributes{Bytes(32, 3), Bytes(70, 5)}));

    const std::string safe = dir / "folder", contents("\0icns\r\n\xff", 8);
    makeDirectory(safe);
    writeFile(safe + "/Icon\r", contents, 04755);
    setRawAttribute(safe + "/Icon\r", "user.x", bytesOf("mine"));
    const IconState safeState = captureIconState(fs, safe, identifyItem(fs, safe));
    EXPECT_EQ(safeState.get<FolderIconFile>().file,
              (IconFile{bytesOf(contents), {{"x", bytesOf("mine")}}, 0755}));

    // TooBig: one byte over the bound.
    enum Kind { Symlink, HardLink, Fifo, TooBig, SwappedFifo, SwappedLink, SwappedLater };
    for (const Kind kind : {Symlink, HardLink, Fifo, TooBig, SwappedFifo, SwappedLink, SwappedLater}) {
        SCOPED_TRACE(kind);
        const std::string folder = dir / std::to_string(kind), real = folder + "/real";
        const std::string icon = folder + "/Icon\r", next = folder + "/next";
        test::makeDirectory(folder), test::writeFile(real, "icon bytes"), test::writeFile(next, "newcomer");
        ASSERT_EQ(kind == Symlink    ? ::symlink("real", icon.c_str())
                  : kind == HardLink ? ::link(real.c_str(), icon.c_str())
                  : kind == Fifo
                      ? ::mkfifo(icon.c_str(), 0644)
                      : ::rename(real.c_str(), icon.c_str()) +
                            (kind == TooBig ? ::truncate(icon.c_str(), platform::kMaxValueSize + 1) : 0),
                  0);
        test::FaultFs seam;
        bool swapped = false;
        seam.afterLstat = [&](const std::string& path, platform::FileStatus&) {  // once it passed lstat
            if ((kind == SwappedFifo || kind == SwappedLink) && path == icon && !swapped) {
                ::unlink(icon.c_str());
                swapped =
                    (kind == SwappedFifo ? ::mkfifo(icon.c_str(), 0644) : ::symlink("x", icon.c_str())) == 0;
            }
        };
        seam.onListAttributes = [&](char*, std::size_t, std::size_t&) {  // once its contents were read
            swapped = swapped || (kind == SwappedLater && ::rename(next.c_str(), icon.c_str()) == 0);
            return -1;
        };
        // A file renamed over "Icon\r" after the open changes nothing: what was read is the file opened.
        EXPECT_ERROR(captureIconState(seam, folder, identifyItem(seam, folder)),
                     kind == SwappedLater ? "<no error>" : "文件夹包含无法安全处理的 Icon 文件");
        {  // nor is one written through a link, a FIFO or a second name of another file
            platform::ItemHandle folderHandle;
            ASSERT_EQ(platform::ItemHandle::open(seam, folder, folderHandle), 0);
            EXPECT_ERROR(folderIconFileFacet().writeExact(folderHandle, safeState),
                         kind == Symlink || kind == SwappedLink   ? "无法恢复文件夹图标文件"
                         : kind == TooBig || kind == SwappedLater ? "<no error>"
                                                                  : "图标文件已被替换");
            EXPECT_TRUE(!exists(real) || readFile(real) == "icon bytes");
        }
        EXPECT_EQ(std::tuple(swapped, seam.blocked, seam.openFds.size()),
                  std::tuple(kind >= SwappedFifo, false, 0u));
    }
}

std::string identifyError(const std::string& path) {
    return test::errorOf<std::exception>([&] { identifyItem(platform::FileSystem::real(), path); });
}

Bytes flipped(Bytes b, std::size_t at) {
    return b[at] ^= 0x5A, b;
}

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
        EXPECT_EQ(identifyError(dir / name),
                  (name == "missing" ? "项目不存在或无法读取：" : "跳过符号链接或特殊文件：") + name);

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
    // A link to the item itself, swapped in after the open's lstat, is not followed.
    const FileIdentity id = identifyItem(fs, item);
    fs.afterLstat = [&](const std::string& path, platform::FileStatus&) {
        (void)(path == item && !test::exists(item + "~") &&
               ::rename(item.c_str(), (item + "~").c_str()) == 0 && ::symlink("item~", item.c_str()) == 0);
    };
    EXPECT_EQ(test::errorOf([&] { openCheckedItem(fs, item, id); }), "跳过符号链接或特殊文件：item");
    fs.afterLstat = nullptr;

    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    EXPECT_EQ(test::exitCodeOf([&] {  // as nobody
                  return ::setgroups(0, nullptr) == 0 && ::setresgid(65534, 65534, 65534) == 0 &&
                                 ::setresuid(65534, 65534, 65534) == 0 &&
                                 identifyError(dir / "folder") == "<no error>" &&
                                 identifyError(dir / "folder/item") == "项目不存在或无法读取：item"
                             ? 0
                             : 1;
              }),
              0);
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
    return stateWith(FolderIconFile{IconFile{bytesOf(contents), std::move(attributes), mode}});
}
IconState mac(std::optional<Bytes> finder, std::optional<Bytes> fork, IconState s) {
    return put(s, MacAttributes{std::move(finder), std::move(fork)});
}
// A state holding only the store's keys, a ".directory" and an entry's copy ("[Desktop Entry]" + `entry`).
IconState desk(std::optional<IconMetadata> keys, std::optional<DirectoryFile> directory = {},
               const char* entry = nullptr) {
    std::optional<DirectoryFile> copy;
    if (entry)
        copy = DirectoryFile{bytesOf(std::string("[Desktop Entry]\n") + entry), 0644};
    return stateWith(DesktopForms{true}, MetadataKeys{std::move(keys)},
                     DirectoryFileForm{std::move(directory)}, EntryCopy{std::move(copy)});
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
             {{}, a, {}, true},
             {{}, a, b, false},
             {file("", {}, 0600), {}, file("B", {}, 0600), true},
             {file("C"), file("A"), file("B"), false},
             {file("A", {}, 0755), file("A"), file("B", {}, 0600), 0},
             {file("B", {{"x", one}, {"y", two}}), a, b, true},
             {file("A", {{"x", two}, {"y", one}, {rf, flipped(kFork, kRefs + 9)}}, 0600), a, b, true},
             {file("A", {{"x", one}}), a, b, false},  // y missing
             {file("A", {{"x", one}, {"y", one}, {"z", {}}}), a, b, false},
             {file("B", {{"x", {}}, {rf, kFork}}), file("B", {{"x", {}}}), b, false},
             {mac(Bytes(32, 0xFF), flipped(kFork, kMap + 17), file("A")), macA, macB, 1},
             {{}, macA, macB, 1},
             {mac(flagged, bytesOf("unrelated fork"), file("A")), macA, macB, false},
             {mac(flagged, std::nullopt, file("Z")), macA, macB, false},
             {mac(Bytes(32, 0), kFork, file("A")), macA, macA, 0},
             // The store's keys each from a or b; a key file whole, its mode and every line.
             {desk(IconMetadata{"a", "m"}), desk(IconMetadata{"a", "n"}), desk(IconMetadata{"b", "m"}), 1},
             {desk(IconMetadata{"a", "x"}), desk(IconMetadata{"a", "n"}), desk(IconMetadata{"b", "m"}), 0},
             {desk({}, DirectoryFile{one, 0600}), desk({}, DirectoryFile{one, 0644}), desk({}), false},
             {desk({}, {}, "Name=C\nIcon=f"), desk({}, {}, "Name=A\nIcon=f"), desk({}), false}}) {
        EXPECT_EQ(stateMatchesEither(current, x, y), shown) << row;
        EXPECT_FALSE(!shown && iconStateMatches(current, x)) << row++;  // nor the exact comparison
    }
}

class IconWriterTest : public ::testing::Test {
  protected:
    test::ScratchDir scratch;
    const IconWriter writer{loadFurball()};
    // The writer on the object at `path`, opened as the engines open an item.
    int setIconAt(const std::string& path) const {
        platform::ItemHandle item;
        const int err = platform::ItemHandle::open(FileSystem::real(), path, item);
        return err != 0 ? err : writer.setIcon(item);
    }
};

TEST_F(IconWriterTest, WritesDeterministicRgbaPngsIntoFoldersThatOtherReadersAccept) {
    const IconWriter again(loadFurball());
    EXPECT_TRUE(again.family128() == writer.family128() && again.family64() == writer.family64());
    // "ic11" and the PNG's IHDR: 64 x 64, depth 8, colour type 6 (RGBA); Pillow reads the "ic07" family
    // below.
    const Bytes& f = writer.family64();
    EXPECT_EQ(std::string(f.begin() + 8, f.begin() + 12) + std::string(f.begin() + 17, f.begin() + 20),
              "ic11PNG");
    EXPECT_EQ(std::tuple(be32(f, 4), be32(f, 32), be32(f, 36), f[40], f[41]),
              std::tuple(f.size(), 64u, 64u, 8, 6));

    // A folder: "Icon\r" made with mode 0644 whatever the umask, invisible, carrying the fork in the classic
    // layout (data at 256: a 4-byte length and the family, then a 50-byte map).
    test::makeDirectory(scratch / "folder");
    const test::ScopedUmask mask(077);
    ASSERT_EQ(setIconAt(scratch / "folder"), 0);
    const std::string icon = scratch / "folder/Icon\r";
    EXPECT_EQ(test::fileMode(icon), 0644u);
    EXPECT_EQ(test::rawAttribute(icon, kFinderInfo), test::finderInfo(std::string(8, '\0') + '\x40'));

    // Independent readers: the resource-fork decoder of `file`, and Pillow's icns reader.
    const Bytes fork = test::rawAttribute(icon, kResourceFork);
    const std::size_t n = writer.family128().size();
    EXPECT_EQ(std::tuple(be32(fork, 0), be32(fork, 4), be32(fork, 8), be32(fork, 12), fork.size()),
              std::tuple(256u, 260 + n, 4 + n, 50u, 310 + n));
    test::writeFile(scratch / "fork.bin", std::string(fork.begin(), fork.end()));
    EXPECT_NE(test::run("file -b '" + scratch / "fork.bin" + "'").find("resource fork"), std::string::npos);
    EXPECT_EQ(
        test::run("/usr/bin/python3 -c \"import io, sys; from PIL import Image; d = open(sys.argv[1], 'rb')"
                  ".read(); im = Image.open(io.BytesIO(d[260:260 + int.from_bytes(d[256:260], 'big')])); "
                  "im.load(); print(im.format, im.size, im.mode)\" '" +
                  scratch / "fork.bin" + "'"),
        "ICNS (128, 128) RGBA\n");
}

TEST_F(IconWriterTest, KeepsOtherResourcesFallsBackToIc11AndRefusesWithoutWriting) {
    const std::size_t room =
        kIconForkBudget - IconWriter::forkWithIcon(std::nullopt, writer.family128()).size();
    // Kept, grouped by type in order of first appearance, the old icon replaced; when crowded, 64 pixels.
    const Bytes kept =
        *buildResourceFork({resource("TEXT", 128, "keep me", 0x20, test::bytesOf("Note")),
                            resource("icns", -16455, "old"), resource("TEXT", 1, "", 0, Bytes{})});
    for (const auto& [name, fork, icon] :
         {std::tuple{"kept", kept, writer.family128()},
          std::tuple{"crowded", test::resourceFork("DATA", 1, std::string(room, 'd')), writer.family64()}}) {
        test::writeFile(scratch / name, "");
        test::setRawAttribute(scratch / name, kResourceFork, fork);
        ASSERT_EQ(setIconAt(scratch / name), 0) << name;
        const auto written = parseResourceFork(test::rawAttribute(scratch / name, kResourceFork)).value();
        EXPECT_EQ(written.front(), parseResourceFork(fork)->front()) << name;
        EXPECT_EQ(std::tuple(written.size(), written.back().data), std::tuple(name[0] == 'k' ? 3u : 2u, icon))
            << name;
    }

    // Refused without a write: no room even at 64 pixels, links, FIFOs, odd Finder information.
    test::writeFile(scratch / "full", "");
    test::setRawAttribute(scratch / "full", kResourceFork,
                          test::resourceFork("DATA", 1, std::string(kIconForkBudget, 'd')));
    test::makeDirectory(scratch / "linked");
    ASSERT_EQ(::link((scratch / "full").c_str(), (scratch / "linked/Icon\r").c_str()), 0);
    ASSERT_EQ(::symlink((scratch / "kept").c_str(), (scratch / "link").c_str()), 0);
    ASSERT_EQ(::mkfifo((scratch / "pipe").c_str(), 0644), 0);
    test::writeFile(scratch / "odd", "");
    test::setRawAttribute(scratch / "odd", kFinderInfo, Bytes(31, 1));
    const auto state = [](const std::string& item) {
        return std::pair(test::userAttributes(item), test::userAttributes(item + "/Icon\r"));
    };
    for (const auto& [name, code] :
         {std::pair{"full", EFBIG}, {"linked", EINVAL}, {"link", ELOOP}, {"pipe", EINVAL}, {"odd", EINVAL}}) {
        const auto before = state(scratch / name);
        EXPECT_EQ(setIconAt(scratch / name), code) << name;
        EXPECT_EQ(state(scratch / name), before) << name;
    }
}

}  // namespace
}  // namespace lumaro
