// Which root an apply accepts, which names it lists and in what order, and which items it skins.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include <gtest/gtest.h>

#include "engine/icon_engine.h"
#include "platform/system_error.h"
#include "records/errors.h"
#include "records/identity.h"
#include "tests/support/scratch.h"

namespace lumaro {
namespace {

using platform::FileSystem;
using test::ScratchDir;

constexpr const char* kHoldsBackups = "所选文件夹不能包含备份目录，请选择桌面或其他文件夹。";

template <typename F>
std::string skinErrorOf(F&& call) {
    try {
        call();
    } catch (const SkinError& error) {
        return error.what();
    }
    return "<no SkinError>";
}

class FakeWorkspace : public platform::Workspace {
public:
    std::optional<std::string> own;
    std::vector<platform::RunningApplication> runningApplications() override { return {}; }
    std::optional<std::string> ownBundleIdentifier() override { return own; }
    void noteFileSystemChanged(const std::string&) override {}
};

// Refuses writing access to, or listing of, one chosen path.
class DenyingFileSystem : public platform::ForwardingFileSystem {
public:
    using ForwardingFileSystem::ForwardingFileSystem;
    std::string deniedAccess;
    std::string deniedListing;

    int access(const std::string& path, int mode) override {
        return path == deniedAccess ? EACCES : ForwardingFileSystem::access(path, mode);
    }
    int listDirectory(const std::string& path, std::vector<std::string>& names) override {
        return path == deniedListing ? EACCES : ForwardingFileSystem::listDirectory(path, names);
    }
};

void writeInfoPlist(const std::string& bundle, const std::string& identifier) {
    test::makeDirectory(bundle + "/Contents");
    test::writeFile(bundle + "/Contents/Info.plist",
                    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                    "<plist version=\"1.0\">\n<dict>\n"
                    "\t<key>CFBundleName</key>\n\t<string>Editor</string>\n"
                    "\t<key>CFBundleIdentifier</key>\n\t<string>" +
                        identifier + "</string>\n</dict>\n</plist>\n");
}

class applySelection : public ::testing::Test {
protected:
    ScratchDir scratch;
    DenyingFileSystem fs{FileSystem::real()};
    FakeWorkspace workspace;
    const std::string root = scratch / "root";
    const std::string backups = scratch / "backups";
    std::unique_ptr<IconEngine> engine;

