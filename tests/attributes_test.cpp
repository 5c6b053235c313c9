// Icon attributes and a folder's "Icon\r" file, on real files and through the FileSystem seam for
// failures and sizes a real disk cannot produce.
#include "records/attributes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <numeric>
#include <set>
#include <tuple>

#include "platform/paths.h"
#include "records/errors.h"
#include "records/identity.h"
#include "tests/support/scratch.h"

namespace lumaro {
namespace {

using test::bytesOf;
using test::rawAttribute;
using test::setRawAttribute;

template <typename F>
std::string errorOf(F&& call) {
    try {
        call();
    } catch (const std::exception& e) {
        return dynamic_cast<const SkinError*>(&e) ? e.what() : std::string("other: ") + e.what();
    }
    return "no error";
}
#define EXPECT_ERROR(statement, text) EXPECT_EQ(errorOf([&] { statement; }), text)

// Records each call as "op detail", returns the errno of failures["op detail"] or failures["op"],
// tracks open descriptors and refuses (instead of hanging on) a blocking open of a FIFO.
class Seam : public platform::ForwardingFileSystem {
  public:
    Seam() : ForwardingFileSystem(platform::FileSystem::real()) {}

    std::vector<std::string> calls;
    std::map<std::string, int> failures;
    std::set<int> openDescriptors;
    bool blockingFifoOpen = false;
    // Hooks: a result of -1 forwards the call.
    std::function<int(const std::string&, void*, std::size_t, std::size_t&)> onGet;
    std::function<int(char*, std::size_t, std::size_t&)> onList;
    std::function<int(std::size_t&)> onWrite;
    std::function<void(const std::string&, platform::FileStatus&)> afterLstat;

    bool called(const std::string& call) const { return std::count(calls.begin(), calls.end(), call) > 0; }

    int lstat(const std::string& path, platform::FileStatus& out) override {
        if (note("lstat", platform::lastPathComponent(path))) {
            return injected_;
        }
        const int err = target().lstat(path, out);
        if (err == 0 && afterLstat) {
            afterLstat(path, out);
        }
        return err;
    }
    int open(const std::string& path, int flags, unsigned mode, int& fd) override {
        platform::FileStatus st;
        if ((flags & O_NONBLOCK) == 0 && target().stat(path, st) == 0 && (st.mode & S_IFMT) == S_IFIFO) {
            blockingFifoOpen = true;
            return EAGAIN;
        }
        const int err = note("open", platform::lastPathComponent(path))
                            ? injected_
                            : target().open(path, flags, mode, fd);
        if (err == 0) {
            openDescriptors.insert(fd);
        }
        return err;
    }
    int close(int fd) override {
        openDescriptors.erase(fd);
        return note("close") ? injected_ : target().close(fd);
    }
    int write(int fd, const void* data, std::size_t size, std::size_t& written) override {
        if (note("write")) {
            return injected_;
        }
        return onWrite ? onWrite(written) : target().write(fd, data, size, written);
    }
    int ftruncate(int fd, std::uint64_t length) override {
        return note("ftruncate") ? injected_ : target().ftruncate(fd, length);
    }
    int fchmod(int fd, unsigned mode) override {
        return note("fchmod") ? injected_ : target().fchmod(fd, mode);
    }
    int fsync(int fd) override { return note("fsync") ? injected_ : target().fsync(fd); }
    int getAttribute(const std::string& path, const std::string& name, void* buffer, std::size_t size,
                     std::size_t& length) override {
        if (note("getAttribute", name)) {
            return injected_;
        }
        const int hooked = onGet ? onGet(name, buffer, size, length) : -1;
        return hooked >= 0 ? hooked : target().getAttribute(path, name, buffer, size, length);
    }
    int setAttribute(const std::string& path, const std::string& name, const void* data,
                     std::size_t size) override {
        return note("setAttribute", name) ? injected_ : target().setAttribute(path, name, data, size);
    }
    int removeAttribute(const std::string& path, const std::string& name) override {
        return note("removeAttribute", name) ? injected_ : target().removeAttribute(path, name);
    }
    int listAttributes(const std::string& path, char* buffer, std::size_t size,
                       std::size_t& length) override {
        if (note("listAttributes", buffer ? "buffer" : "size")) {
            return injected_;
        }
        const int hooked = onList ? onList(buffer, size, length) : -1;
        return hooked >= 0 ? hooked : target().listAttributes(path, buffer, size, length);
    }

