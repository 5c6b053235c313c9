// Which root an apply accepts and which items it skins.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "engine/icon_engine.h"
#include "tests/support/fault_fs.h"

namespace lumaro {
namespace {

using test::errorOf;

using Selection = test::EngineTest;

TEST_F(Selection, ValidateTargetRefusesRootsHoldingTheBackupsAndWhatIsNotAFolder) {
    test::writeFile(scratch / "file.txt", "x");
    test::makeDirectory(scratch / "backups-old");
    test::makeDirectory(backups + "/inner");
    ASSERT_EQ(::symlink(root.c_str(), (scratch / "link").c_str()), 0);
    ASSERT_EQ(::mkfifo((scratch / "pipe").c_str(), 0644), 0);
    const std::string holds = "所选文件夹不能包含备份目录，请选择桌面或其他文件夹。", accepted = "<no error>";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/", holds}, {backups + "/", holds}, {scratch.path().substr(0, scratch.path().rfind('/')), holds},
        {scratch.path() + "/./root/../backups/", holds}, {scratch.path() + "//backups/inner/..", holds},
        {scratch / "file.txt", "请选择文件夹"}, {scratch / "missing/", "项目不存在或无法读取：missing"},
        {scratch / "link/.", "跳过符号链接或特殊文件：link"}, {scratch / "pipe", "跳过符号链接或特殊文件：pipe"},
        // A shared prefix does not make the backup folder's name an ancestor; folders inside it are fine.
        {scratch.path() + "/backups/../root/./", accepted}, {scratch / "backups-old", accepted},
        {backups + "/./inner", accepted}};
    for (const auto& [target, message] : cases) {
        const std::string& path = target;
        EXPECT_EQ(errorOf([&] { engine.validateTarget(path); }), message) << target;
    }
}

TEST_F(Selection, IsEligibleSkipsWhatCannotOrMustNotBeSkinned) {
    for (const char* file :
         {"plain.txt", "Slides.key", "Fake.app", "ok \xe2\x9c\x93", "bad\xff", ".dot", "Icon\r", "Listed", "one"})
        test::writeFile(at(file), "");
    for (const char* folder : {"folder", "Editor.app", "Tool.APP", "Report.pages", "Lumaro.app"}) {
        test::makeDirectory(at(folder));
        test::makeDirectory(at(folder) + "/Contents");
        test::writeFile(
            at(folder) + "/Contents/Info.plist",
            std::string("<plist version=\"1.0\"><dict><key>CFBundleIdentifier</key><string>org.example.") +
                folder + "</string></dict></plist>");
    }
    workspace.own = "org.example.Lumaro.app";
    test::writeFile(at(".hidden"), "Listed\n");
    ASSERT_EQ(::symlink(at("plain.txt").c_str(), at("file-link").c_str()), 0);
    ASSERT_EQ(::symlink(at("folder").c_str(), at("folder-link").c_str()), 0);
    ASSERT_EQ(::mkfifo(at("pipe").c_str(), 0644), 0);
    ASSERT_EQ(::link(at("one").c_str(), at("two").c_str()), 0);

    // Eligible without applications, with them, and with applications only.
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"plain.txt", "YYN"}, {"folder", "YYN"},      {"Slides.key", "YYN"}, {"Fake.app", "YYN"},
        {"ok \xe2\x9c\x93", "YYN"}, {"Editor.app", "NYY"}, {"Tool.APP", "NYY"},   {"Lumaro.app", "NNN"},
        {"Report.pages", "NNN"}, {"bad\xff", "NNN"},   {".dot", "NNN"},       {"Icon\r", "NNN"},
        {"Listed", "NNN"},    {"file-link", "NNN"}, {"folder-link", "NNN"}, {"pipe", "NNN"},
        {"one", "NNN"},       {"two", "NNN"}};
    for (const auto& [name, expected] : cases) {
        std::string got;
        for (const auto& [applications, only] : {std::pair{false, false}, {true, false}, {true, true}})
            got += engine.isEligible(at(name), applications, only) ? 'Y' : 'N';
        EXPECT_EQ(got, expected) << name;
    }

    fs.fail["access " + at("Tool.APP")] = EACCES;
    EXPECT_EQ(errorOf([&] { engine.isEligible(at("Tool.APP"), true, false); }), "应用没有写入权限，已跳过");
    EXPECT_FALSE(engine.isEligible(at("Tool.APP"), false, false))
        << "an excluded application is never reported";
    EXPECT_EQ(errorOf([&] { engine.isEligible(at("vanished"), false, false); }), "无法读取项目");
}

}  // namespace
}  // namespace lumaro
