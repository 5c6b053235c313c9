// The platform layer: path text, the device encoding, the real FileSystem and the file
// operations composed from it, and UTF-8 repair.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "platform/file_ops.h"
#include "platform/file_system.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "tests/support/scratch.h"

namespace lumaro::platform {
namespace {

using test::bytesOf;
using test::fileMode;
using test::hasRawAttribute;
using test::rawAttribute;
using test::readFile;
using test::ScratchDir;
using test::setRawAttribute;
using test::writeFile;

FileSystem& real() { return FileSystem::real(); }

class UmaskScope {
public:
    explicit UmaskScope(mode_t mask) : old_(::umask(mask)) {}
    ~UmaskScope() { ::umask(old_); }
    UmaskScope(const UmaskScope&) = delete;
    UmaskScope& operator=(const UmaskScope&) = delete;

private:
    mode_t old_;
};

// Runs `body` in a forked child (as user and group 65534 when `unprivileged`) under a
// watchdog alarm, and returns what the body returned; negative when the child failed or died.
int inChild(bool unprivileged, const std::function<int()>& body) {
    int fds[2];
    if (::pipe(fds) != 0) {
        return -1;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        ::alarm(60);  // a hanging call kills the child instead of the test run
        int result = -2;
        if (!unprivileged || (::setgroups(0, nullptr) == 0 && ::setresgid(65534, 65534, 65534) == 0 &&
                              ::setresuid(65534, 65534, 65534) == 0)) {
            result = body();
        }
        [[maybe_unused]] const ssize_t n = ::write(fds[1], &result, sizeof result);
        ::_exit(0);
    }
    ::close(fds[1]);
    int result = -3;
    const ssize_t got = pid > 0 ? ::read(fds[0], &result, sizeof result) : -1;
    ::close(fds[0]);
    if (pid > 0) {
        int status = 0;
        ::waitpid(pid, &status, 0);
    }
    return got == static_cast<ssize_t>(sizeof result) ? result : -4;
}

std::set<std::string> namesIn(const std::string& folder) {
    std::vector<std::string> names;
    EXPECT_EQ(real().listDirectory(folder, names), 0);
    return {names.begin(), names.end()};
}

std::set<std::string> attributeNames(const std::string& path) {
    std::size_t length = 0;
    EXPECT_EQ(real().listAttributes(path, nullptr, 0, length), 0);
    std::vector<char> buffer(length);
    EXPECT_EQ(real().listAttributes(path, buffer.data(), buffer.size(), length), 0);
    std::set<std::string> names;
    for (std::size_t start = 0; start < length;) {
        const std::string name(buffer.data() + start);
        names.insert(name);
        start += name.size() + 1;
    }
    return names;
}

void makeSymlink(const std::string& target, const std::string& link) {
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0) << link;
}

TEST(platformPaths, StandardizePathIsLexical) {
    const std::pair<const char*, const char*> cases[] = {
        {"/a/./b//c/", "/a/b/c"}, {"/a/b/../c", "/a/c"}, {"/..", "/"}, {"/../../x", "/x"}, {"/", "/"},
        {"//", "/"}, {"/a/b/..", "/a"}, {"", "."}, {".", "."}, {"a/./b/", "a/b"}, {"a/..", "."},
        {"a/../../b", "../b"}, {"../a/../..", "../.."}};
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(standardizePath(input), expected) << input;
    }
    // ".." after a link removes the link's name, not the link target's last component.
    ScratchDir scratch;
    test::makeDirectory(scratch / "real");
    test::makeDirectory(scratch / "real/deep");
    makeSymlink(scratch / "real/deep", scratch / "link");
    EXPECT_EQ(standardizePath(scratch / "link/.."), standardizePath(scratch.path()));
}

