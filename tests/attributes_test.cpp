// Icon attributes and a folder's "Icon\r" file, on real files and through a seam for faults.
#include "records/attributes.h"
#include "records/icon_facet.h"
#include "records/mac_form.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <cerrno>
#include <cstring>

#include "records/identity.h"
#include "tests/support/fault_fs.h"
#include "tests/support/scratch.h"

namespace lumaro {
namespace {

using namespace test;

#define EXPECT_ERROR(statement, text) EXPECT_EQ(test::errorOf<std::exception>([&] { statement; }), text)

const std::string kForkRaw = std::string("user.") + kResourceForkAttribute;

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
    int fd() const { return handle.fd(); }
};

TEST_F(Attributes, ReadIconAttributeIsBoundedAndNoticesAChange) {
    std::size_t reported = kMaxAttributeRead, got = kMaxAttributeRead;
    fs.onGetAttribute = [&](const std::string&, void* buffer, std::size_t, std::size_t& length) {
        length = buffer ? got : reported;
        return 0;
    };
    EXPECT_EQ(readIconAttribute(fs, fd(), "big", "item").value().size(), kMaxAttributeRead);
    got = 9;  // the value changed between the size query and the read
    EXPECT_ERROR(readIconAttribute(fs, fd(), "big", "item"), "读取图标时项目发生变化：item");
    reported = kMaxAttributeRead + 1;
    fs.log.clear();
    EXPECT_ERROR(readIconAttribute(fs, fd(), "big", "item"), "无法备份图标属性或属性过大：item");
    EXPECT_EQ(fs.log.size(), 1u);  // nothing read beyond the size query
}

TEST_F(Attributes, WriteIconAttributeRemovesAnOldForkFirst) {
    setRawAttribute(item, kForkRaw, Bytes(4000, 1));
    writeIconAttribute(fs, fd(), kResourceForkAttribute, Bytes(100, 9), "item");
    const long removed = fs.indexOf("removeAttribute " + item + " com.apple.ResourceFork");
    EXPECT_TRUE(removed >= 0 && removed < fs.indexOf("setAttribute " + item + " com.apple.ResourceFork"));

    fs.fail = {{"setAttribute", EIO}};
    EXPECT_ERROR(writeIconAttribute(fs, fd(), kFinderInfoAttribute, Bytes(32, 0), "item"),
                 "无法写入图标属性：item（" + std::string(std::strerror(EIO)) + "）");
    fs.fail = {{"removeAttribute", EIO}};
    EXPECT_ERROR(writeIconAttribute(fs, fd(), kResourceForkAttribute, bytesOf("new"), "item"),
                 "无法替换旧图标资源");
    EXPECT_EQ(rawAttribute(item, kForkRaw), Bytes(100, 9));
}

TEST_F(Attributes, ReadAllAttributesStripsThePrefixAndSkipsVanishedOnes) {
    for (const std::string name : {"a", "b", ""})
        setRawAttribute(item, "user.x" + name, bytesOf(name));
    fs.onGetAttribute = [](const std::string& name, void*, std::size_t, std::size_t&) {
        return name == "xb" ? ENODATA : -1;
    };
    EXPECT_EQ(readAllAttributes(fs, fd()), (AttributeMap{{"x", {}}, {"xa", bytesOf("a")}}));

    fs.onListAttributes = [](char* buffer, std::size_t, std::size_t& length) {
        length = buffer ? 4 : 8;  // the list changed between the size query and the read
        return 0;
    };
    EXPECT_ERROR(readAllAttributes(fs, fd()), "图标文件属性发生变化");
}

TEST_F(Attributes, CaptureIconStateChecksTheIdentityAndTheFinderInfoSize) {
    const FileIdentity identity = identifyItem(fs, item);
    writeFile(dir / "other", "y");
    EXPECT_ERROR(captureIconState(fs, dir / "other", identity), "原位置的项目已被替换");
    for (const std::size_t size : {31u, 33u}) {  // a longer value would make the whole backup unloadable
        setRawAttribute(item, "user.com.apple.FinderInfo", Bytes(size, 0));
        EXPECT_ERROR(captureIconState(fs, item, identity), "Finder 图标属性格式不受支持");
    }
    setRawAttribute(item, "user.com.apple.FinderInfo", Bytes(32, 3));
    setRawAttribute(item, kForkRaw, Bytes(70, 5));
    EXPECT_EQ(captureIconState(fs, item, identity), (IconState{Bytes(32, 3), Bytes(70, 5), std::nullopt}));

    const std::string folder = dir / "folder", contents("\0icns\r\n\xff", 8);
    makeDirectory(folder);
    writeFile(folder + "/Icon\r", contents, 04755);
    setRawAttribute(folder + "/Icon\r", "user.x", bytesOf("mine"));
    EXPECT_EQ(captureIconState(fs, folder, identifyItem(fs, folder)).iconFile,
              (IconFile{bytesOf(contents), {{"x", bytesOf("mine")}}, 0755}));
}

TEST_F(Attributes, CaptureIconStateRefusesUnsafeIconFilesWithoutHanging) {
    enum Kind { Symlink, HardLink, Fifo, SwappedFifo, SwappedLink, SwappedLater };
    for (const Kind kind : {Symlink, HardLink, Fifo, SwappedFifo, SwappedLink, SwappedLater}) {
        SCOPED_TRACE(kind);
        const std::string folder = dir / std::to_string(kind), real = folder + "/real";
        const std::string icon = folder + "/Icon\r", next = folder + "/next";
        test::makeDirectory(folder), test::writeFile(real, "icon bytes"), test::writeFile(next, "newcomer");
        ASSERT_EQ(kind == Symlink    ? ::symlink("real", icon.c_str())
                  : kind == HardLink ? ::link(real.c_str(), icon.c_str())
                  : kind == Fifo     ? ::mkfifo(icon.c_str(), 0644)
                                     : ::rename(real.c_str(), icon.c_str()),
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
        EXPECT_EQ(std::tuple(swapped, seam.blocked, seam.openFds.size()), std::tuple(kind >= SwappedFifo, false, 0u));
    }
}

}  // namespace
}  // namespace lumaro
