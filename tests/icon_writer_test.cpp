// The icon writer and the resource-fork layout it writes.
#include <sys/stat.h>
#include <unistd.h>

#include <QImage>
#include <cstdio>
#include <random>

#include <gtest/gtest.h>

#include "platform/icon_writer.h"
#include "platform/resource_fork.h"
#include "resources/resources.h"
#include "tests/support/scratch.h"

namespace lumaro::platform {
namespace {

using test::ScratchDir;

std::uint32_t be32(const Bytes& b, std::size_t at) {
    return (std::uint32_t{b[at]} << 24) | (std::uint32_t{b[at + 1]} << 16) | (std::uint32_t{b[at + 2]} << 8) |
           b[at + 3];
}

Resource resource(const char type[4], std::int16_t id, const std::string& data, std::uint8_t attributes = 0,
                  std::optional<std::string> name = std::nullopt) {
    Resource r;
    std::copy(type, type + 4, r.type.begin());
    r.id = id;
    r.attributes = attributes;
    r.data = Bytes(data.begin(), data.end());
    if (name) {
        r.name = Bytes(name->begin(), name->end());
    }
    return r;
}

std::string run(const std::string& command) {
    std::string output;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[512];
        while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
            output += buffer;
        }
        ::pclose(pipe);
    }
    return output;
}

TEST(ResourceFork, OneResourceHasTheClassicLayoutAndParsesBack) {
    const std::vector<Resource> resources = {resource("icns", -16455, "ICONDATA")};
    const Bytes fork = *buildResourceFork(resources);
    EXPECT_EQ(be32(fork, 0), 256u);
    EXPECT_EQ(be32(fork, 8), 12u) << "4-byte length + 8 bytes of data";
    EXPECT_EQ(be32(fork, 4), 256u + 12u);
    EXPECT_EQ(be32(fork, 12), 50u) << "one icon gives a 50-byte map";
    EXPECT_EQ(fork.size(), 256u + 12u + 50u);
    EXPECT_TRUE(std::all_of(fork.begin() + 16, fork.begin() + 256, [](std::uint8_t b) { return b == 0; }));
    EXPECT_TRUE(std::equal(fork.begin(), fork.begin() + 16, fork.begin() + 268)) << "map starts with the header";
    EXPECT_EQ(parseResourceFork(fork), resources);
}

TEST(ResourceFork, KeepsTypesNamesAndAttributesThroughARoundTrip) {
    const std::vector<Resource> resources = {
        resource("TEXT", 128, "hello", 0x20, "Greeting"), resource("icns", -16455, "ICON"),
        resource("TEXT", 129, "", 0, "Empty"), resource("STR ", 1, std::string(300, 'x'))};
    const Bytes fork = *buildResourceFork(resources);
    // Grouped by type, in order of first appearance.
    const std::vector<Resource> expected = {resources[0], resources[2], resources[1], resources[3]};
    EXPECT_EQ(parseResourceFork(fork), expected);
    EXPECT_EQ(parseResourceFork(*buildResourceFork(expected)), expected);
}

TEST(ResourceFork, RefusesMalformedForksWithoutReadingOutOfBounds) {
    const Bytes good = *buildResourceFork({resource("icns", -16455, "ICONDATA"), resource("TEXT", 5, "t", 0, "n")});
    EXPECT_FALSE(parseResourceFork(Bytes(good.begin(), good.begin() + 15)));
    EXPECT_FALSE(parseResourceFork(Bytes(good.begin(), good.end() - 1))) << "map cut short";
    Bytes dataPastEnd = good;
    dataPastEnd[11] = 0xFF;  // data length beyond the fork
    EXPECT_FALSE(parseResourceFork(dataPastEnd));

    // Random damage never crashes and never yields a parse that reads outside the input.
    std::mt19937 random(7);
    for (int round = 0; round < 20000; ++round) {
        Bytes fork = good;
        const int edits = 1 + static_cast<int>(random() % 4);
        for (int e = 0; e < edits; ++e) {
            fork[random() % fork.size()] = static_cast<std::uint8_t>(random());
        }
        if (random() % 8 == 0) {
            fork.resize(random() % fork.size());
        }
        if (const auto parsed = parseResourceFork(fork)) {
            for (const Resource& r : *parsed) {
                ASSERT_LE(r.data.size(), fork.size());
            }
        }
    }
}

