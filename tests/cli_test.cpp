// lumaro-cli run as a separate process against scratch folders.
#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <filesystem>
#include <tuple>

#include "records/records.h"
#include "tests/support/scratch.h"

namespace lumaro {
namespace {

using Json = nlohmann::json;

TEST(CliTest, ExitStatusTellsReportErrorsFailuresAndUsageErrorsAndTheDemoEndsBySetAside) {
    test::ScratchDir scratch;
    std::string state = scratch / "state", mixed = scratch / "mixed", out;
    // Runs the program with every location inside the scratch folder and `args` after the launch
    // options; keeps its output in `out` and gives its exit status, which the shell prints last.
    const auto cli = [&](const std::string& args) {
        out = test::run("HOME=" + scratch / "home" + " XDG_DATA_HOME=" + scratch / "data" +
                        " QT_QPA_PLATFORM=offscreen " LUMARO_CLI " --state-root " + state + " --preview-root " +
                        scratch / "demo" + " --desktop-root " + scratch / "Desktop" + " --application-root " +
                        scratch / "apps" + " " + args + " 2>" + scratch / "err; echo $?");
        const std::size_t cut = out.find_last_of('\n', out.size() - 2) + 1;  // npos + 1 == 0: no output
        const int status = std::stoi(out.substr(cut));
        return out.erase(cut), status;
    };
    const auto json = [&] { return Json::parse(out); };
    // A file whose Finder information cannot be read: the apply's error for it.
    const auto unreadable = [&](const std::string& path) {
        test::writeFile(path, "b");
        test::setRawAttribute(path, test::kFinderInfo, platform::Bytes(31, 0));
        return errorLine(std::filesystem::path(path).filename(), "Finder 图标属性格式不受支持");
    };

    // An unset script variable as the state root must not reach the real state folder, nor create one.
    for (const char* bad :
         {"frobnicate", "status --bogus", "", "restore --demo", "apply --demo --desktop", "apply --folder",
          "status apply", "apply --folder --json", "status --state-root", "status --desktop-root --json",
          "apply --application-root ''", "restore --state-root ''"}) {
        EXPECT_EQ(cli(bad), 64) << bad;
        EXPECT_NE(test::readFile(scratch / "err").find("usage: lumaro-cli"), std::string::npos) << bad;
        EXPECT_EQ(out, "") << bad;
    }
    EXPECT_FALSE(test::exists(state) || test::exists(scratch / "home")) << "usage errors create nothing";

    // Nothing done but errors: 2; part done with errors: 1. A name with escape sequences reaches the
    // JSON report exactly, and the terminal filtered.
    test::makeDirectory(mixed);
    const std::string bad = unreadable(mixed + "/bad.txt"),
                      hostile = unreadable(mixed + "/t\x1b]0;x\x07\x1b[2J\xc2\x9b\r.txt");
    EXPECT_EQ(cli("apply --folder " + mixed + " --json"), 2) << out;
    EXPECT_EQ(json()["errors"], Json::array({bad, hostile}));
    EXPECT_EQ(cli("apply --folder " + scratch / "absent"), 2) << out;
    test::writeFile(mixed + "/good.txt", "g");
    EXPECT_EQ(cli("apply --folder " + mixed), 1) << out;
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
    EXPECT_EQ(std::tuple(json()["pending"], json()["rootPath"]),
              std::tuple(Json(true), Json(scratch / "demo")));
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