  private:
    int injected_ = 0;
    bool note(const std::string& op, const std::string& detail = "") {
        calls.push_back(op + " " + detail);
        const auto it =
            failures.count(op + " " + detail) ? failures.find(op + " " + detail) : failures.find(op);
        injected_ = it == failures.end() ? 0 : it->second;
        return injected_ != 0;
    }
};

platform::FileSystem& realFs() {
    return platform::FileSystem::real();
}
const std::string kFinderRaw = std::string("user.") + kFinderInfoAttribute;
const std::string kForkRaw = std::string("user.") + kResourceForkAttribute;
const std::string kUnsafe = "文件夹包含无法安全处理的 Icon 文件";
const std::string kEio = std::strerror(EIO);

Bytes pattern(std::size_t size, std::uint8_t first) {
    Bytes b(size);
    std::iota(b.begin(), b.end(), first);
    return b;
}

// A scratch folder holding one regular file, "item", and a seam over the real file system.
class ItemTest : public ::testing::Test {
  protected:
    void SetUp() override { test::writeFile(item, "x"); }
    test::ScratchDir dir;
    const std::string item = dir / "item";
    Seam fs;
};
using ReadIconAttribute = ItemTest;
using WriteIconAttribute = ItemTest;
using ReadAllAttributes = ItemTest;
using CaptureIconState = ItemTest;
using WriteIconFile = ItemTest;

TEST_F(ReadIconAttribute, RealValuesAndSizeBoundsThroughSeam) {
    EXPECT_EQ(readIconAttribute(realFs(), item, kFinderInfoAttribute), std::nullopt);
    setRawAttribute(item, "user.empty", {});
    EXPECT_EQ(readIconAttribute(realFs(), item, "empty"), Bytes{});
    setRawAttribute(item, kForkRaw, pattern(300, 0xF0));  // holds 0x00 and 0xFF bytes
    EXPECT_EQ(readIconAttribute(realFs(), item, kResourceForkAttribute), pattern(300, 0xF0));

    std::size_t reported = kMaxAttributeRead;
    fs.onGet = [&](const std::string&, void* buffer, std::size_t size, std::size_t& length) {
        if (buffer != nullptr) {
            std::memset(buffer, 0xCD, size);
        }
        length = buffer ? size : reported;
        return 0;
    };
    const auto big = readIconAttribute(fs, item, "big");
    EXPECT_EQ(big, Bytes(kMaxAttributeRead, 0xCD));
    reported = kMaxAttributeRead + 1;
    fs.calls.clear();
    EXPECT_ERROR(readIconAttribute(fs, item, "big"), "无法备份图标属性或属性过大：item");
    EXPECT_EQ(fs.calls.size(), 1u);  // nothing read beyond the size query
    fs.failures["getAttribute"] = EIO;
    EXPECT_ERROR(readIconAttribute(fs, item, "big"), "无法备份图标属性或属性过大：item");
    fs.failures.clear();

    // The second call sees another length, or fails.
    for (const int second : {0, ERANGE}) {
        int calls = 0;
        fs.onGet = [&](const std::string&, void*, std::size_t, std::size_t& length) {
            length = ++calls == 1 ? 10 : 9;
            return calls == 1 ? 0 : second;
        };
        EXPECT_ERROR(readIconAttribute(fs, item, "x"), "读取图标时项目发生变化：item");
    }
}

TEST_F(WriteIconAttribute, SetsRemovesAndReplacesForks) {
    Bytes finder(32, 0);
    finder[0] = 0xA5;
    finder[8] = 0x04;
    writeIconAttribute(realFs(), item, kFinderInfoAttribute, finder);
    EXPECT_EQ(rawAttribute(item, kFinderRaw), finder);
    if (std::system("command -v getfattr >/dev/null 2>&1") == 0) {
        FILE* pipe = ::popen(("getfattr -d -m - -e hex '" + item + "' 2>/dev/null").c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        char text[4096];
        const std::string output(text, std::fread(text, 1, sizeof text, pipe));
        ::pclose(pipe);
        EXPECT_NE(output.find("user.com.apple.FinderInfo=0xa5000000000000000400"), std::string::npos)
            << output;
    }
    EXPECT_ERROR(writeIconAttribute(realFs(), item, kResourceForkAttribute, std::nullopt), "no error");
    writeIconAttribute(realFs(), item, kFinderInfoAttribute, std::nullopt);
    EXPECT_FALSE(test::hasRawAttribute(item, kFinderRaw));

    // A shorter fork replaces a longer one: removed first. Finder information is not removed.
    setRawAttribute(item, kForkRaw, pattern(4000, 1));
    setRawAttribute(item, kFinderRaw, Bytes(32, 1));
    writeIconAttribute(fs, item, kResourceForkAttribute, pattern(100, 9));
    writeIconAttribute(fs, item, kFinderInfoAttribute, Bytes(32, 2));
    const auto at = [&](const std::string& call) {
        return std::find(fs.calls.begin(), fs.calls.end(), call);
    };
    ASSERT_TRUE(fs.called("removeAttribute com.apple.ResourceFork"));
    EXPECT_LT(at("removeAttribute com.apple.ResourceFork"), at("setAttribute com.apple.ResourceFork"));
    EXPECT_FALSE(fs.called("removeAttribute com.apple.FinderInfo"));
    EXPECT_EQ(rawAttribute(item, kForkRaw), pattern(100, 9));
    EXPECT_EQ(rawAttribute(item, kFinderRaw), Bytes(32, 2));
}

TEST_F(WriteIconAttribute, FailuresAndLinks) {
    setRawAttribute(item, kForkRaw, bytesOf("old fork"));
    fs.failures = {{"setAttribute", EIO}};
    EXPECT_ERROR(writeIconAttribute(fs, item, kFinderInfoAttribute, Bytes(32, 0)),
                 "无法写入图标属性：item（" + kEio + "）");
    fs.failures = {{"removeAttribute", EIO}};
    EXPECT_ERROR(writeIconAttribute(fs, item, kFinderInfoAttribute, std::nullopt), "无法清除图标属性：item");
    fs.calls.clear();
    EXPECT_ERROR(writeIconAttribute(fs, item, kResourceForkAttribute, bytesOf("new")), "无法替换旧图标资源");
    EXPECT_FALSE(fs.called("setAttribute com.apple.ResourceFork"));
    EXPECT_EQ(rawAttribute(item, kForkRaw), bytesOf("old fork"));
    fs.failures = {{"removeAttribute", ENODATA}};
    EXPECT_ERROR(writeIconAttribute(fs, item, kFinderInfoAttribute, std::nullopt), "no error");

    ASSERT_EQ(::symlink(item.c_str(), (dir / "link").c_str()), 0);
    const std::string link = dir / "link";
    EXPECT_ERROR(writeIconAttribute(realFs(), link, kFinderInfoAttribute, Bytes(32, 4)),
                 "跳过符号链接或特殊文件：link");
    EXPECT_ERROR(writeIconAttribute(realFs(), link, kResourceForkAttribute, std::nullopt),
                 "跳过符号链接或特殊文件：link");
    EXPECT_FALSE(test::hasRawAttribute(item, kFinderRaw));
    EXPECT_EQ(rawAttribute(item, kForkRaw), bytesOf("old fork"));
}

TEST_F(ReadAllAttributes, UserNamespaceOnly) {
    setRawAttribute(item, "user.foo", bytesOf("bar"));
    setRawAttribute(item, "user.empty", {});
    setRawAttribute(item, kFinderRaw, Bytes(32, 7));
    setRawAttribute(item, "trusted.secret", bytesOf("hidden"));
    const AttributeMap expected{{"foo", bytesOf("bar")}, {"empty", {}}, {kFinderInfoAttribute, Bytes(32, 7)}};
    EXPECT_EQ(readAllAttributes(fs, item), expected);
    for (const std::string& call : fs.calls) {
        EXPECT_EQ(call.find("secret"), std::string::npos) << call;  // never even looked up
    }
}

TEST_F(ReadAllAttributes, ListingBoundsChangesAndVanishedAttributes) {
    fs.failures["listAttributes size"] = EIO;
    EXPECT_ERROR(readAllAttributes(fs, item), "无法读取图标文件属性");
    fs.failures.clear();

    // One name filling the whole bound; its value reads as gone.
    std::size_t reported = kMaxAttributeRead + 1;
    fs.onList = [&](char* buffer, std::size_t size, std::size_t& length) {
        if (buffer != nullptr) {
            std::memset(buffer, 'n', size);
            buffer[size - 1] = '\0';
        }
        length = reported;
        return 0;
    };
    fs.onGet = [](const std::string&, void*, std::size_t, std::size_t&) { return ENODATA; };
    EXPECT_ERROR(readAllAttributes(fs, item), "无法读取图标文件属性");
    EXPECT_FALSE(fs.called("listAttributes buffer"));
    reported = kMaxAttributeRead;
    EXPECT_ERROR(readAllAttributes(fs, item), "no error");

    for (const int second : {0, ERANGE}) {  // the second listing is shorter, or fails
        int listings = 0;
        fs.onList = [&](char* buffer, std::size_t, std::size_t& length) {
            if (++listings == 1) {
                length = 8;
                return 0;
            }
            std::memcpy(buffer, "foo", 4);
            length = 4;
            return second;
        };
        EXPECT_ERROR(readAllAttributes(fs, item), "图标文件属性发生变化");
    }

    fs.onList = nullptr;
    for (const std::string name : {"a", "b", "c"}) {
        setRawAttribute(item, "user." + name, bytesOf(name));
    }
    fs.onGet = [](const std::string& name, void*, std::size_t, std::size_t&) {
        return name == "b" ? ENODATA : -1;
    };
    EXPECT_EQ(readAllAttributes(fs, item), (AttributeMap{{"a", bytesOf("a")}, {"c", bytesOf("c")}}));
}

TEST_F(CaptureIconState, IdentityFinderInfoAndRegularFiles) {
    test::writeFile(dir / "other", "y");
    const FileIdentity identity = identifyItem(realFs(), item);
    EXPECT_ERROR(captureIconState(realFs(), dir / "other", identity), "原位置的项目已被替换");
    for (const std::size_t size : {31u, 33u}) {
        setRawAttribute(item, kFinderRaw, Bytes(size, 0));
        EXPECT_ERROR(captureIconState(realFs(), item, identity), "Finder 图标属性格式不受支持");
    }
    setRawAttribute(item, kFinderRaw, Bytes(32, 3));
    setRawAttribute(item, kForkRaw, pattern(70, 5));
    EXPECT_EQ(captureIconState(fs, item, identity), (IconState{Bytes(32, 3), pattern(70, 5), std::nullopt}));
    for (const std::string& call : fs.calls) {
        EXPECT_EQ(call.find("Icon\r"), std::string::npos) << call;
    }
}

TEST_F(CaptureIconState, FolderIconFileCapturedExactly) {
    const std::string folder = dir / "folder", iconPath = folder + "/Icon\r";
    test::makeDirectory(folder);
    const FileIdentity identity = identifyItem(realFs(), folder);
    EXPECT_EQ(captureIconState(realFs(), folder, identity), IconState{});

    setRawAttribute(folder, kFinderRaw, Bytes(32, 4));
    const std::string contents("\0icns\r\n\xff", 8);
    test::writeFile(iconPath, contents, 04755);
    setRawAttribute(iconPath, kFinderRaw, Bytes(32, 9));
    setRawAttribute(iconPath, "user.x", bytesOf("mine"));
    const IconFile expected{
        bytesOf(contents), {{kFinderInfoAttribute, Bytes(32, 9)}, {"x", bytesOf("mine")}}, 0755};
    EXPECT_EQ(captureIconState(realFs(), folder, identity),
              (IconState{Bytes(32, 4), std::nullopt, expected}));
}

// Another file is renamed over "Icon\r" once its contents were read: the capture must not pair
// these contents with the newcomer's attributes.
TEST_F(CaptureIconState, AttributesComeFromTheFileWhoseContentsWereRead) {
    const std::string folder = dir / "folder", iconPath = folder + "/Icon\r";
    test::makeDirectory(folder);
    test::writeFile(iconPath, "mine");
    setRawAttribute(iconPath, "user.x", bytesOf("mine"));
    test::writeFile(folder + "/other", "other contents");
    setRawAttribute(folder + "/other", "user.x", bytesOf("newcomer"));
    bool swapped = false;
    fs.onList = [&](char*, std::size_t, std::size_t&) {
        swapped = swapped || ::rename((folder + "/other").c_str(), iconPath.c_str()) == 0;
        return -1;
    };
    std::optional<IconState> state;
    errorOf([&] { state = captureIconState(fs, folder, identifyItem(realFs(), folder)); });
    ASSERT_TRUE(swapped);
    if (state) {  // refusing is fine
        ASSERT_TRUE(state->iconFile.has_value());
        EXPECT_EQ(state->iconFile->contents, bytesOf("mine"));
        EXPECT_EQ(state->iconFile->attributes, (AttributeMap{{"x", bytesOf("mine")}}));
    }
}

TEST_F(CaptureIconState, UnsafeOrUnreadableIconFiles) {
    enum Kind { Symlink, HardLink, Fifo, Huge, AtLimit, SwappedFifo, SwappedLink, Unreadable };
    for (const Kind kind : {Symlink, HardLink, Fifo, Huge, AtLimit, SwappedFifo, SwappedLink, Unreadable}) {
        SCOPED_TRACE(kind);
        const std::string folder = dir / std::to_string(kind), iconPath = folder + "/Icon\r";
        test::makeDirectory(folder);
        test::writeFile(folder + "/real", "icon bytes");
        if (kind == Symlink) {
            ASSERT_EQ(::symlink("real", iconPath.c_str()), 0);
        } else if (kind == HardLink) {
            ASSERT_EQ(::link((folder + "/real").c_str(), iconPath.c_str()), 0);
        } else if (kind == Fifo) {
            ASSERT_EQ(::mkfifo(iconPath.c_str(), 0644), 0);
        } else {
            test::writeFile(iconPath, "icon bytes");
        }
        fs.failures.clear();
        bool swapped = false;
        fs.afterLstat = [&](const std::string& path, platform::FileStatus& st) {
            if (platform::lastPathComponent(path) != "Icon\r") {
                return;
            }
            st.size = kind == Huge ? kMaxAttributeRead + 1 : kind == AtLimit ? kMaxAttributeRead : st.size;
            if ((kind == SwappedFifo || kind == SwappedLink) && !swapped) {
                swapped = ::unlink(path.c_str()) == 0 &&
                          (kind == SwappedFifo ? ::mkfifo(path.c_str(), 0644)
                                               : ::symlink("real", path.c_str())) == 0;
            }
        };
        if (kind == Unreadable) {
            fs.failures["lstat Icon\r"] = EACCES;
        }
        const std::string expected = kind == AtLimit      ? "no error"
                                     : kind == Unreadable ? "无法读取文件夹的图标文件"
                                                          : kUnsafe;
        EXPECT_ERROR(captureIconState(fs, folder, identifyItem(realFs(), folder)), expected);
        EXPECT_EQ(swapped, kind == SwappedFifo || kind == SwappedLink);
        EXPECT_FALSE(fs.blockingFifoOpen);
        EXPECT_TRUE(fs.openDescriptors.empty());
    }
}

TEST_F(WriteIconFile, CreatesOrReplacesExactly) {
    const std::string path = dir / "Icon\r";
    const IconFile created{bytesOf(std::string("\0\1icns", 6)), {{kFinderInfoAttribute, Bytes(32, 1)}}, 0644};
    const mode_t previous = ::umask(077);
    EXPECT_ERROR(writeIconFile(realFs(), path, created), "no error");
    ::umask(previous);
    EXPECT_EQ(test::fileMode(path), 0644u);
    EXPECT_EQ(test::readFile(path), std::string("\0\1icns", 6));
    EXPECT_EQ(readAllAttributes(realFs(), path), created.attributes);

    test::writeFile(path, "a much longer previous icon file", 0600);
    setRawAttribute(path, "user.stale", bytesOf("s"));
    setRawAttribute(path, "user.keep", bytesOf("old"));
    const IconFile replaced{bytesOf("new"), {{"keep", bytesOf("new")}, {"add", Bytes{}}}, 0640};
    writeIconFile(realFs(), path, replaced);
    EXPECT_EQ(test::readFile(path), "new");
    EXPECT_EQ(test::fileMode(path), 0640u);
    EXPECT_EQ(readAllAttributes(realFs(), path), replaced.attributes);

    writeIconFile(fs, path, IconFile{{}, {}, 0600});
    EXPECT_EQ(test::readFile(path), "");
    EXPECT_TRUE(readAllAttributes(realFs(), path).empty());
    EXPECT_FALSE(fs.called("write "));
}

TEST_F(WriteIconFile, RefusesLinksFifosAndHardLinks) {
    const IconFile file{bytesOf("icon"), {{"x", bytesOf("1")}}, 0644};
    test::writeFile(dir / "target", "target contents", 0600);
    ASSERT_EQ(::symlink((dir / "target").c_str(), (dir / "link").c_str()), 0);
    ASSERT_EQ(::symlink((dir / "nowhere").c_str(), (dir / "dangling").c_str()), 0);
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0644), 0);
    test::writeFile(dir / "linked", "shared", 0600);
    ASSERT_EQ(::link((dir / "linked").c_str(), (dir / "second").c_str()), 0);