TEST(platformPaths, ComponentsAndExtensions) {
    using Function = std::string (*)(std::string_view);
    const Function last = lastPathComponent, parent = deletingLastPathComponent, ext = pathExtension,
                   stem = deletingPathExtension;
    const std::tuple<Function, const char*, const char*> cases[] = {
        {last, "/a/b", "b"}, {last, "/a/b//", "b"}, {last, "/", ""}, {last, "name", "name"},
        {parent, "/a/b", "/a"}, {parent, "/a/b/", "/a"}, {parent, "/a", "/"}, {parent, "a/b", "a"},
        {parent, "a", "."}, {ext, "Tool.APP", "APP"}, {ext, "/E.app/", "app"}, {ext, ".hidden", ""},
        {ext, "/x/.hidden", ""}, {ext, "a.b.c", "c"}, {ext, "/dir.d/plain", ""}, {stem, "a.b.c", "a.b"},
        {stem, "Editor.app", "Editor"}, {stem, ".hidden", ".hidden"}, {stem, "plain", "plain"}};
    for (const auto& [function, input, expected] : cases) {
        EXPECT_EQ(function(input), expected) << input;
    }
    EXPECT_EQ(appendPathComponent("/a", "b"), "/a/b");
    EXPECT_EQ(appendPathComponent("/a/", "b"), "/a/b");
    EXPECT_EQ(appendPathComponent("/", "b"), "/b");
    EXPECT_EQ(asciiLower("\xC3\x84" "BC.App"), "\xC3\x84" "bc.app");
}

TEST(platformDevice, EncodesMajorAndMinorIntoThirtyTwoBits) {
    EXPECT_EQ(encodeDevice(8, 1), 2049);
    EXPECT_EQ(encodeDevice(0, 0), 0);
    EXPECT_EQ(encodeDevice(1, 0x100), 0x100100);
    EXPECT_EQ(encodeDevice(259, 0x12345), 0x12310345);
    EXPECT_EQ(encodeDevice(0, 0xFFFFF), -1048321);          // 0xFFF000FF
    EXPECT_EQ(encodeDevice(0xFFFFFF, 0), -256);             // 0xFFFFFF00
    EXPECT_EQ(encodeDevice(0x1000001, 0), 256);             // the major's top bits wrap away
    EXPECT_EQ(encodeDevice(259, 0xABCDEF12), -554630382);   // 0xDEF10312

    ScratchDir scratch;
    writeFile(scratch / "f", "x");
    for (const std::string& path : {scratch / "f", std::string("/")}) {
        struct stat raw {};
        ASSERT_EQ(::lstat(path.c_str(), &raw), 0);
        FileStatus st;
        ASSERT_EQ(real().lstat(path, st), 0);
        EXPECT_EQ(st.device, encodeDevice(major(raw.st_dev), minor(raw.st_dev))) << path;
    }
}

TEST(platformRealFileSystem, LstatDescribesTheLinkItselfAndReportsBirthTime) {
    ScratchDir scratch;
    const std::string file = scratch / "file";
    writeFile(file, "hello", 0640);
    makeSymlink(file, scratch / "link");

    FileStatus st;
    ASSERT_EQ(real().lstat(file, st), 0);
    struct statx raw {};
    ASSERT_EQ(::statx(AT_FDCWD, file.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &raw), 0);
    EXPECT_EQ(st.mode, static_cast<std::uint32_t>(S_IFREG | 0640));
    EXPECT_EQ(st.size, 5u);
    EXPECT_EQ(st.linkCount, 1u);
    EXPECT_EQ(st.inode, raw.stx_ino);
    if ((raw.stx_mask & STATX_BTIME) != 0) {
        EXPECT_EQ(st.birthSeconds, raw.stx_btime.tv_sec);
        EXPECT_EQ(st.birthNanos, static_cast<std::int64_t>(raw.stx_btime.tv_nsec));
        EXPECT_NE(st.birthSeconds, 0);
    } else {
        EXPECT_EQ(st.birthSeconds, 0);
        EXPECT_EQ(st.birthNanos, 0);
    }

    FileStatus link;
    ASSERT_EQ(real().lstat(scratch / "link", link), 0);
    EXPECT_EQ(link.type(), static_cast<std::uint32_t>(S_IFLNK));
    EXPECT_NE(link.inode, st.inode);
    FileStatus followed;
    ASSERT_EQ(real().stat(scratch / "link", followed), 0);
    EXPECT_TRUE(followed.isRegular());
    EXPECT_EQ(followed.inode, st.inode);
    EXPECT_EQ(real().lstat(scratch / "missing", link), ENOENT);
}