TEST(IconWriter, RendersDeterministicRgbaPngFamilies) {
    const QImage furball = loadFurball();
    ASSERT_FALSE(furball.isNull());
    const IconWriter first(furball);
    const IconWriter second(furball);
    ASSERT_TRUE(first.valid());
    EXPECT_EQ(first.family128(), second.family128());
    EXPECT_EQ(first.family64(), second.family64());

    for (const auto& [family, type, size] :
         {std::tuple{&first.family128(), "ic07", 128u}, std::tuple{&first.family64(), "ic11", 64u}}) {
        const Bytes& f = *family;
        EXPECT_EQ(std::string(f.begin(), f.begin() + 4), "icns");
        EXPECT_EQ(be32(f, 4), f.size());
        EXPECT_EQ(std::string(f.begin() + 8, f.begin() + 12), type);
        EXPECT_EQ(be32(f, 12), f.size() - 8);
        // The PNG's IHDR: width, height, bit depth 8, colour type 6 (RGBA).
        EXPECT_EQ(std::string(f.begin() + 17, f.begin() + 20), "PNG");
        EXPECT_EQ(be32(f, 16 + 16), size);
        EXPECT_EQ(be32(f, 16 + 20), size);
        EXPECT_EQ(f[16 + 24], 8);
        EXPECT_EQ(f[16 + 25], 6);
    }
    // The bundled furball leaves room to spare in the budget.
    EXPECT_LT(IconWriter::forkWithIcon(std::nullopt, first.family128()).size(), kIconForkBudget / 2);

    EXPECT_FALSE(IconWriter(QImage()).valid());
    ScratchDir scratch;
    test::writeFile(scratch / "f", "x");
    EXPECT_NE(IconWriter(QImage()).setIcon(FileSystem::real(), scratch / "f"), 0);
    EXPECT_FALSE(test::hasRawAttribute(scratch / "f", "user.com.apple.FinderInfo"));
}

TEST(IconWriter, KeepsOtherResourcesReplacesItsOwnAndFallsBackToTheSmallerRendition) {
    const IconWriter writer(loadFurball());
    const Resource text = resource("TEXT", 128, "keep me", 0x20, "Note");
    const Bytes existing = *buildResourceFork({text, resource("icns", -16455, "old icon")});
    const auto parsed = parseResourceFork(IconWriter::forkWithIcon(existing, writer.family128()));
    ASSERT_TRUE(parsed);
    ASSERT_EQ(parsed->size(), 2u);
    EXPECT_EQ((*parsed)[0], text);
    EXPECT_EQ((*parsed)[1].data, writer.family128());

    // A fork that does not parse is replaced whole.
    const auto replaced = parseResourceFork(IconWriter::forkWithIcon(Bytes(40, 0xAB), writer.family128()));
    ASSERT_TRUE(replaced);
    EXPECT_EQ(replaced->size(), 1u);

    // Kept resources that leave no room for the 128-pixel icon push it down to 64 pixels...
    const std::size_t room = kIconForkBudget - IconWriter::forkWithIcon(std::nullopt, writer.family128()).size();
    const Bytes crowded = *buildResourceFork({resource("DATA", 1, std::string(room, 'd'))});
    const auto small = parseResourceFork(IconWriter::forkWithIcon(crowded, writer.family64()));
    ASSERT_TRUE(small);
    EXPECT_TRUE(IconWriter::forkWithIcon(crowded, writer.family128()).empty());

    ScratchDir scratch;
    test::writeFile(scratch / "crowded", "");
    test::setRawAttribute(scratch / "crowded", "user.com.apple.ResourceFork", crowded);
    ASSERT_EQ(writer.setIcon(FileSystem::real(), scratch / "crowded"), 0);
    const auto written = parseResourceFork(test::rawAttribute(scratch / "crowded", "user.com.apple.ResourceFork"));
    ASSERT_TRUE(written);
    EXPECT_EQ(written->back().data, writer.family64());

    // ...and when neither fits, the set-icon fails without touching the item.
    const Bytes full = *buildResourceFork({resource("DATA", 1, std::string(kIconForkBudget, 'd'))});
    test::writeFile(scratch / "full", "");
    test::setRawAttribute(scratch / "full", "user.com.apple.ResourceFork", full);
    EXPECT_EQ(writer.setIcon(FileSystem::real(), scratch / "full"), EFBIG);
    EXPECT_EQ(test::rawAttribute(scratch / "full", "user.com.apple.ResourceFork"), full);
    EXPECT_FALSE(test::hasRawAttribute(scratch / "full", "user.com.apple.FinderInfo"));
}

