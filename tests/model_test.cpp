// The model (launch options, seeding, pending skins, results) and its wording; lumaro-cli run as a
// separate process against scratch folders.
#include <filesystem>
#include <nlohmann/json.hpp>
#include <tuple>

#include <gtest/gtest.h>

#include "app/report_messages.h"
#include "app/skin_model.h"
#include "platform/text.h"
#include "records/desktop_form.h"
#include "records/operation_lock.h"
#include "records/records.h"
#include "resources/resources.h"
#include "tests/support/fault_fs.h"

namespace lumaro {
namespace {

using namespace test;
using Messages = std::vector<std::string>;
using Shown = std::pair<std::string, Messages>;  // a title and its messages

// A file whose Finder information cannot be read: the apply's error for it.
std::string unreadable(const std::string& path) {
    writeFile(path, "b");
    setRawAttribute(path, kFinderInfo, platform::Bytes(31, 0));
    return errorLine(std::filesystem::path(path).filename(), "Finder 图标属性格式不受支持");
}

std::string repeated(const std::string& piece, int n) {
    return n > 0 ? piece + repeated(piece, n - 1) : "";
}

// The fixture is the workspace (all in scratch), the front end and the runner.
struct ModelTest : ::testing::Test, FakeWorkspace, ModelFrontEnd, OperationRunner {
    std::string applicationSupportFolder() override { return scratch / "support"; }
    std::string desktopFolder() override { return scratch / "Desktop"; }
    void showResult(const std::string& title, const Messages& messages) override {
        shown.push_back({title, messages});
    }
    void run(std::function<OperationOutcome()> work,
             std::function<void(OperationOutcome)> completion) override {
        completion(work());
    }
    std::unique_ptr<SkinModel> make(Messages arguments) {
        arguments.insert(arguments.end(), {"--state-root", state, "--application-root", scratch / "apps"});
        return std::make_unique<SkinModel>(arguments, ModelServices{fs, *this, *this, *this, loadFurball});
    }
    static std::pair<std::string, bool> scope(const SkinModel& m) {
        return {m.target(), m.includeApplications()};
    }
    std::string lastOperation() const { return readFile(state + "/" + kLastOperationFileName); }
    ScratchDir scratch;
    FaultFs fs;
    std::string state = scratch / "state";
    std::vector<Shown> shown;
};

TEST(ReportMessages, FoldPermissionsMissingItemsAndRelaunchesBeforeOtherLinesAndAlertsAreCut) {
    const auto denied = [](const char* name) {
        return ItemError{name, ErrorKind::noWritePermission, kNoWritePermission};
    };
    const std::vector<ItemError> errors{{"notes.txt", ErrorKind::item, "无法读取项目"},
                                        denied("Alpha.app"),
                                        denied("Plain"),
                                        denied("Alpha.app"),
                                        {"Gamma.app", ErrorKind::item, "原因：应用没有写入权限，已跳过"},
                                        operationError(kNoWritePermission)};
    EXPECT_EQ(
        reportMessages({4, 1, errors, 0, {"Delta"}, {"Gamma.app", "照片"}}),
        (Messages{"Alpha、Plain没有修改权限，已跳过。", "Gamma、照片已不存在，已跳过，不影响其他图标还原。",
                  "Delta 的图标如果没变化，可以退出后重新打开试试。", "notes.txt：无法读取项目",
                  "Gamma.app：原因：应用没有写入权限，已跳过", "应用没有写入权限，已跳过"}));
    // Three messages at most, 360 user-perceived characters ("\n\n" counts 2).
    const std::string a(100, 'a'), accented = "e\u0301", thumb = "\U0001F44D\U0001F3FD";
    const std::vector<std::pair<Messages, std::string>> cases{
        {{a, a, a, "fourth"}, a + "\n\n" + a + "\n\n" + a},
        {{std::string(200, 'c'), std::string(400, 'b')},
         std::string(200, 'c') + "\n\n" + std::string(158, 'b') + "…"},
        {{repeated(accented, 400)}, repeated(accented, 360) + "…"},
        {{repeated(thumb, 200), repeated(thumb, 200)},
         repeated(thumb, 200) + "\n\n" + repeated(thumb, 158) + "…"},
        {{repeated(accented, 360)}, repeated(accented, 360)}};
    for (const auto& [messages, text] : cases)
        EXPECT_EQ(alertText(messages), text);
}

TEST(LaunchOption, TakesTheValueAfterTheFirstExactNameMadeAbsolute) {
    const std::string here = std::filesystem::current_path().string();
    const Messages arguments{"lumaro",       "--preview-root", "--x",       "--state-root", "rel/./sub/..",
                             "--state-root", "/ignored",       "--json=/x", "--last"};
    EXPECT_EQ(launchOption(arguments, "--preview-root"), here + "/--x") << "a value may begin with \"--\"";
    EXPECT_EQ(launchOption(arguments, "--state-root"), here + "/rel");
    EXPECT_FALSE(launchOption(arguments, "--json") || launchOption(arguments, "--last"));
}

TEST_F(ModelTest, DefaultsComeFromTheWorkspaceAndTheDemoFolderIsSeededOnce) {
    const std::string demo = scratch / "support/Lumaro/演示文件夹", mine = scratch / "mine";
    const SkinModel defaults({"lumaro"}, {platform::FileSystem::real(), *this, *this, *this, loadFurball});
    EXPECT_EQ(scope(defaults), std::pair(scratch / "Desktop", true));
    for (const char* file : {"/欢迎使用.txt", "/旅行照片/说明.txt", "/项目主页.webloc"})
        EXPECT_TRUE(exists(demo + file)) << file;
    EXPECT_EQ(
        readFile(demo + "/项目主页.webloc"),
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
        "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist version=\"1.0\">\n<dict>\n"
        "\t<key>URL</key>\n\t<string>https://example.com/lumaro</string>\n</dict>\n</plist>\n");
    std::filesystem::remove_all(demo);
    make({"--state-root", scratch / "support/Lumaro"});
    EXPECT_FALSE(exists(demo)) << "a demo folder the user deleted stays deleted";

    std::filesystem::create_directories(mine + "/旅行照片");
    const auto preview = make({"--preview-root", mine + "/", "--desktop-root", scratch / "d"});
    EXPECT_EQ(scope(*preview), std::pair(mine, false)) << "preview wins";
    EXPECT_FALSE(exists(mine + "/旅行照片/说明.txt"));
    EXPECT_TRUE(exists(mine + "/项目主页.webloc"));
}

TEST_F(ModelTest, CompletionSaysOnlyWhatThereIsToSayAndAPendingSkinDecidesTheNextStart) {
    const std::string desk = scratch / "desk";
    makeDirectory(desk);
    makeDirectory(desk + "/Runner.app");
    const std::string line = unreadable(desk + "/bad.txt");
    running = {{desk + "/Runner.app", true}};
    const auto model = make({"--preview-root", scratch / "p", "--desktop-root", desk});
    model->runOperation(Operation::apply);
    EXPECT_TRUE(shown.empty() && !exists(state + "/" + kLastOperationFileName))
        << "a clean apply says nothing";
    model->runOperation(Operation::restore);

    // Outside the desktop session: one notice, and still the title of a clean run.
    metadata.unavailable = true;
    model->runOperation(Operation::apply);
    EXPECT_EQ(shown.back(), (Shown{"图标已更换", {kMetadataUnavailableNotice}}));
    model->runOperation(Operation::restore);
    metadata.unavailable = false;

    model->useDesktop();
    model->runOperation(Operation::apply);
    const std::string relaunch = "Runner 的图标如果没变化，可以退出后重新打开试试。";
    EXPECT_EQ(shown.back(), (Shown{"有些图标没能更换", {relaunch, line}}));
    EXPECT_EQ(lastOperation(), line + "\n\n" + relaunch + "\n\n" + line)
        << "the report's errors, then the messages";

    std::filesystem::remove(state + "/" + kDemoMarkerFileName);
    const auto next = make({"--preview-root", scratch / "p2", "--desktop-root", scratch / "d"});
    EXPECT_EQ(scope(*next), std::pair(desk, true)) << "not the preview's";
    EXPECT_FALSE(exists(scratch / "p2") || exists(state + "/" + kDemoMarkerFileName))
        << "nothing seeded while pending";

    const OperationLock held(platform::FileSystem::real(), state, kBatchLockFileName);
    model->runOperation(Operation::restore);
    EXPECT_EQ(shown.back(), (Shown{"操作未完成", {"另一个窗口正在操作，请稍后重试。"}}));
    EXPECT_FALSE(model->lastReport().has_value());
}

// Names holding the full-width colon, control characters or bytes that are not UTF-8, through the apply,
// the restore and the report's wording: grouped by what went wrong, never by reading a line apart.
TEST_F(ModelTest, NamesWithColonsControlCharactersAndInvalidUtf8ReachTheReportAsTheyAre) {
    const std::string desk = scratch / "desk";
    makeDirectory(desk);
    const auto visible = [](const std::string& line) { return platform::visibleText(line); };
    const std::string finder = "：Finder 图标属性格式不受支持";
    // Each name, what it is, and the line the apply (a) and the restore (r) report for it; "-": none.
    struct Row {
        std::string name, kind, apply, restore;
    };
    const Row rows[] = {{"a：b.txt", "plain", "-", "a：b.txt：" + std::string(kChangedSinceSkin)},
                        {"t\x01\r.txt", "plain", "-", "-"},
                        {"bad\xff.txt", "plain", "-", "-"},  // never touched: its name cannot be recorded
                        {"c：d.txt", "unreadable", "c：d.txt" + finder, "-"},
                        {"e\x1b：\xff.txt", "unreadable", "-", "-"},  // skipped before it is read
                        {"f\x1b.txt", "unreadable", "f\x1b.txt" + finder, "-"},
                        {"Locked：One.app", "denied", "Locked：One", "-"},
                        {"Tab\tTwo.app", "denied", "Tab\tTwo", "-"}};
    Messages applyLines, grouped, restoreLines;
    for (const Row& row : rows) {
        if (row.kind == "denied") {
            makeDirectory(desk + "/" + row.name);
            fs.fail["access " + desk + "/" + row.name] = EACCES;
            grouped.push_back(row.apply);
        } else if (row.kind == "unreadable") {
            (void)unreadable(desk + "/" + row.name);
        } else {
            writeFile(desk + "/" + row.name, "x");
        }
        if (row.apply != "-" && row.kind != "denied")
            applyLines.push_back(visible(row.apply));
        if (row.restore != "-")
            restoreLines.push_back(visible(row.restore));
    }
    const auto model = make({"--desktop-root", desk});
    model->useDesktop();
    model->runOperation(Operation::apply);
    Messages messages{visible(grouped[0] + "、" + grouped[1] + "没有修改权限，已跳过。")};
    messages.insert(messages.end(), applyLines.begin(), applyLines.end());
    EXPECT_EQ(shown.back(), (Shown{"有些图标没能更换", messages}));
    ASSERT_TRUE(model->lastReport().has_value());
    EXPECT_EQ(model->lastReport()->succeeded, 2);
    EXPECT_TRUE(userAttributes(desk + "/bad\xff.txt").empty());

    setRawAttribute(desk + "/a：b.txt", kResourceFork, resourceFork("TEXT", 128, "other"));
    model->runOperation(Operation::restore);
    EXPECT_EQ(shown.back(), (Shown{"有些图标没能还原", restoreLines}));
    EXPECT_EQ(lastOperation(), restoreLines[0] + "\n\n" + restoreLines[0]);
    EXPECT_TRUE(userAttributes(desk + "/t\x01\r.txt").empty());
}

using Json = nlohmann::json;

TEST(CliTest, ExitStatusTellsReportErrorsFailuresAndUsageErrorsAndTheDemoEndsBySetAside) {
    test::ScratchDir scratch;
    std::string state = scratch / "state", mixed = scratch / "mixed", out;
    // Runs the program with every location inside the scratch folder and `args` after the launch
    // options; keeps its output in `out` and gives its exit status, which the shell prints last. On a
    // `terminal` both outputs go to one, less the progress line's own controls and the line ends' "\r".
    // The `window`'s program is run without a display and without the launch options.
    const auto cli = [&](const std::string& args, bool terminal = false, bool window = false) {
        const std::string env = "HOME=" + scratch / "home" + " XDG_DATA_HOME=" + scratch / "data",
                          command = window ? "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM " + env +
                                                 " " LUMARO_WINDOW " " + args
                                           : env + " QT_QPA_PLATFORM=offscreen " LUMARO_CLI " --state-root=" +
                                                 state + " --preview-root " + scratch / "demo" +
                                                 " --desktop-root " + scratch / "Desktop" +
                                                 " --application-root " + scratch / "apps" + " " + args;
        out = test::run(terminal ? "script -qec '" + command + "' /dev/null; echo $?"
                                 : command + " 2>" + scratch / "err; echo $?");
        for (const std::string own : {"\r\x1b[K", "\r\n"})
            for (std::size_t at = 0; (at = out.find(own, at)) != std::string::npos;)
                out.replace(at, own.size(), own == "\r\n" ? "\n" : "");
        const std::size_t cut = out.find_last_of('\n', out.size() - 2) + 1;  // npos + 1 == 0: no output
        const int status = std::stoi(out.substr(cut));
        return out.erase(cut), status;
    };
    const auto json = [&] { return Json::parse(out); };

    // An unset script variable as the state root must not reach the real state folder, nor create one.
    // One line names the cause and where the usage is.
    const std::pair<const char*, const char*> usageErrors[] = {
        {"frobnicate", "unknown command frobnicate"},
        {"status --bogus", "unknown option --bogus"},
        {"", "no command given"},
        {"restore --demo", "a target choice goes with apply only"},
        {"apply --demo --desktop", "choose one target only"},
        {"apply --folder", "--folder needs a folder"},
        {"status apply", "unexpected argument apply"},
        {"status --state-root", "--state-root needs a folder"},
        {"status --json=1", "unknown option --json=1"},
        {"status --desktop-root --json", "--desktop-root needs a folder"},
        {"apply --application-root ''", "--application-root needs a folder"},
        {"restore --state-root ''", "--state-root needs a folder"},
        {"apply --folder=", "--folder needs a folder"}};
    for (const auto& [bad, cause] : usageErrors) {
        EXPECT_EQ(cli(bad), 64) << bad;
        EXPECT_EQ(test::readFile(scratch / "err"),
                  "lumaro-cli: " + std::string(cause) + " (see lumaro-cli --help)\n");
        EXPECT_EQ(out, "") << bad;
    }
    EXPECT_FALSE(test::exists(state) || test::exists(scratch / "home")) << "usage errors create nothing";
    // The window's program answers these without a display, and so without a window or any state.
    const std::tuple<const char*, const char*, int> withoutWindow[] = {
        {"--help", "usage: lumaro [--state-root DIR]", 0},
        {"--state-root x --version", "lumaro 0.", 0},
        {"--bogus --help", "", 64},
        {"--state-root=x", "", 64}};
    for (const auto& [args, printed, status] : withoutWindow) {
        EXPECT_EQ(cli(args, false, true), status) << args;
        EXPECT_EQ(out.substr(0, std::string_view(printed).size()), printed) << args;
        EXPECT_EQ(test::readFile(scratch / "err").find("unknown option") != std::string::npos, status == 64)
            << args;
    }
    EXPECT_FALSE(test::exists(scratch / "home") || test::exists(scratch / "data") || test::exists("x"));

    // Nothing done but errors: 2; part done with errors: 1. A name with escape sequences reaches the
    // JSON report exactly, and the terminal (its report and progress lines) filtered.
    test::makeDirectory(mixed);
    const std::string bad = unreadable(mixed + "/bad.txt"),
                      hostile = unreadable(mixed + "/t\x1b]0;x\x07\x1b[2J\xc2\x9b\r.txt");
    EXPECT_EQ(cli("apply --folder " + mixed + " --json"), 2) << out;
    EXPECT_EQ(json()["errors"], Json::array({bad, hostile}));
    EXPECT_EQ(cli("apply --folder " + scratch / "absent"), 2) << out;
    test::writeFile(mixed + "/good.txt", "g");
    EXPECT_EQ(cli("apply --folder=" + mixed, true), 1) << out;
    EXPECT_NE(out.find("/3] t"), std::string::npos) << out;  // its progress line shown
    EXPECT_EQ(out.find_first_of("\x1b\x07\r"), std::string::npos) << out;
    EXPECT_EQ(out.find("\xc2\x9b"), std::string::npos) << out;
    EXPECT_NE(out.find("t\\x1B]0;x\\x07\\x1B[2J\\x9B\\r.txt"), std::string::npos) << out;

    // The status keeps its shape when the state folder is unusable.
    ASSERT_EQ(cli("status --json"), 0) << out;
    const Json usable = json();
    state = scratch / "not-a-folder";
    test::writeFile(state, "x");
    EXPECT_EQ(cli("status --json"), 2) << out;
    const Json broken = json();
    EXPECT_EQ(std::tuple(usable["unavailable"], broken["unavailable"], broken["message"].is_string()),
              std::tuple(Json(false), Json(true), true));
    for (const auto& [member, value] : usable.items())
        EXPECT_TRUE(broken.contains(member)) << member;
    EXPECT_EQ(broken.size(), usable.size());

    state = scratch / "demo-state";  // a fresh one: the demo skinned, broken by an editor's save, set aside
    EXPECT_EQ(cli("retry --json"), 0);
    EXPECT_EQ(json()["messages"], Json::array({"没有找到可重试的还原记录。"}));
    ASSERT_EQ(cli("apply --demo --json"), 0) << out << test::readFile(scratch / "err");
    EXPECT_EQ(std::tuple(json()["title"], json()["succeeded"]), std::tuple(Json("图标已更换"), Json(3)));
    EXPECT_EQ(cli("status --json"), 0);
    EXPECT_EQ(std::tuple(json()["pending"], json()["rootPath"], json()["operationRunning"]),
              std::tuple(Json(true), Json(scratch / "demo"), Json(false)));
    // A terminal names no button and no window; the file keeps the window's words.
    EXPECT_EQ(cli("apply --demo"), 2);
    EXPECT_EQ(out, "操作未完成\n已有待还原的备份，请先运行“lumaro-cli restore”。\n");
    EXPECT_EQ(test::readFile(state + "/" + kLastOperationFileName), kPendingSkinMessage);
    {
        const OperationLock held(platform::FileSystem::real(), state, kBatchLockFileName);
        EXPECT_EQ(cli("status"), 0);
        EXPECT_NE(out.find("另一个 Lumaro 正在操作：是\n"), std::string::npos) << out;
        EXPECT_EQ(cli("status --json"), 0);
        EXPECT_EQ(json()["operationRunning"], true);
        EXPECT_THROW(OperationLock(platform::FileSystem::real(), state, kBatchLockFileName), SkinError)
            << "still held by its owner alone";
        EXPECT_EQ(cli("restore --json"), 2);
        EXPECT_EQ(json()["messages"], Json::array({"另一个 Lumaro 正在操作，请稍后重试。"}));
    }
    // An editor's save: a new file renamed over the old one.
    const std::string welcome = scratch / "demo/欢迎使用.txt";
    test::writeFile(welcome + ".new", "edited");
    std::filesystem::rename(welcome + ".new", welcome);
    EXPECT_EQ(cli("restore"), 1) << out;
    // What was set aside, then the restore's own line saying why. Part was done: exit 1, as a restore.
    EXPECT_EQ(cli("set-aside --json"), 1) << out;
    EXPECT_EQ(json()["setAsideItems"], Json::array({"欢迎使用.txt"}));
    EXPECT_EQ(json()["messages"],
              Json::array({"欢迎使用.txt已搁置。它们的备份已保留，可以稍后重试还原，现在可以重新换肤。",
                           errorLine("欢迎使用.txt", "原位置的项目已被替换")}));
    EXPECT_EQ(cli("status --json"), 0);
    EXPECT_EQ(json()["pending"], false) << "the skin is over";
}

}  // namespace
}  // namespace lumaro
