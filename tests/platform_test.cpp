// The platform layer: paths, device encoding, the real FileSystem, file operations, UTF-8 repair.
#include <gtest/gtest.h>

#include "platform/item_handle.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <set>
#include <tuple>
#include <vector>

#include "platform/file_ops.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "tests/support/fault_fs.h"
#include "tests/support/scratch.h"

namespace lumaro::platform {
namespace {

using test::fileMode;
using test::readFile;
using test::ScratchDir;

FileSystem& real() { return FileSystem::real(); }

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
    EXPECT_EQ(std::tuple(lastPathComponent("/a/b//"), deletingLastPathComponent("/a"), pathExtension("/E.app/"),
                         pathExtension("/x/.hidden"), deletingPathExtension("a.b.c")),
              std::tuple("b", "/", "app", "", "a.b"));
}

TEST(platformDevice, EncodesMajorAndMinorIntoThirtyTwoSignedBits) {
    EXPECT_EQ(encodeDevice(8, 1), 2049);
    EXPECT_EQ(encodeDevice(0xFFFFFF, 0), -256);            // reinterpreted as signed
    EXPECT_EQ(encodeDevice(0x1000001, 0), 256);            // the major's top bits wrap away
    EXPECT_EQ(encodeDevice(259, 0xABCDEF12), -554630382);  // 0xDEF10312
    struct stat raw {};
    FileStatus st;
    ASSERT_EQ(::lstat("/", &raw) | real().lstat("/", st), 0);
    EXPECT_EQ(st.device, encodeDevice(major(raw.st_dev), minor(raw.st_dev)));
}

TEST(platformAtomicWrite, ExactModeUnderAnyUmaskAndSyncBeforeRename) {
    ScratchDir scratch;
    const std::string path = scratch / "manifest.json";
    test::writeFile(path, "the old and much longer contents", 0600);
    const test::ScopedUmask umask(077);
    test::FaultFs fs;
    ASSERT_EQ(writeFileAtomically(fs, path, "new", 3, 0644), 0);
    EXPECT_EQ(readFile(path), "new");
    EXPECT_EQ(fileMode(path), 0644u);
    EXPECT_EQ(namesIn(scratch.path()), std::set<std::string>{"manifest.json"});  // no temporary left

    const std::string temporary = fs.log.at(0).substr(5);  // "open <path>"
    const long write = fs.indexOf("write " + temporary), sync = fs.indexOf("fsync " + temporary);
    const long rename = fs.indexOf("rename " + temporary + " " + path);
    EXPECT_TRUE(0 <= write && write < sync && sync < rename) << testing::PrintToString(fs.log);
}

TEST(platformAtomicWrite, FailureKeepsTheOldFileAndRemovesTheTemporary) {
    for (const auto& [call, error] :
         {std::pair{"write", ENOSPC}, {"fsync", EIO}, {"rename", EROFS}, {"fchmod", EPERM}, {"close", EIO}}) {
        ScratchDir scratch;
        test::writeFile(scratch / "file", "old contents", 0600);
        test::FaultFs fs;
        fs.fail[call] = error;
        const std::string data(100000, 'n');
        EXPECT_EQ(writeFileAtomically(fs, scratch / "file", data.data(), data.size(), 0644), error) << call;
        EXPECT_EQ(readFile(scratch / "file"), "old contents") << call;
        EXPECT_EQ(namesIn(scratch.path()), std::set<std::string>{"file"}) << call;
        EXPECT_TRUE(fs.openFds.empty()) << call;
    }
}

TEST(platformAtomicWrite, LeftoverTemporariesOfOurTargetsGoAndNothingElse) {
    ScratchDir scratch;
    test::writeFile(scratch / "target", "keep", 0600);
    for (const std::string& name : {std::string(".backup.json.0123456789abcdeg.tmp"),
                                    std::string(".notes.txt.0123456789abcdef.tmp"), std::string("backup.json.tmp")})
        test::writeFile(scratch / name, "x", 0600);
    ASSERT_EQ(::symlink("target", (scratch / ".backup.json.1111111111111111.tmp").c_str()), 0);
    ASSERT_EQ(::mkdir((scratch / ".backup.json.2222222222222222.tmp").c_str(), 0700), 0);
    const std::set<std::string> expected = namesIn(scratch.path());
    test::FaultFs fs;  // leaves the temporary an atomic write really makes behind
    fs.fail = {{"rename", EIO}, {"unlink", EIO}};
    EXPECT_EQ(writeFileAtomically(fs, scratch / "backup.json", "x", 1, 0600), EIO);
    ASSERT_EQ(namesIn(scratch.path()).size(), expected.size() + 1);
    removeStaleTemporaries(real(), scratch.path(), [](const std::string& t) { return t == "backup.json"; });
    EXPECT_EQ(namesIn(scratch.path()), expected);
    EXPECT_EQ(readFile(scratch / "target"), "keep");
}

TEST(platformCreateDirectories, NewFoldersGetExactlyTheModeAndOthersAreLeftAlone) {
    ScratchDir scratch;
    const test::ScopedUmask umask(077);
    test::makeDirectory(scratch / "old", 0755);
    ASSERT_EQ(createDirectories(real(), scratch / "old/a/./b/", 0700), 0);
    ASSERT_EQ(createDirectories(real(), scratch / "wide", 0751), 0);  // wider than the umask allows
    EXPECT_EQ(std::tuple(fileMode(scratch / "old"), fileMode(scratch / "old/a"), fileMode(scratch / "old/a/b"),
                         fileMode(scratch / "wide")),
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
    EXPECT_EQ(readRegularFile(fs, scratch / "link", 100, out), ELOOP);
    EXPECT_EQ(readRegularFile(fs, scratch.path(), 100, out), EINVAL);
    EXPECT_EQ(readRegularFile(fs, scratch / "fifo", 100, out), EINVAL);
    EXPECT_FALSE(fs.blocked);
}

TEST(platformText, ControlCharactersAreShownAndInvalidSequencesReplaced) {
    EXPECT_EQ(visibleText("a\r\x1b[2J\x7f\xc2\x9b\t\n\xe4\xb8\xad"), "a\\r\\x1B[2J\\x7F\\x9B\\t\\n\xe4\xb8\xad");
    EXPECT_EQ(visibleText("a\x1b\xc2\x85\xc2\xa0", ControlCharacters::replace), "a??\xc2\xa0");

    const std::string r = "\xEF\xBF\xBD";
    for (const std::string valid : {"Gr\xC3\xBC\xC3\x9F" "e", "\xF0\x9F\x98\x80", "\xEF\xBB\xBF" "bom"})
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

}  // namespace
}  // namespace lumaro::platform