    void SetUp() override {
        test::makeDirectory(root);
        engine = std::make_unique<IconEngine>(fs, backups, test::sampleImage(), workspace);
    }
    std::string at(const std::string& name) const { return root + "/" + name; }
    bool eligible(const std::string& name, bool includeApplications = false, bool applicationsOnly = false) {
        return engine->isEligible(at(name), includeApplications, applicationsOnly);
    }
};

TEST_F(applySelection, RefusesEveryRootThatHoldsTheBackupDirectory) {
    const std::string parent = scratch.path().substr(0, scratch.path().rfind('/'));
    for (const std::string& candidate :
         {std::string("/"), std::string("//"), backups, backups + "/", scratch.path(), scratch.path() + "/",
          parent, scratch.path() + "/./root/../backups/", scratch.path() + "/root/..",
          scratch.path() + "//backups/inner/.."}) {
        EXPECT_EQ(skinErrorOf([&] { engine->validateTarget(candidate); }), kHoldsBackups) << candidate;
    }
}

TEST_F(applySelection, AcceptsSiblingsAndFoldersInsideTheBackupDirectory) {
    EXPECT_EQ(engine->validateTarget(scratch.path() + "/backups/../root/./"), identifyItem(FileSystem::real(), root));

    // Sharing the backup directory's name as a prefix does not make a folder its ancestor.
    test::makeDirectory(scratch / "backups-old");
    EXPECT_EQ(engine->validateTarget(scratch / "backups-old"),
              identifyItem(FileSystem::real(), scratch / "backups-old"));
    test::makeDirectory(scratch / "back");
    EXPECT_EQ(engine->validateTarget(scratch / "back/"), identifyItem(FileSystem::real(), scratch / "back"));

    test::makeDirectory(backups + "/inner");
    EXPECT_EQ(engine->validateTarget(backups + "/./inner"), identifyItem(FileSystem::real(), backups + "/inner"));
}

TEST_F(applySelection, RefusesRootsThatAreNotPlainFolders) {
    test::writeFile(scratch / "file.txt", "x");
    EXPECT_EQ(skinErrorOf([&] { engine->validateTarget(scratch / "file.txt"); }), "请选择文件夹");
    EXPECT_EQ(skinErrorOf([&] { engine->validateTarget(scratch / "missing/"); }), "项目不存在或无法读取：missing");
    ASSERT_EQ(::symlink(root.c_str(), (scratch / "link").c_str()), 0);
    EXPECT_EQ(skinErrorOf([&] { engine->validateTarget(scratch / "link/."); }), "跳过符号链接或特殊文件：link");
    ASSERT_EQ(::mkfifo((scratch / "pipe").c_str(), 0644), 0);
    EXPECT_EQ(skinErrorOf([&] { engine->validateTarget(scratch / "pipe"); }), "跳过符号链接或特殊文件：pipe");
}

TEST_F(applySelection, ListsVisibleNamesInTheBrowsersOrder) {
    for (const char* name : {"b10", "B2", "a", ".dot", "Secret", "Also Hidden", "Shown"}) {
        test::writeFile(at(name), "");
    }
    // The last line of ".hidden" counts even without a final line break.
    test::writeFile(at(".hidden"), "Secret\nAlso Hidden");
    const std::vector<std::string> expected = {"a", "B2", "b10", "Shown"};
    EXPECT_EQ(engine->listItems(root), expected);
    EXPECT_EQ(engine->listItems(scratch.path() + "/./root/"), expected);

    test::makeDirectory(at("empty"));
    EXPECT_TRUE(engine->listItems(at("empty")).empty());
}

TEST_F(applySelection, UnreadableFolderFailsWithThePlatformError) {
    test::writeFile(at("a"), "");
    fs.deniedListing = root;
    try {
        engine->listItems(root + "/");
        ADD_FAILURE() << "listing an unreadable folder succeeded";
    } catch (const platform::SystemError& error) {
        EXPECT_EQ(error.code(), EACCES);
    }
}

TEST_F(applySelection, SkipsLinksFifosAndHardLinkedFiles) {
    test::writeFile(at("plain.txt"), "x");
    test::makeDirectory(at("folder"));
    ASSERT_EQ(::symlink(at("plain.txt").c_str(), at("file-link").c_str()), 0);
    ASSERT_EQ(::symlink(at("folder").c_str(), at("folder-link").c_str()), 0);
    ASSERT_EQ(::mkfifo(at("pipe").c_str(), 0644), 0);
    test::writeFile(at("one"), "shared");
    ASSERT_EQ(::link(at("one").c_str(), at("two").c_str()), 0);

    EXPECT_TRUE(eligible("plain.txt"));
    EXPECT_TRUE(eligible("folder"));
    for (const char* name : {"file-link", "folder-link", "pipe", "one", "two"}) {
        EXPECT_FALSE(eligible(name)) << name;
        EXPECT_FALSE(eligible(name, true)) << name;
    }
    // Once the second name is gone the file is an ordinary file again.
    ASSERT_EQ(::unlink(at("two").c_str()), 0);
    EXPECT_TRUE(eligible("one"));

    EXPECT_EQ(skinErrorOf([&] { eligible("vanished"); }), "无法读取项目");
}

TEST_F(applySelection, SkipsHiddenNamesPackagesAndNamesThatCannotBeRecorded) {
    for (const char* name : {".dot", "Icon\r", "Listed", "Slides.key", "bad\xff", "ok \xe2\x9c\x93"}) {
        test::writeFile(at(name), "");
    }
    test::writeFile(at(".hidden"), "Listed\n");
    for (const char* name : {"Report.pages", "Lib.framework", "X.RTFD", "Notes", "Folder.d"}) {
        test::makeDirectory(at(name));
    }

    for (const char* name : {".dot", "Icon\r", "Listed", "bad\xff", "Report.pages", "Lib.framework", "X.RTFD"}) {
        EXPECT_FALSE(eligible(name, true)) << name;
    }
    // A plain file with a package's extension is just a file; valid UTF-8 beyond ASCII is fine.
    for (const char* name : {"Slides.key", "ok \xe2\x9c\x93", "Notes", "Folder.d"}) {
        EXPECT_TRUE(eligible(name)) << name;
    }
}

TEST_F(applySelection, ApplicationsFollowTheChosenOptions) {
    test::makeDirectory(at("Editor.app"));
    test::makeDirectory(at("Tool.APP"));
    test::makeDirectory(at("Docs"));
    test::writeFile(at("notes.txt"), "");
    test::writeFile(at("Fake.app"), "");  // a file, not a bundle

    for (const char* app : {"Editor.app", "Tool.APP"}) {
        EXPECT_FALSE(eligible(app, false, false)) << app;
        EXPECT_TRUE(eligible(app, true, false)) << app;
        EXPECT_TRUE(eligible(app, true, true)) << app;
    }
    EXPECT_TRUE(eligible("Fake.app", false, false));
    for (const char* other : {"Docs", "notes.txt", "Fake.app"}) {
        EXPECT_TRUE(eligible(other, true, false)) << other;
        EXPECT_FALSE(eligible(other, true, true)) << other;
    }

    fs.deniedAccess = at("Tool.APP");
    EXPECT_EQ(skinErrorOf([&] { eligible("Tool.APP", true); }), "应用没有写入权限，已跳过");
    EXPECT_FALSE(eligible("Tool.APP", false)) << "an excluded application is never reported";
    EXPECT_TRUE(eligible("Editor.app", true));
}

TEST_F(applySelection, PassesOverTheProgramsOwnBundle) {
    test::makeDirectory(at("Lumaro.app"));
    writeInfoPlist(at("Lumaro.app"), "org.example.lumaro");

    EXPECT_TRUE(eligible("Lumaro.app", true));
    workspace.own = "org.example.other";
    EXPECT_TRUE(eligible("Lumaro.app", true));
    workspace.own = "org.example.lumaro";
    EXPECT_FALSE(eligible("Lumaro.app", true));
    EXPECT_FALSE(eligible("Lumaro.app", true, true));
}

}  // namespace
}  // namespace lumaro