TEST(platformRealFileSystem, AttributesLiveInTheUserNamespace) {
    ScratchDir scratch;
    const std::string file = scratch / "file";
    writeFile(file, "x");
    const Bytes finder = bytesOf("0123456789abcdef0123456789ABCDEF");
    ASSERT_EQ(real().setAttribute(file, "com.apple.FinderInfo", finder.data(), finder.size()), 0);
    EXPECT_EQ(rawAttribute(file, "user.com.apple.FinderInfo"), finder);  // stored as "user." + name
    EXPECT_FALSE(hasRawAttribute(file, "com.apple.FinderInfo"));
    setRawAttribute(file, "trusted.x", bytesOf("hidden"));
    setRawAttribute(file, "user.other", bytesOf("v"));
    ASSERT_EQ(real().setAttribute(file, "empty", "", 0), 0);

    std::size_t length = 0;
    ASSERT_EQ(real().getAttribute(file, "com.apple.FinderInfo", nullptr, 0, length), 0);
    EXPECT_EQ(length, 32u);
    Bytes buffer(32);
    EXPECT_EQ(real().getAttribute(file, "com.apple.FinderInfo", buffer.data(), 31, length), ERANGE);
    ASSERT_EQ(real().getAttribute(file, "com.apple.FinderInfo", buffer.data(), buffer.size(), length), 0);
    EXPECT_EQ(length, 32u);
    EXPECT_EQ(buffer, finder);
    ASSERT_EQ(real().getAttribute(file, "empty", buffer.data(), buffer.size(), length), 0);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(real().getAttribute(file, "missing", nullptr, 0, length), ENODATA);
    EXPECT_EQ(real().getAttribute(file, "x", nullptr, 0, length), ENODATA);  // "trusted.x" stays out of reach

    EXPECT_EQ(attributeNames(file), (std::set<std::string>{"com.apple.FinderInfo", "other", "empty"}));
    ASSERT_EQ(real().listAttributes(file, nullptr, 0, length), 0);
    EXPECT_EQ(length, std::strlen("com.apple.FinderInfo") + std::strlen("other") + std::strlen("empty") + 3);
    std::vector<char> small(length - 1);
    EXPECT_EQ(real().listAttributes(file, small.data(), small.size(), length), ERANGE);

    EXPECT_EQ(real().removeAttribute(file, "other"), 0);
    EXPECT_FALSE(hasRawAttribute(file, "user.other"));
    EXPECT_EQ(real().removeAttribute(file, "other"), ENODATA);
    EXPECT_TRUE(hasRawAttribute(file, "trusted.x"));
    EXPECT_EQ(attributeNames(file), (std::set<std::string>{"com.apple.FinderInfo", "empty"}));
}

TEST(platformRealFileSystem, AttributeCallsOnALinkNeverReachItsTarget) {
    ScratchDir scratch;
    const std::string target = scratch / "target";
    const std::string link = scratch / "link";
    writeFile(target, "x");
    setRawAttribute(target, "user.mark", bytesOf("m"));
    makeSymlink(target, link);

    std::size_t length = 0;
    EXPECT_NE(real().getAttribute(link, "mark", nullptr, 0, length), 0);
    EXPECT_NE(real().setAttribute(link, "new", "v", 1), 0);
    EXPECT_FALSE(hasRawAttribute(target, "user.new"));
    EXPECT_NE(real().removeAttribute(link, "mark"), 0);
    EXPECT_TRUE(hasRawAttribute(target, "user.mark"));
    EXPECT_EQ(attributeNames(link).count("mark"), 0u);
}