    EXPECT_ERROR(writeIconFile(fs, dir / "link", file), "无法恢复文件夹图标文件");
    EXPECT_EQ(test::readFile(dir / "target"), "target contents");
    EXPECT_EQ(test::fileMode(dir / "target"), 0600u);
    EXPECT_TRUE(readAllAttributes(realFs(), dir / "target").empty());
    EXPECT_ERROR(writeIconFile(fs, dir / "dangling", file), "无法恢复文件夹图标文件");
    EXPECT_NE(::access((dir / "nowhere").c_str(), F_OK), 0);
    EXPECT_ERROR(writeIconFile(fs, dir / "fifo", file), "图标文件已被替换");
    EXPECT_FALSE(fs.blockingFifoOpen);
    EXPECT_ERROR(writeIconFile(fs, dir / "linked", file), "图标文件已被替换");
    EXPECT_EQ(test::readFile(dir / "second"), "shared");
    EXPECT_TRUE(fs.openDescriptors.empty());
}

TEST_F(WriteIconFile, EveryFailureClosesTheDescriptor) {
    const std::vector<std::tuple<std::string, int, std::string>> cases{
        {"ftruncate", EIO, "无法还原图标文件"},
        {"write", EIO, "写入图标备份失败"},
        {"write", 0, "写入图标备份失败"},  // 0 here: the write reports no progress
        {"setAttribute", EIO, "无法写入图标属性：Icon\r（" + kEio + "）"},
        {"fchmod", EIO, "无法同步还原的图标文件"},
        {"fsync", EIO, "无法同步还原的图标文件"},
    };
    int index = 0;
    for (const auto& [call, error, message] : cases) {
        SCOPED_TRACE(call + " " + std::to_string(error));
        const std::string folder = dir / std::to_string(++index);
        test::makeDirectory(folder);
        Seam seam;
        if (error != 0) {
            seam.failures[call] = error;
        } else {
            seam.onWrite = [](std::size_t& written) {
                written = 0;
                return 0;
            };
        }
        EXPECT_ERROR(writeIconFile(seam, folder + "/Icon\r", IconFile{bytesOf("icon"), {{"x", {}}}, 0644}),
                     message);
        EXPECT_TRUE(seam.called("open Icon\r"));
        EXPECT_TRUE(seam.openDescriptors.empty());
    }
}

}  // namespace
}  // namespace lumaro
