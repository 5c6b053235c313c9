// Item identity, the custom-icon flag, resource fork normalization and the "either icon" rules.
#include "records/identity.h"

#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <cstring>
#include <random>

#include "records/attributes.h"
#include "records/errors.h"
#include "tests/support/scratch.h"

namespace lumaro {
namespace {

using test::bytesOf;

template <typename F>
std::string errorOf(F&& call) {
    try {
        call();
    } catch (const SkinError& e) {
        return e.message();
    } catch (const std::exception& e) {
        return std::string("other exception: ") + e.what();
    }
    return "no error";
}

platform::FileSystem& realFs() {
    return platform::FileSystem::real();
}

Bytes finderWith(std::size_t size, std::size_t at, std::uint8_t value, std::uint8_t fill = 0) {
    Bytes b(size, fill);
    b[at] = value;
    return b;
}

Bytes flipped(Bytes b, std::size_t at, std::uint8_t mask = 0x5A) {
    b[at] ^= mask;
    return b;
}

TEST(IdentifyItem, RefusesLinksFifosSocketsAndMissingItems) {
    test::ScratchDir dir;
    test::makeDirectory(dir / "folder");
    ASSERT_EQ(::symlink((dir / "folder").c_str(), (dir / "link").c_str()), 0);
    ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0644), 0);
    const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(sock, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socketPath = dir / "sock";
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    ASSERT_EQ(::bind(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ::close(sock);

    EXPECT_EQ(errorOf([&] { identifyItem(realFs(), dir / "link"); }), "跳过符号链接或特殊文件：link");
    EXPECT_EQ(errorOf([&] { identifyItem(realFs(), dir / "pipe"); }), "跳过符号链接或特殊文件：pipe");
    EXPECT_EQ(errorOf([&] { identifyItem(realFs(), dir / "sock"); }), "跳过符号链接或特殊文件：sock");
    EXPECT_EQ(errorOf([&] { identifyItem(realFs(), dir / "missing"); }), "项目不存在或无法读取：missing");
}

TEST(IdentifyItem, UnsearchableParentFailsForUnprivilegedUser) {
    test::ScratchDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    test::makeDirectory(dir / "open", 0755);
    test::writeFile(dir / "open/item", "x");
    test::makeDirectory(dir / "locked", 0755);
    test::writeFile(dir / "locked/item", "x");
    ASSERT_EQ(::chmod((dir / "locked").c_str(), 0644), 0);  // readable, not searchable

    int channel[2];
    ASSERT_EQ(::pipe(channel), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(channel[0]);
        std::string report;
        if (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
            ::setresuid(65534, 65534, 65534) != 0) {
            report = "cannot drop privileges";
        } else {
            report = errorOf([&] { identifyItem(realFs(), dir / "open/item"); }) + "|" +
                     errorOf([&] { identifyItem(realFs(), dir / "locked/item"); });
        }
        [[maybe_unused]] const ssize_t n = ::write(channel[1], report.data(), report.size());
        ::_exit(0);
    }
    ::close(channel[1]);
    std::string report;
    char buffer[256];
    for (ssize_t n; (n = ::read(channel[0], buffer, sizeof buffer)) > 0;) {
        report.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(channel[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    // The control item is reachable, so the failure comes from the folder's missing search bit.
    EXPECT_EQ(report, "no error|项目不存在或无法读取：item");
}

TEST(IdentifyItem, RecordsTypeAndTellsRecreatedFoldersApart) {
    test::ScratchDir dir;
    test::writeFile(dir / "file", "data");
    test::makeDirectory(dir / "folder");

    const FileIdentity file = identifyItem(realFs(), dir / "file");
    EXPECT_EQ(file.type, 32768);
    EXPECT_FALSE(file.isDirectory());
    EXPECT_EQ(identifyItem(realFs(), dir / "file"), file);

    const FileIdentity folder = identifyItem(realFs(), dir / "folder");
    EXPECT_EQ(folder.type, 16384);
    EXPECT_TRUE(folder.isDirectory());
    EXPECT_NE(folder.inode, file.inode);

    ASSERT_EQ(::rmdir((dir / "folder").c_str()), 0);
    test::makeDirectory(dir / "folder");
    EXPECT_NE(identifyItem(realFs(), dir / "folder"), folder);

    FileIdentity other = folder;
    other.birthNanos += 1;
    EXPECT_NE(other, folder);
}

TEST(CustomIconFlag, ReadsBitFourOfByteEightOfThirtyTwoBytes) {
    EXPECT_TRUE(hasCustomIconFlag(finderWith(32, 8, 0x04)));
    EXPECT_TRUE(hasCustomIconFlag(finderWith(32, 8, 0x04, 0xFF)));
    EXPECT_FALSE(hasCustomIconFlag(finderWith(32, 8, 0x40)));
    EXPECT_FALSE(hasCustomIconFlag(finderWith(32, 8, 0x00)));
    EXPECT_FALSE(hasCustomIconFlag(finderWith(32, 8, 0xFB, 0xFF)));
    EXPECT_FALSE(hasCustomIconFlag(finderWith(31, 8, 0x04)));
    EXPECT_FALSE(hasCustomIconFlag(std::nullopt));
}

// Appends `v` big-endian in `width` bytes.
void put(Bytes& b, std::uint32_t v, int width) {
    for (int shift = (width - 1) * 8; shift >= 0; shift -= 8)
        b.push_back(static_cast<std::uint8_t>(v >> shift));
}
void putAll(Bytes& b, std::initializer_list<std::pair<std::uint32_t, int>> fields) {
    for (const auto& [value, width] : fields)
        put(b, value, width);
}
void set16(Bytes& b, std::size_t at, std::uint32_t v) {
    b[at] = static_cast<std::uint8_t>(v >> 8);
    b[at + 1] = static_cast<std::uint8_t>(v);
}

struct Resource {
    std::uint16_t id;
    std::string data;
    std::uint32_t handle;
};
using ResourceTypes = std::vector<std::pair<std::string, std::vector<Resource>>>;  // code, resources
struct Fork {
    Bytes bytes;
    std::size_t map = 0;
    std::vector<std::size_t> refs;  // each 12-byte reference entry
    std::vector<std::size_t> data;  // each resource's first data byte
};

// A classic fork: header, reserved bytes up to 256, data area, map (no names).
Fork buildFork(const ResourceTypes& types, std::uint32_t nextMap = 0xDEADBEEF,
               std::uint16_t fileRef = 0x1234) {
    Fork fork;
    Bytes area;
    std::vector<std::uint32_t> offsets;
    for (const auto& [code, resources] : types) {
        for (const Resource& r : resources) {
            offsets.push_back(static_cast<std::uint32_t>(area.size()));
            fork.data.push_back(256 + area.size() + 4);
            put(area, static_cast<std::uint32_t>(r.data.size()), 4);
            area.insert(area.end(), r.data.begin(), r.data.end());
        }
    }
    const auto k = static_cast<std::uint32_t>(types.size());
    const auto areaSize = static_cast<std::uint32_t>(area.size());
    const auto mapLength = static_cast<std::uint32_t>(30 + 8 * k + 12 * offsets.size());
    Bytes header;
    for (const std::uint32_t v : {256u, 256 + areaSize, areaSize, mapLength})
        put(header, v, 4);
    Bytes& b = fork.bytes;
    b = header;
    b.resize(256, 0);
    b.insert(b.end(), area.begin(), area.end());
    fork.map = b.size();
    b.insert(b.end(), header.begin(), header.end());
    // next-map handle, file reference, attributes, type list offset, name list offset, types - 1
    putAll(b, {{nextMap, 4}, {fileRef, 2}, {0, 2}, {28, 2}, {mapLength, 2}, {k == 0 ? 0xFFFF : k - 1, 2}});
    std::uint32_t before = 0;
    for (const auto& [code, resources] : types) {
        b.insert(b.end(), code.begin(), code.end());
        putAll(b, {{static_cast<std::uint32_t>(resources.size()) - 1, 2}, {2 + 8 * k + 12 * before, 2}});
        before += static_cast<std::uint32_t>(resources.size());
    }
    std::size_t index = 0;
    for (const auto& [code, resources] : types) {
        for (const Resource& r : resources) {
            fork.refs.push_back(b.size());
            // id, no name, attributes, data offset, handle
            putAll(b, {{r.id, 2}, {0xFFFF, 2}, {0x20, 1}, {offsets[index++], 3}, {r.handle, 4}});
        }
    }
    return fork;
}

Fork sampleFork() {
    return buildFork({{"icns", {{128, "first icon", 0x11111111}, {129, "second", 0x22222222}}},
                      {"ICN#", {{200, "third", 0x33333333}}}});
}

TEST(ResourceFork, NormalizationZeroesExactlyTheBookkeepingBytes) {
    const Fork fork = sampleFork();
    Bytes expected = fork.bytes;
    std::fill_n(expected.begin() + static_cast<std::ptrdiff_t>(fork.map + 16), 6, 0);
    for (const std::size_t ref : fork.refs) {
        std::fill_n(expected.begin() + static_cast<std::ptrdiff_t>(ref + 8), 4, 0);
    }
    EXPECT_EQ(normalizedResourceFork(fork.bytes), expected);

    const auto variant = [&](std::size_t at) { return flipped(fork.bytes, at); };
    EXPECT_TRUE(forksMatch(fork.bytes, variant(fork.map + 16)));  // next-map handle
    EXPECT_TRUE(forksMatch(fork.bytes, variant(fork.map + 19)));
    EXPECT_TRUE(forksMatch(fork.bytes, variant(fork.map + 20)));  // file reference number
    EXPECT_TRUE(forksMatch(fork.bytes, variant(fork.map + 21)));
    for (const std::size_t ref : fork.refs) {
        EXPECT_TRUE(forksMatch(fork.bytes, variant(ref + 8)));
        EXPECT_TRUE(forksMatch(fork.bytes, variant(ref + 11)));
        EXPECT_FALSE(forksMatch(fork.bytes, variant(ref + 1)));  // resource id
        EXPECT_FALSE(forksMatch(fork.bytes, variant(ref + 4)));  // resource attributes
    }
    for (const std::size_t data : fork.data)
        EXPECT_FALSE(forksMatch(fork.bytes, variant(data)));
    EXPECT_FALSE(forksMatch(fork.bytes, variant(fork.map + 22)));  // map attributes
}

TEST(ResourceFork, EmptyTypeListClearsOnlyTheMapBookkeeping) {
    const Fork fork = buildFork({}, 0xAABBCCDD, 0x5566);
    Bytes expected = fork.bytes;
    ASSERT_EQ(expected.size(), fork.map + 30);
    std::fill_n(expected.begin() + static_cast<std::ptrdiff_t>(fork.map + 16), 6, 0);
    EXPECT_EQ(normalizedResourceFork(fork.bytes), expected);
}

TEST(ResourceFork, UnparsableForksCompareByteForByteAndAbsentOnlyMatchesAbsent) {
    const Bytes tiny = bytesOf("short fork\x01\x02\x03");
    ASSERT_LT(tiny.size(), 16u);
    EXPECT_EQ(normalizedResourceFork(tiny), tiny);
    EXPECT_FALSE(forksMatch(tiny, flipped(tiny, 12)));
    EXPECT_TRUE(forksMatch(tiny, tiny));

    Fork smallMap = sampleFork();
    set16(smallMap.bytes, 14, 29);  // map length 29 in the header
    EXPECT_EQ(normalizedResourceFork(smallMap.bytes), smallMap.bytes);
    EXPECT_FALSE(forksMatch(smallMap.bytes, flipped(smallMap.bytes, smallMap.map + 16)));

    // The second type's reference list starts beyond the map: nothing is cleared, not even the
    // first type's handles.
    Fork outside = sampleFork();
    const std::size_t secondType = outside.map + 28 + 2 + 8;
    set16(outside.bytes, secondType + 6, 0xFFF0);
    EXPECT_EQ(normalizedResourceFork(outside.bytes), outside.bytes);
    EXPECT_FALSE(forksMatch(outside.bytes, flipped(outside.bytes, outside.refs[0] + 8)));

    // A reference count that runs past the end of the map.
    Fork tooMany = sampleFork();
    set16(tooMany.bytes, secondType + 4, 5);
    EXPECT_EQ(normalizedResourceFork(tooMany.bytes), tooMany.bytes);

    EXPECT_TRUE(forksMatch(std::nullopt, std::nullopt));
    EXPECT_FALSE(forksMatch(std::nullopt, Bytes{}));
    EXPECT_FALSE(forksMatch(sampleFork().bytes, std::nullopt));
    EXPECT_EQ(normalizedResourceFork(std::nullopt), std::nullopt);
}

TEST(ResourceFork, ArbitraryBytesNeverChangeLength) {
    std::mt19937 random(20240611);
    const auto check = [](const Bytes& input) {
        const auto normalized = normalizedResourceFork(input);
        ASSERT_TRUE(normalized.has_value());
        ASSERT_EQ(normalized->size(), input.size());
        ASSERT_EQ(normalizedResourceFork(normalized), normalized);  // idempotent
        ASSERT_TRUE(forksMatch(input, input));
    };
    for (int round = 0; round < 4000; ++round) {
        Bytes noise(random() % 201);
        for (auto& byte : noise)
            byte = static_cast<std::uint8_t>(random());
        check(noise);
    }
    const Bytes base = sampleFork().bytes;
    for (int round = 0; round < 4000; ++round) {
        Bytes mutated = base;
        const auto edits = 1 + random() % 4;
        for (decltype(random()) e = 0; e < edits; ++e) {
            // Favour the header and the map, where the parser reads.
            const std::size_t at = random() % 2 == 0 ? random() % 16 : 256 + random() % (base.size() - 256);
            mutated[at] = static_cast<std::uint8_t>(random() % 3 == 0 ? 0xFF : random());
        }
        if (random() % 4 == 0)
            mutated.resize(random() % mutated.size());
        check(mutated);
    }
}

IconFile icon(const std::string& contents, AttributeMap attributes = {}, std::uint16_t mode = 0644) {
    return IconFile{bytesOf(contents), std::move(attributes), mode};
}

TEST(IconFileMatch, PresenceContentsAndMode) {
    const AttributeMap x1{{"x", bytesOf("1")}}, x2{{"x", bytesOf("2")}};
    const IconFile a = icon("A", x1, 0644), b = icon("B", x2, 0600);
    EXPECT_TRUE(iconFileMatchesEither(std::nullopt, a, std::nullopt));
    EXPECT_TRUE(iconFileMatchesEither(std::nullopt, std::nullopt, b));
    EXPECT_FALSE(iconFileMatchesEither(std::nullopt, a, b));
    EXPECT_TRUE(iconFileMatchesEither(a, a, b));
    EXPECT_TRUE(iconFileMatchesEither(b, a, b));
    EXPECT_FALSE(iconFileMatchesEither(a, std::nullopt, std::nullopt));
    EXPECT_FALSE(iconFileMatchesEither(icon("C", x1), a, b));
    // An absent reference stands for empty contents.
    EXPECT_TRUE(iconFileMatchesEither(icon("", x1), a, std::nullopt));
    EXPECT_FALSE(iconFileMatchesEither(icon("", x1), a, b));
    // Mode: a's (b's when a is absent), or b's when b is present.
    EXPECT_TRUE(iconFileMatchesEither(icon("A", x1, 0600), a, b));
    EXPECT_FALSE(iconFileMatchesEither(icon("A", x1, 0755), a, b));
    EXPECT_FALSE(iconFileMatchesEither(icon("", x1, 0600), a, std::nullopt));
    EXPECT_TRUE(iconFileMatchesEither(icon("", x2, 0600), std::nullopt, b));
    EXPECT_FALSE(iconFileMatchesEither(icon("", x2, 0644), std::nullopt, b));
}

TEST(IconFileMatch, AttributesMixPerNameAndForksCompareNormalized) {
    const std::string fi = kFinderInfoAttribute, rf = kResourceForkAttribute;
    const Fork forkA = sampleFork(), forkB = buildFork({{"icns", {{128, "other icon", 0x44444444}}}});
    const Bytes finderA(32, 0x01), finderB(32, 0x02);
    const IconFile a = icon("C", {{fi, finderA}, {"x", bytesOf("a")}, {rf, forkA.bytes}});
    const IconFile b = icon("C", {{fi, finderB}, {"x", bytesOf("b")}, {rf, forkB.bytes}});
    const auto match = [&](const AttributeMap& current) {
        return iconFileMatchesEither(icon("C", current), a, b);
    };

    EXPECT_TRUE(match({{fi, finderA}, {"x", bytesOf("b")}}));  // mixed, and no fork at all
    EXPECT_FALSE(match({{fi, Bytes(32, 3)}, {"x", bytesOf("a")}}));
    EXPECT_FALSE(match({{fi, finderA}}));  // x missing
    EXPECT_FALSE(match({{fi, finderA}, {"x", bytesOf("a")}, {"extra", bytesOf("e")}}));
    const Bytes rehandled = flipped(flipped(forkA.bytes, forkA.map + 17), forkA.refs[2] + 9);
    EXPECT_TRUE(match({{fi, finderB}, {"x", bytesOf("a")}, {rf, rehandled}}));
    EXPECT_FALSE(match({{fi, finderB}, {"x", bytesOf("b")}, {rf, flipped(forkB.bytes, forkB.data[0])}}));
    // A fork that no reference has is refused.
    const AttributeMap xa{{"x", bytesOf("a")}};
    EXPECT_FALSE(iconFileMatchesEither(icon("C", {{"x", bytesOf("a")}, {rf, forkA.bytes}}), icon("C", xa),
                                       std::nullopt));
}

TEST(StateMatch, ForkFlagAndIconFile) {
    const Bytes flagged = finderWith(32, 8, 0x04, 0xA0), plain(32, 0x00);
    const Fork fork = sampleFork();
    const IconState a{flagged, fork.bytes, icon("A")};
    const IconState b{plain, buildFork({{"icns", {{1, "b", 7}}}}).bytes, std::nullopt};

    EXPECT_TRUE(stateMatchesEither(IconState{flagged, std::nullopt, icon("A")}, a, b));
    EXPECT_TRUE(stateMatchesEither(IconState{plain, std::nullopt, std::nullopt}, a, b));
    EXPECT_TRUE(
        stateMatchesEither(IconState{flagged, flipped(fork.bytes, fork.refs[0] + 10), icon("A")}, a, b));
    EXPECT_FALSE(stateMatchesEither(IconState{flagged, bytesOf("unrelated fork"), icon("A")}, a, b));
    EXPECT_FALSE(stateMatchesEither(IconState{flagged, std::nullopt, icon("Z")}, a, b));

    // Only the flag of the Finder information counts.
    EXPECT_TRUE(
        stateMatchesEither(IconState{finderWith(32, 8, 0x04, 0x5F), std::nullopt, std::nullopt}, a, b));
    EXPECT_TRUE(stateMatchesEither(IconState{std::nullopt, std::nullopt, std::nullopt}, a, b));
    const IconState noFlags{plain, std::nullopt, std::nullopt};
    EXPECT_FALSE(stateMatchesEither(IconState{flagged, std::nullopt, std::nullopt}, noFlags, noFlags));
    EXPECT_FALSE(stateMatchesEither(IconState{std::nullopt, std::nullopt, std::nullopt}, a, a));
}

}  // namespace
}  // namespace lumaro