TEST(platformAtomicWrite, ResultHasExactlyTheModeAndReplacesTheOldFile) {
    ScratchDir scratch;
    std::set<std::string> expected;
    for (const mode_t mask : {mode_t{077}, mode_t{000}, mode_t{022}}) {
        UmaskScope umask(mask);
        for (const unsigned mode : {0600u, 0644u, 0640u, 0666u, 0400u}) {
            const std::string name = "f" + std::to_string(mask) + "-" + std::to_string(mode);
            const std::string data = "data " + name;
            ASSERT_EQ(writeFileAtomically(real(), scratch / name, data.data(), data.size(), mode), 0) << name;
            EXPECT_EQ(fileMode(scratch / name), mode) << name;
            EXPECT_EQ(readFile(scratch / name), data);
            expected.insert(name);
        }
    }

    const std::string path = scratch / "manifest.json";
    writeFile(path, "the old and much longer contents", 0600);
    struct stat before {};
    ASSERT_EQ(::lstat(path.c_str(), &before), 0);
    ASSERT_EQ(writeFileAtomically(real(), path, "new", 3, 0644), 0);
    EXPECT_EQ(readFile(path), "new");
    EXPECT_EQ(fileMode(path), 0644u);
    struct stat after {};
    ASSERT_EQ(::lstat(path.c_str(), &after), 0);
    EXPECT_NE(after.st_ino, before.st_ino);  // a new file took the name; the old one was not rewritten
    ASSERT_EQ(writeFileAtomically(real(), path, "", 0, 0600), 0);
    EXPECT_EQ(readFile(path), "");
    expected.insert("manifest.json");

    // A link at the path is replaced by the file; its target is untouched.
    writeFile(scratch / "outside", "keep");
    makeSymlink(scratch / "outside", scratch / "link");
    ASSERT_EQ(writeFileAtomically(real(), scratch / "link", "mine", 4, 0600), 0);
    EXPECT_EQ(readFile(scratch / "outside"), "keep");
    EXPECT_EQ(readFile(scratch / "link"), "mine");
    EXPECT_EQ(fileMode(scratch / "link"), 0600u);
    expected.insert({"outside", "link"});

    EXPECT_EQ(namesIn(scratch.path()), expected);  // no temporary file left behind
}

// Logs the calls of interest ("open fd path", "write fd", "fsync fd", "close fd", "rename from to")
// and fails the one named `failing` with `error`.
class ScriptedFileSystem : public ForwardingFileSystem {
public:
    explicit ScriptedFileSystem(std::string failing = "", int error = 0)
        : ForwardingFileSystem(FileSystem::real()), failing_(std::move(failing)), error_(error) {}
    std::vector<std::string> log;
    int opened = 0;
    int closed = 0;

    int open(const std::string& path, int flags, unsigned mode, int& fd) override {
        const int err = failing_ == "open" ? error_ : target().open(path, flags, mode, fd);
        if (err == 0) {
            ++opened;
            log.push_back("open " + std::to_string(fd) + " " + path);
        }
        return err;
    }
    int write(int fd, const void* data, std::size_t size, std::size_t& written) override {
        log.push_back("write " + std::to_string(fd));
        return failing_ == "write" ? error_ : target().write(fd, data, size, written);
    }
    int fchmod(int fd, unsigned mode) override {
        return failing_ == "fchmod" ? error_ : target().fchmod(fd, mode);
    }
    int fsync(int fd) override {
        log.push_back("fsync " + std::to_string(fd));
        return failing_ == "fsync" ? error_ : target().fsync(fd);
    }
    int close(int fd) override {
        ++closed;
        log.push_back("close " + std::to_string(fd));
        const int err = target().close(fd);  // released even when close reports an error
        return failing_ == "close" ? error_ : err;
    }
    int rename(const std::string& from, const std::string& to) override {
        log.push_back("rename " + from + " " + to);
        return failing_ == "rename" ? error_ : target().rename(from, to);
    }
    std::ptrdiff_t indexOf(const std::string& entry) const {
        const auto it = std::find(log.begin(), log.end(), entry);
        return it == log.end() ? -1 : it - log.begin();
    }

private:
    std::string failing_;
    int error_;
};

