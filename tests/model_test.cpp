// The model (launch options, seeding, pending skins, results, busy states) and its wording.
#include <unistd.h>

#include <QString>
#include <climits>
#include <cstdlib>
#include <memory>
#include <regex>

#include <gtest/gtest.h>

#include "app/report_messages.h"
#include "app/skin_model.h"
#include "records/operation_lock.h"
#include "resources/resources.h"
#include "tests/support/scratch.h"

namespace lumaro {
namespace {

using platform::FileSystem;
using test::ScratchDir;
using Messages = std::vector<std::string>;

bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

std::string realPath(const std::string& path) {
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

std::string repeated(const std::string& piece, qsizetype times) {
    return QString::fromStdString(piece).repeated(times).toStdString();
}

// Every location inside the scratch folder: nothing touches the real home.
class FakeWorkspace final : public platform::Workspace {
public:
    explicit FakeWorkspace(const std::string& folder) : home(folder) {}
    std::string home;
    std::vector<platform::RunningApplication> running;
    std::vector<platform::RunningApplication> runningApplications() override { return running; }
    void noteFileSystemChanged(const std::string&) override {}
    std::string homeDirectory() override { return home; }
    std::string applicationSupportFolder() override { return home + "/support"; }
    std::string desktopFolder() override { return home + "/Desktop"; }
};

using Shown = std::pair<std::string, Messages>;  // a title and its messages

class RecordingFrontEnd final : public ModelFrontEnd {
public:
    std::vector<Shown> shown;
    void showResult(const std::string& title, const Messages& messages) override { shown.push_back({title, messages}); }
};

// Keeps the work and its completion until the test lets them run.
class DeferredRunner final : public OperationRunner {
public:
    std::vector<std::pair<std::function<OperationOutcome()>, std::function<void(OperationOutcome)>>> waiting;
    void run(std::function<OperationOutcome()> work, std::function<void(OperationOutcome)> completion) override {
        waiting.emplace_back(std::move(work), std::move(completion));
    }
    void finishFirst() {
        auto [work, completion] = std::move(waiting.front());
        waiting.erase(waiting.begin());
        completion(work());
    }
};

struct Rig {
    ScratchDir scratch;
    FakeWorkspace workspace{scratch / "home"};
    RecordingFrontEnd frontEnd;
    SynchronousRunner synchronous;
    std::string state = scratch / "state";

    std::unique_ptr<SkinModel> make(const Messages& extra, OperationRunner* runner = nullptr,
                                    std::function<QImage()> image = [] { return loadFurball(); }) {
        Messages arguments{"lumaro"};  // the first occurrence counts: `extra` may override the state
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        arguments.insert(arguments.end(), {"--state-root", state, "--application-root", scratch / "apps"});
        return std::make_unique<SkinModel>(
            arguments, ModelServices{FileSystem::real(), workspace, runner != nullptr ? *runner : synchronous,
                                     frontEnd, std::move(image)});
    }
    std::string lastOperation() const { return test::readFile(state + "/" + kLastOperationFileName); }
};

TEST(modelReportMessages, FoldsPermissionsMissingItemsAndRelaunchesBeforeOtherLines) {
    OperationReport report;
    const std::string denied = "：应用没有写入权限，已跳过";
    report.errors = {"Alpha.app" + denied, "Beta.app" + denied, "Alpha.app" + denied};
    EXPECT_EQ(reportMessages(report), Messages{"Alpha、Beta没有修改权限，已跳过。"});
    report.errors = {"notes.txt：无法读取项目", "Alpha.app" + denied, "Plain" + denied, "Gamma.app：原因" + denied,
                     "应用没有写入权限，已跳过"};
    report.missingItems = {"Gamma.app", "照片"};
    report.relaunchApplications = {"Delta"};
    EXPECT_EQ(reportMessages(report),
              (Messages{"Alpha、Plain没有修改权限，已跳过。", "Gamma、照片已不存在，已跳过，不影响其他图标还原。",
                        "Delta 的图标如果没变化，可以退出后重新打开试试。", "notes.txt：无法读取项目",
                        "Gamma.app：原因：应用没有写入权限，已跳过", "应用没有写入权限，已跳过"}));
    EXPECT_TRUE(reportMessages(OperationReport{4, 1, {}, 4, {}, {}}).empty());
}

TEST(modelAlertText, ShowsThreeMessagesCutAt360UserPerceivedCharacters) {
    const std::string hundred(100, 'a');
    EXPECT_EQ(alertText({hundred, hundred, hundred, "fourth"}), hundred + "\n\n" + hundred + "\n\n" + hundred);
    const std::string long400(400, 'b');
    EXPECT_EQ(alertText({long400, long400}), std::string(360, 'b') + "…");
    EXPECT_EQ(alertText({std::string(200, 'c'), long400}),
              std::string(200, 'c') + "\n\n" + std::string(158, 'b') + "…")
        << "the empty line between messages counts as two characters";
    const std::string accented = "e\u0301";
    const std::string thumb = "\U0001F44D\U0001F3FD";
    EXPECT_EQ(alertText({repeated(accented, 400)}), repeated(accented, 360) + "…");
    EXPECT_EQ(alertText({repeated(thumb, 200), repeated(thumb, 200)}),
              repeated(thumb, 200) + "\n\n" + repeated(thumb, 158) + "…");
    EXPECT_EQ(alertText({repeated(accented, 360)}), repeated(accented, 360));
    EXPECT_EQ(alertText({std::string(180, 'd'), std::string(178, 'd')}),
              std::string(180, 'd') + "\n\n" + std::string(178, 'd'));
    EXPECT_EQ(alertText({}), "");
}

TEST(modelLaunchOption, TakesTheValueAfterTheFirstExactName) {
    const Messages names{"--state-root", "--preview-root", "--desktop-root", "--application-root"};
    for (const std::string& name : names) {
        const Messages arguments{"lumaro", name, "/data//x/../" + name.substr(2) + "/"};
        for (const std::string& other : names) {
            EXPECT_EQ(launchOption(arguments, other),
                      other == name ? std::optional<std::string>("/data/" + name.substr(2)) : std::nullopt);
        }
        EXPECT_EQ(launchOption({"lumaro", "--json", name}, name), std::nullopt) << "last argument";
        EXPECT_EQ(launchOption({"lumaro", name + "=/x"}, name), std::nullopt);
    }
    const std::string here = realPath(".");
    const Messages arguments{"lumaro", "--preview-root", "--desktop-root", "--desktop-root", "/two//b/../c/",
                             "--state-root", "rel/./sub/..", "--state-root", "/ignored"};
    EXPECT_EQ(launchOption(arguments, "--preview-root"), here + "/--desktop-root");
    EXPECT_EQ(launchOption(arguments, "--desktop-root"), here + "/--desktop-root") << "first occurrence";
    EXPECT_EQ(launchOption(arguments, "--state-root"), here + "/rel");
}

TEST(modelStart, DefaultsComeFromTheWorkspaceAndPreviewRootOverridesTheTarget) {
    Rig rig;
    const std::string& home = rig.workspace.home;
    SkinModel defaults({"lumaro"}, {FileSystem::real(), rig.workspace, rig.synchronous, rig.frontEnd,
                                    [] { return loadFurball(); }});
    EXPECT_FALSE(defaults.unavailable());
    EXPECT_EQ(defaults.state(), home + "/support/Lumaro");
    EXPECT_EQ(defaults.demo(), home + "/support/Lumaro/演示文件夹");
    EXPECT_EQ(defaults.target(), home + "/Desktop");
    EXPECT_TRUE(defaults.includeApplications());
    EXPECT_TRUE(exists(home + "/support/Lumaro/演示文件夹/欢迎使用.txt"));
    const auto preview = rig.make({"--preview-root", rig.scratch / "p/", "--desktop-root", rig.scratch / "d"});
    EXPECT_EQ(preview->demo(), rig.scratch / "p");
    EXPECT_EQ(preview->target(), rig.scratch / "p") << "the preview root wins over the desktop root";
    EXPECT_EQ(preview->desktop(), rig.scratch / "d");
    EXPECT_FALSE(preview->includeApplications());
    EXPECT_TRUE(preview->isTargetDemo());
    EXPECT_FALSE(preview->isTargetDesktop());
}

TEST(modelSeeding, FirstStartFillsTheDemoFolderOnlyOnce) {
    Rig rig;
    const std::string demo = rig.state + "/演示文件夹";
    rig.make({});
    EXPECT_EQ(test::readFile(demo + "/欢迎使用.txt"),
              "这里是lumaro的演示文件夹。\n点击“一键换肤”查看效果，再点击“一键还原”。\n"
              "真实桌面不会因演示操作而改变。\n");
    EXPECT_EQ(test::readFile(demo + "/旅行照片/说明.txt"), "这是演示文件夹，可以正常打开。\n");
    const std::string link = test::readFile(demo + "/项目主页.webloc");
    const std::regex plist(
        R"(^<\?xml[\s\S]*<dict>\s*<key>URL</key>\s*<string>https://example\.com/lumaro</string>\s*</dict>)");
    EXPECT_TRUE(std::regex_search(link, plist)) << link;
    EXPECT_TRUE(exists(rig.state + "/demo-created"));
    ASSERT_EQ(std::system(("rm -rf '" + demo + "'").c_str()), 0);
    rig.make({});
    EXPECT_FALSE(exists(demo)) << "a demo folder the user deleted stays deleted";
    const std::string own = rig.scratch / "own";
    test::makeDirectory(own);
    test::makeDirectory(own + "/旅行照片");
    test::writeFile(own + "/欢迎使用.txt", "mine");
    rig.make({"--state-root", rig.scratch / "state2", "--preview-root", own});
    EXPECT_EQ(test::readFile(own + "/欢迎使用.txt"), "mine");
    EXPECT_FALSE(exists(own + "/旅行照片/说明.txt"));
    EXPECT_TRUE(exists(own + "/项目主页.webloc"));
}

TEST(modelStart, APendingSkinFromAnEarlierRunDecidesTargetAndBlocksSeeding) {
    Rig rig;
    const std::string desk = rig.scratch / "desk";
    test::makeDirectory(desk);
    test::writeFile(desk + "/a.txt", "a");
    const auto first = rig.make({"--desktop-root", desk});
    first->runOperation(false, false);
    ASSERT_TRUE(first->hasBackup());
    ASSERT_EQ(::unlink((rig.state + "/demo-created").c_str()), 0);
    const auto second = rig.make({"--preview-root", rig.scratch / "p", "--desktop-root", rig.scratch / "d"});
    EXPECT_TRUE(second->hasBackup());
    EXPECT_EQ(second->target(), desk);
    EXPECT_TRUE(second->includeApplications()) << "the recorded flag, not the preview's";
    EXPECT_FALSE(exists(rig.scratch / "p")) << "nothing is seeded while a skin is pending";
    EXPECT_FALSE(exists(rig.state + "/demo-created"));
    second->chooseTarget(rig.scratch / "p");
    second->useDesktop();
    EXPECT_EQ(second->target(), desk) << "no other target while a skin is pending";
    EXPECT_TRUE(second->includeApplications());
}

TEST(modelCompletion, SaysNothingUnlessThereIsSomethingToSay) {
    Rig rig;
    const auto model = rig.make({"--preview-root", rig.scratch / "p"});
    model->runOperation(false, false);
    EXPECT_EQ(model->lastReport().value_or(OperationReport{}).succeeded, 3);
    EXPECT_EQ(model->lastTitle(), "图标已更换");
    EXPECT_TRUE(rig.frontEnd.shown.empty());
    EXPECT_TRUE(model->errors().empty());
    EXPECT_FALSE(exists(rig.state + "/last-operation.txt"));
    model->runOperation(true, false);
    model->runOperation(true, false);
    EXPECT_EQ(model->lastTitle(), "还原已完成");
    EXPECT_TRUE(rig.frontEnd.shown.empty()) << "a restore with nothing pending shows nothing";
    model->runOperation(true, true);
    EXPECT_EQ(rig.frontEnd.shown, std::vector<Shown>{(Shown{"还原已完成", {"没有找到可重试的还原记录。"}})});
    EXPECT_EQ(rig.lastOperation(), "没有找到可重试的还原记录。");
    model->runOperation(false, false);
    EXPECT_EQ(rig.frontEnd.shown.size(), 1u);
    EXPECT_EQ(rig.lastOperation(), "没有找到可重试的还原记录。") << "a silent apply leaves the file alone";
    model->runOperation(true, false);
    test::makeDirectory(rig.scratch / "empty");
    model->chooseTarget(rig.scratch / "empty");
    model->runOperation(false, false);
    EXPECT_EQ(rig.frontEnd.shown.back(), (Shown{"图标已更换", {"没有找到可更换的图标。"}}));
    EXPECT_EQ(model->errors(), Messages{"没有找到可更换的图标。"});
    EXPECT_FALSE(model->hasBackup());
}

TEST(modelCompletion, PartialApplyKeepsTheReportLinesInTheFileAndOnlyMessagesOnScreen) {
    Rig rig;
    const std::string desk = rig.scratch / "desk";
    test::makeDirectory(desk);
    test::makeDirectory(desk + "/Runner.app");
    test::writeFile(desk + "/bad.txt", "b");
    test::setRawAttribute(desk + "/bad.txt", "user.com.apple.FinderInfo", platform::Bytes(31, 0));
    rig.workspace.running = {{desk + "/Runner.app", true}};
    const auto model = rig.make({"--desktop-root", desk});
    model->runOperation(false, false);
    const std::string line = errorLine("bad.txt", "Finder 图标属性格式不受支持");
    const std::string relaunch = "Runner 的图标如果没变化，可以退出后重新打开试试。";
    EXPECT_EQ(rig.frontEnd.shown, std::vector<Shown>{(Shown{"有些图标没能更换", {relaunch, line}})});
    EXPECT_EQ(model->errors(), (Messages{relaunch, line}));
    EXPECT_EQ(rig.lastOperation(), line + "\n\n" + relaunch + "\n\n" + line);
    EXPECT_TRUE(model->hasBackup());
}

TEST(modelCompletion, AWholeFailureShowsItsReasonAndDropsTheLastReport) {
    Rig rig;
    const auto model = rig.make({"--preview-root", rig.scratch / "p"});
    model->chooseTarget("/");
    model->runOperation(false, false);
    EXPECT_EQ(model->lastReport().value_or(OperationReport{}).errors.size(), 1u) << "an error line, not a failure";
    EXPECT_EQ(model->lastTitle(), "有些图标没能更换");
    model->chooseTarget(rig.scratch / "p");
    const OperationLock held(FileSystem::real(), rig.state, kBatchLockFileName);
    for (const bool restoring : {false, true}) {
        model->runOperation(restoring, false);
        EXPECT_EQ(rig.frontEnd.shown.back(), (Shown{"操作未完成", {"另一个窗口正在操作，请稍后重试。"}}));
        EXPECT_EQ(model->lastTitle(), "操作未完成");
        EXPECT_FALSE(model->lastReport().has_value());
        EXPECT_EQ(rig.lastOperation(), "另一个窗口正在操作，请稍后重试。");
        EXPECT_FALSE(model->busy());
    }
}

TEST(modelTarget, ChoiceResolvesLinksAndIsIgnoredWhileBusy) {
    Rig rig;
    DeferredRunner runner;
    const std::string real = rig.scratch / "real";
    test::makeDirectory(real);
    ASSERT_EQ(::symlink(real.c_str(), (rig.scratch / "link").c_str()), 0);
    const auto model = rig.make({"--preview-root", rig.scratch / "p", "--desktop-root", rig.scratch / "d"}, &runner);
    model->chooseTarget(rig.scratch / "link");
    EXPECT_EQ(model->target(), realPath(real));
    EXPECT_FALSE(model->includeApplications());
    EXPECT_FALSE(model->isTargetDemo());
    model->useDesktop();
    EXPECT_TRUE(model->isTargetDesktop());
    EXPECT_TRUE(model->includeApplications());
    model->chooseTarget(model->demo() + "/");
    EXPECT_TRUE(model->isTargetDemo());
    EXPECT_FALSE(model->includeApplications());

    model->runOperation(false, false);
    model->runOperation(true, false);
    EXPECT_EQ(runner.waiting.size(), 1u) << "one operation at a time";
    EXPECT_TRUE(model->busy());
    EXPECT_FALSE(model->restoring());
    model->chooseTarget(rig.scratch / "link");
    model->useDesktop();
    EXPECT_TRUE(model->isTargetDemo()) << "the target stays while busy";
    EXPECT_FALSE(model->includeApplications());
    runner.finishFirst();
    EXPECT_FALSE(model->busy());
    EXPECT_TRUE(model->hasBackup());
    model->runOperation(true, false);
    EXPECT_TRUE(model->restoring());
    runner.finishFirst();
    EXPECT_FALSE(model->hasBackup());
}

TEST(modelStart, AnUnreadableImageLeavesTheModelUnavailable) {
    Rig rig;
    test::makeDirectory(rig.state);
    DeferredRunner runner;
    const auto model = rig.make({"--preview-root", rig.scratch / "p"}, &runner, [] { return QImage(); });
    EXPECT_TRUE(model->unavailable());
    EXPECT_EQ(rig.frontEnd.shown, std::vector<Shown>{(Shown{"操作未完成", {"无法读取毛球图像"}})});
    EXPECT_EQ(rig.lastOperation(), "无法读取毛球图像");
    EXPECT_FALSE(exists(rig.scratch / "p"));
    model->runOperation(false, false);
    EXPECT_TRUE(runner.waiting.empty());
    EXPECT_EQ(rig.frontEnd.shown.size(), 1u);
}

}  // namespace
}  // namespace lumaro
