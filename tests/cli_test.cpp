// lumaro-cli run as a separate process against scratch folders.
#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include "batch/icon_batch_engine.h"
#include "records/operation_lock.h"
#include "tests/support/scratch.h"

namespace lumaro {
namespace {

using Json = nlohmann::json;

struct CliTest : ::testing::Test {
    // Runs the program with every location inside the scratch folder and `args` after the launch
    // options; keeps its output in `out` and gives its exit status, which the shell prints last.
    int cli(const std::string& args) {
        out =
            test::run("HOME=" + scratch / "home" + " XDG_DATA_HOME=" + scratch / "data" +
                      " QT_QPA_PLATFORM=offscreen " LUMARO_CLI " --state-root " + state + " --preview-root " +
                      scratch / "demo" + " --desktop-root " + scratch / "Desktop" + " --application-root " +
                      scratch / "apps" + " " + args + " 2>" + scratch / "err; echo $?");
        const std::size_t cut = out.find_last_of('\n', out.size() - 2) + 1;  // npos + 1 == 0: no output
        const int status = std::stoi(out.substr(cut));
        out.erase(cut);
        return status;
    }
    Json json() const { return Json::parse(out); }
    test::ScratchDir scratch;
    std::string state = scratch / "state";
    std::string out;
};

TEST_F(CliTest, StatusApplyRestoreAndRetryOnTheDemoFolder) {
    ASSERT_EQ(cli("apply --demo --json"), 0) << out << test::readFile(scratch / "err");
    EXPECT_EQ(json()["title"], "图标已更换");
    EXPECT_EQ(json()["succeeded"], 3);
    EXPECT_EQ(cli("status --json"), 0);
    EXPECT_EQ(json()["pending"], true);
    EXPECT_EQ(json()["rootPath"], scratch / "demo");
    EXPECT_EQ(cli("restore"), 0);
    EXPECT_EQ(cli("status --json"), 0);
    EXPECT_EQ(json()["pending"], false);
    EXPECT_EQ(cli("retry --json"), 0);
    EXPECT_EQ(json()["messages"], Json::array({"没有找到可重试的还原记录。"}));
}

TEST_F(CliTest, ExitStatusTellsReportErrorsFailuresAndUsageErrors) {
    for (const char* bad : {"frobnicate", "status --bogus", "", "restore --demo", "apply --demo --desktop",
                            "apply --folder", "status apply"}) {
        EXPECT_EQ(cli(bad), 64) << bad;
        EXPECT_NE(test::readFile(scratch / "err").find("usage: lumaro-cli"), std::string::npos) << bad;
        EXPECT_EQ(out, "") << bad;
    }
    EXPECT_FALSE(test::exists(state)) << "usage errors create nothing";

    test::makeDirectory(scratch / "mixed");
    test::writeFile(scratch / "mixed/bad.txt", "b");
    test::setRawAttribute(scratch / "mixed/bad.txt", test::kFinderInfo, platform::Bytes(31, 0));
    EXPECT_EQ(cli("apply --folder " + scratch / "mixed" + " --json"), 1) << out;
    EXPECT_EQ(json()["errors"], Json::array({errorLine("bad.txt", "Finder 图标属性格式不受支持")}));
    ASSERT_EQ(cli("restore"), 0);

    const OperationLock held(platform::FileSystem::real(), state, kBatchLockFileName);
    EXPECT_EQ(cli("apply --json"), 2) << out;
    EXPECT_EQ(json()["title"], "操作未完成");
    EXPECT_EQ(json()["messages"], Json::array({"另一个窗口正在操作，请稍后重试。"}));
}

}  // namespace
}  // namespace lumaro