TEST(platformAtomicWrite, FailureKeepsTheOldFileAndRemovesTheTemporary) {
    const std::pair<const char*, int> faults[] = {{"write", ENOSPC}, {"fsync", EIO},  {"rename", EROFS},
                                                  {"fchmod", EPERM}, {"close", EIO}, {"open", EDQUOT}};
    for (const auto& [call, error] : faults) {
        ScratchDir scratch;
        const std::string path = scratch / "file";
        writeFile(path, "old contents", 0600);
        ScriptedFileSystem fs(call, error);
        const std::string data(100000, 'n');
        EXPECT_EQ(writeFileAtomically(fs, path, data.data(), data.size(), 0644), error) << call;
        EXPECT_EQ(readFile(path), "old contents") << call;
        EXPECT_EQ(fileMode(path), 0600u) << call;
        EXPECT_EQ(namesIn(scratch.path()), std::set<std::string>{"file"}) << call;
        EXPECT_EQ(fs.opened, fs.closed) << call;
    }
}

TEST(platformAtomicWrite, SyncsTheDataBeforeTheRename) {
    ScratchDir scratch;
    const std::string path = scratch / "file";
    ScriptedFileSystem fs;
    ASSERT_EQ(writeFileAtomically(fs, path, "payload", 7, 0600), 0);
    ASSERT_FALSE(fs.log.empty());
    const std::string& opening = fs.log.front();
    ASSERT_EQ(opening.rfind("open ", 0), 0u) << opening;
    const std::string fd = opening.substr(5, opening.find(' ', 5) - 5);
    const std::string temporary = opening.substr(opening.find(' ', 5) + 1);
    EXPECT_EQ(deletingLastPathComponent(temporary), scratch.path());  // same folder: rename is atomic
    EXPECT_NE(temporary, path);

    const std::ptrdiff_t write = fs.indexOf("write " + fd);
    const std::ptrdiff_t sync = fs.indexOf("fsync " + fd);
    const std::ptrdiff_t rename = fs.indexOf("rename " + temporary + " " + path);
    ASSERT_TRUE(write >= 0 && sync >= 0 && rename >= 0) << testing::PrintToString(fs.log);
    EXPECT_LT(write, sync);
    EXPECT_LT(sync, rename);
    EXPECT_EQ(readFile(path), "payload");
}

TEST(platformAtomicWrite, UnprivilegedWriterInAReadOnlyFolderChangesNothing) {
    ScratchDir scratch;
    ASSERT_EQ(::chmod(scratch.path().c_str(), 0755), 0);
    const std::string path = scratch / "file";
    writeFile(path, "old", 0666);
    EXPECT_EQ(inChild(true, [&] { return writeFileAtomically(real(), path, "new", 3, 0644); }), EACCES);
    EXPECT_EQ(readFile(path), "old");
    EXPECT_EQ(namesIn(scratch.path()), std::set<std::string>{"file"});
}