TEST(IconWriter, WritesFilesAndFoldersAsTheMacDoes) {
    ScratchDir scratch;
    const IconWriter writer(loadFurball());
    FileSystem& fs = FileSystem::real();

    test::writeFile(scratch / "labelled", "data");
    Bytes finder(32, 0);
    finder[8] = 0x01;
    finder[9] = 0x0E;  // label bits
    finder[0] = 'T';
    test::setRawAttribute(scratch / "labelled", "user.com.apple.FinderInfo", finder);
    ASSERT_EQ(writer.setIcon(fs, scratch / "labelled"), 0);
    finder[8] |= 0x04;
    EXPECT_EQ(test::rawAttribute(scratch / "labelled", "user.com.apple.FinderInfo"), finder);
    EXPECT_EQ(test::readFile(scratch / "labelled"), "data");

    // A folder: "Icon\r" created with mode 0644 whatever the umask, invisible, carrying the fork.
    test::makeDirectory(scratch / "folder");
    const mode_t oldMask = ::umask(077);
    const int folderResult = writer.setIcon(fs, scratch / "folder");
    ::umask(oldMask);
    ASSERT_EQ(folderResult, 0);
    const std::string icon = scratch / "folder/Icon\r";
    EXPECT_EQ(test::fileMode(icon), 0644u);
    EXPECT_EQ(test::readFile(icon), "");
    Bytes invisible(32, 0);
    invisible[8] = 0x40;
    EXPECT_EQ(test::rawAttribute(icon, "user.com.apple.FinderInfo"), invisible);
    const Bytes fork = test::rawAttribute(icon, "user.com.apple.ResourceFork");
    EXPECT_EQ(test::rawAttribute(scratch / "folder", "user.com.apple.FinderInfo")[8], 0x04);
    EXPECT_FALSE(test::hasRawAttribute(scratch / "folder", "user.com.apple.ResourceFork"));

    // Independent readers: the resource-fork decoder of `file`, and Pillow's icns reader.
    const std::string dump = scratch / "fork.bin";
    test::writeFile(dump, std::string(fork.begin(), fork.end()));
    EXPECT_NE(run("file -b '" + dump + "'").find("resource fork"), std::string::npos);
    const std::string icnsPath = scratch / "icon.icns";
    test::writeFile(icnsPath, std::string(fork.begin() + 260, fork.begin() + 260 + be32(fork, 256)));
    EXPECT_EQ(run("/usr/bin/python3 -c \"from PIL import Image; im = Image.open('" + icnsPath +
                  "'); im.load(); print(im.format, im.size, im.mode)\""),
              "ICNS (128, 128) RGBA\n");

    // An existing "Icon\r" keeps its contents; a linked one, a link, or a FIFO is refused.
    test::makeDirectory(scratch / "kept");
    test::writeFile(scratch / "kept/Icon\r", "old contents", 0600);
    ASSERT_EQ(writer.setIcon(fs, scratch / "kept"), 0);
    EXPECT_EQ(test::readFile(scratch / "kept/Icon\r"), "old contents");
    EXPECT_EQ(test::fileMode(scratch / "kept/Icon\r"), 0600u);

    test::makeDirectory(scratch / "linked");
    test::writeFile(scratch / "other", "");
    ASSERT_EQ(::link((scratch / "other").c_str(), (scratch / "linked/Icon\r").c_str()), 0);
    EXPECT_NE(writer.setIcon(fs, scratch / "linked"), 0);
    EXPECT_FALSE(test::hasRawAttribute(scratch / "other", "user.com.apple.ResourceFork"));

    test::makeDirectory(scratch / "fifo");
    ASSERT_EQ(::mkfifo((scratch / "fifo/Icon\r").c_str(), 0644), 0);
    EXPECT_NE(writer.setIcon(fs, scratch / "fifo"), 0);

    ASSERT_EQ(::symlink((scratch / "labelled").c_str(), (scratch / "link").c_str()), 0);
    EXPECT_EQ(writer.setIcon(fs, scratch / "link"), ELOOP);
    ASSERT_EQ(::mkfifo((scratch / "pipe").c_str(), 0644), 0);
    EXPECT_EQ(writer.setIcon(fs, scratch / "pipe"), EINVAL);

    // A Finder information value of another length is refused, not overwritten.
    test::writeFile(scratch / "odd", "");
    test::setRawAttribute(scratch / "odd", "user.com.apple.FinderInfo", Bytes(31, 1));
    EXPECT_EQ(writer.setIcon(fs, scratch / "odd"), EINVAL);
    EXPECT_EQ(test::rawAttribute(scratch / "odd", "user.com.apple.FinderInfo"), Bytes(31, 1));
    EXPECT_FALSE(test::hasRawAttribute(scratch / "odd", "user.com.apple.ResourceFork"));
    test::makeDirectory(scratch / "oddFolder");
    test::setRawAttribute(scratch / "oddFolder", "user.com.apple.FinderInfo", Bytes(33, 1));
    EXPECT_EQ(writer.setIcon(fs, scratch / "oddFolder"), EINVAL);
    EXPECT_NE(::access((scratch / "oddFolder/Icon\r").c_str(), F_OK), 0) << "no Icon file was made";
}

}  // namespace
}  // namespace lumaro::platform
