// The icon writer and the resource-fork layout it writes.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/icon_writer.h"
#include "resources/resources.h"
#include "tests/support/scratch.h"

namespace lumaro::platform {
namespace {

using test::be32;
using test::kFinderInfo;
using test::kResourceFork;
using test::resource;

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
    // "ic11" and the PNG's IHDR: 64 x 64, depth 8, colour type 6 (RGBA); Pillow reads the "ic07" family below.
    const Bytes& f = writer.family64();
    EXPECT_EQ(std::string(f.begin() + 8, f.begin() + 12) + std::string(f.begin() + 17, f.begin() + 20), "ic11PNG");
    EXPECT_EQ(std::tuple(be32(f, 4), be32(f, 32), be32(f, 36), f[40], f[41]), std::tuple(f.size(), 64u, 64u, 8, 6));

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
    const Bytes kept = *buildResourceFork({resource("TEXT", 128, "keep me", 0x20, test::bytesOf("Note")),
                                           resource("icns", -16455, "old"), resource("TEXT", 1, "", 0, Bytes{})});
    for (const auto& [name, fork, icon] :
         {std::tuple{"kept", kept, writer.family128()},
          std::tuple{"crowded", test::resourceFork("DATA", 1, std::string(room, 'd')), writer.family64()}}) {
        test::writeFile(scratch / name, "");
        test::setRawAttribute(scratch / name, kResourceFork, fork);
        ASSERT_EQ(setIconAt(scratch / name), 0) << name;
        const auto written = parseResourceFork(test::rawAttribute(scratch / name, kResourceFork)).value();
        EXPECT_EQ(written.front(), parseResourceFork(fork)->front()) << name;
        EXPECT_EQ(std::tuple(written.size(), written.back().data), std::tuple(name[0] == 'k' ? 3u : 2u, icon)) << name;
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
}  // namespace lumaro::platform