TEST(platformCreateDirectories, NewFoldersGetExactlyTheModeUnderAnyUmask) {
    ScratchDir scratch;
    for (const mode_t mask : {mode_t{022}, mode_t{077}}) {
        UmaskScope umask(mask);
        const std::string base = scratch / ("u" + std::to_string(mask));
        ASSERT_EQ(createDirectories(real(), base + "/a/./b//c/", 0700), 0);
        for (const std::string& folder : {base, base + "/a", base + "/a/b", base + "/a/b/c"}) {
            EXPECT_EQ(fileMode(folder), 0700u) << folder;
        }
        ASSERT_EQ(createDirectories(real(), base + "/wide/open", 0751), 0);
        EXPECT_EQ(fileMode(base + "/wide"), 0751u);
        EXPECT_EQ(fileMode(base + "/wide/open"), 0751u);
        EXPECT_EQ(createDirectories(real(), base + "/a/b/c", 0755), 0);  // already there
        EXPECT_EQ(fileMode(base + "/a/b/c"), 0700u);
    }
}

TEST(platformCreateDirectories, RefusesWhatIsInTheWayAndFollowsLinksToFolders) {
    ScratchDir scratch;
    writeFile(scratch / "file", "data");
    EXPECT_NE(createDirectories(real(), scratch / "file", 0700), 0);
    EXPECT_NE(createDirectories(real(), scratch / "file/sub", 0700), 0);
    EXPECT_EQ(readFile(scratch / "file"), "data");

    test::makeDirectory(scratch / "real", 0755);
    makeSymlink(scratch / "real", scratch / "link");
    EXPECT_EQ(createDirectories(real(), scratch / "link", 0700), 0);
    ASSERT_EQ(createDirectories(real(), scratch / "link/n/m", 0700), 0);
    EXPECT_EQ(fileMode(scratch / "real/n"), 0700u);
    EXPECT_EQ(fileMode(scratch / "real/n/m"), 0700u);
    EXPECT_EQ(fileMode(scratch / "real"), 0755u);  // an existing folder keeps its mode
    FileStatus st;
    ASSERT_EQ(real().lstat(scratch / "link", st), 0);
    EXPECT_EQ(st.type(), static_cast<std::uint32_t>(S_IFLNK));

    makeSymlink(scratch / "nowhere", scratch / "dangling");
    EXPECT_NE(createDirectories(real(), scratch / "dangling", 0700), 0);
    EXPECT_NE(real().lstat(scratch / "nowhere", st), 0);

    ASSERT_EQ(::chmod(scratch.path().c_str(), 0755), 0);
    test::makeDirectory(scratch / "locked", 0555);
    EXPECT_EQ(inChild(true, [&] { return createDirectories(real(), scratch / "locked/a/b", 0700); }), EACCES);
    EXPECT_EQ(namesIn(scratch / "locked"), std::set<std::string>{});
}

// Reports a smaller size from fstat than the file has.
class ShrinkingStatFileSystem : public ForwardingFileSystem {
public:
    ShrinkingStatFileSystem() : ForwardingFileSystem(FileSystem::real()) {}
    int fstat(int fd, FileStatus& out) override {
        const int err = target().fstat(fd, out);
        out.size = 1;
        return err;
    }
};

TEST(platformReadRegularFile, ReadsExactlyWithinTheLimit) {
    ScratchDir scratch;
    std::string contents(200001, '\0');
    for (std::size_t i = 0; i < contents.size(); ++i) {
        contents[i] = static_cast<char>((i * 131u) % 251u);
    }
    writeFile(scratch / "big", contents);
    writeFile(scratch / "empty", "");

    Bytes out;
    ASSERT_EQ(readRegularFile(real(), scratch / "big", contents.size(), out), 0);
    EXPECT_EQ(out, bytesOf(contents));
    EXPECT_EQ(readRegularFile(real(), scratch / "big", contents.size() - 1, out), EFBIG);
    ASSERT_EQ(readRegularFile(real(), scratch / "empty", 0, out), 0);
    EXPECT_TRUE(out.empty());
    // The limit also holds while reading, when the file is larger than fstat said.
    ShrinkingStatFileSystem shrinking;
    EXPECT_EQ(readRegularFile(shrinking, scratch / "big", 100000, out), EFBIG);
    ASSERT_EQ(readRegularFile(shrinking, scratch / "big", contents.size(), out), 0);
    EXPECT_EQ(out.size(), contents.size());
}

TEST(platformReadRegularFile, RefusesEverythingButARegularFile) {
    ScratchDir scratch;
    ASSERT_EQ(::chmod(scratch.path().c_str(), 0755), 0);
    writeFile(scratch / "file", "secret", 0600);
    makeSymlink(scratch / "file", scratch / "link");
    test::makeDirectory(scratch / "folder");
    ASSERT_EQ(::mkfifo((scratch / "fifo").c_str(), 0644), 0);

    Bytes out;
    EXPECT_EQ(readRegularFile(real(), scratch / "link", 100, out), ELOOP);
    EXPECT_EQ(readRegularFile(real(), scratch / "folder", 100, out), EINVAL);
    EXPECT_EQ(readRegularFile(real(), "/dev/null", 100, out), EINVAL);
    EXPECT_EQ(readRegularFile(real(), scratch / "missing", 100, out), ENOENT);
    // A FIFO without a writer must be refused at once, not waited on.
    EXPECT_EQ(inChild(false, [&] {
                  Bytes data;
                  return readRegularFile(real(), scratch / "fifo", 100, data);
              }),
              EINVAL);
    EXPECT_EQ(inChild(true, [&] {
                  Bytes data;
                  return readRegularFile(real(), scratch / "file", 100, data);
              }),
              EACCES);
}

TEST(platformText, ValidTextIsKeptAndInvalidBytesBecomeReplacementCharacters) {
    const std::string valid[] = {"", "plain", "Gr\xC3\xBC\xC3\x9F" "e", "\xE6\x97\xA5\xE6\x9C\xAC",
                                 "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF", "\xEF\xBF\xBD", "\xED\x9F\xBF",
                                 "\xEE\x80\x80", std::string("a\0b", 3), "\xEF\xBB\xBF" "bom"};
    for (const std::string& text : valid) {
        EXPECT_TRUE(isValidUtf8(text)) << text;
        EXPECT_EQ(toValidUtf8(text), text);
    }
    const std::string invalid[] = {
        "\xC0\xAF",         "\xC1\xBF",         "\xE0\x80\xAF", "\xE0\x9F\xBF",     "\xF0\x80\x80\xAF",
        "\xF0\x8F\xBF\xBF", "\xED\xA0\x80",     "\xED\xBF\xBF", "\xED\xA0\xBD\xED\xB8\x80",
        "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xF8\x88\x80\x80\x80", "\xFF", "\xFE", "\x80",
        "\xE2\x82",         "\xC3"};
    const std::string replacement = "\xEF\xBF\xBD";
    for (const std::string& bad : invalid) {
        const std::string text = "<" + bad + ">";
        EXPECT_FALSE(isValidUtf8(text)) << testing::PrintToString(bad);
        std::string repaired = toValidUtf8(text);
        EXPECT_TRUE(isValidUtf8(repaired)) << testing::PrintToString(bad);
        EXPECT_NE(repaired.find(replacement), std::string::npos) << testing::PrintToString(bad);
        // Only replacement characters stand where the bad bytes were.
        for (std::size_t at; (at = repaired.find(replacement)) != std::string::npos;) {
            repaired.erase(at, replacement.size());
        }
        EXPECT_EQ(repaired, "<>") << testing::PrintToString(bad);
    }
    EXPECT_EQ(toValidUtf8("a\xFF" "b"), "a" + replacement + "b");
    // The valid parts of a repaired text are kept byte for byte, a leading BOM and NULs included.
    EXPECT_EQ(toValidUtf8("\xEF\xBB\xBF" "a\xFF"), "\xEF\xBB\xBF" "a" + replacement);
    EXPECT_EQ(toValidUtf8(std::string("a\0\xFF", 3)), std::string("a\0", 2) + replacement);
}

}  // namespace
}  // namespace lumaro::platform
