// lumaro-cli run as a separate process against scratch folders.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include "batch/icon_batch_engine.h"
#include "records/operation_lock.h"
#include "tests/support/scratch.h"

namespace lumaro {
namespace {

using test::ScratchDir;
using Json = nlohmann::json;

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
    Json json() const { return Json::parse(out); }
};

// Runs the program with every location inside `scratch`; `args` follow the launch options.
Outcome runCli(const ScratchDir& scratch, const std::vector<std::string>& args, bool launchOptions = true) {
    std::vector<std::string> argv{LUMARO_CLI};
    if (launchOptions) {
        argv.insert(argv.end(), {"--state-root", scratch / "state", "--preview-root", scratch / "demo",
                                 "--desktop-root", scratch / "Desktop", "--application-root", scratch / "apps"});
    }
    argv.insert(argv.end(), args.begin(), args.end());
    const std::string out = scratch / "stdout";
    const std::string err = scratch / "stderr";
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv("HOME", (scratch / "home").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (scratch / "data").c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        const int outFd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int errFd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (outFd < 0 || errFd < 0 || ::dup2(outFd, STDOUT_FILENO) < 0 || ::dup2(errFd, STDERR_FILENO) < 0) {
            ::_exit(120);
        }
        std::vector<char*> raw;
        for (std::string& arg : argv) {
            raw.push_back(arg.data());
        }
        raw.push_back(nullptr);
        ::execv(raw[0], raw.data());
        ::_exit(121);
    }
    Outcome run;
    int status = 0;
    if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
        run.status = WEXITSTATUS(status);
    }
    run.out = test::readFile(out);
    run.err = test::readFile(err);
    return run;
}

std::string realPath(const std::string& path) {
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

struct CliRig {
    ScratchDir scratch;
    CliRig() {
        for (const char* folder : {"home", "data", "apps"}) {
            test::makeDirectory(scratch / folder);
        }
    }
};

TEST(cliRun, StatusApplyRestoreAndRetryOnTheDemoFolder) {
    CliRig rig;
    const Outcome fresh = runCli(rig.scratch, {"status"});
    EXPECT_EQ(fresh.status, 0) << fresh.err;
    EXPECT_NE(fresh.out.find("待还原的换肤：否"), std::string::npos) << fresh.out;

    const Outcome apply = runCli(rig.scratch, {"apply", "--demo", "--json"});
    ASSERT_EQ(apply.status, 0) << apply.out << apply.err;
    const Json applied = apply.json();
    EXPECT_EQ(applied["title"], "图标已更换");
    EXPECT_EQ(applied["succeeded"], 3);
    EXPECT_EQ(applied["remaining"], 3);
    EXPECT_EQ(applied["messages"], Json::array());

    const Json pending = runCli(rig.scratch, {"status", "--json"}).json();
    EXPECT_EQ(pending["pending"], true);
    EXPECT_EQ(pending["rootPath"], realPath(rig.scratch / "demo"));
    EXPECT_EQ(pending["includesApplications"], false);

    const Outcome restore = runCli(rig.scratch, {"restore"});
    EXPECT_EQ(restore.status, 0) << restore.out << restore.err;
    EXPECT_EQ(runCli(rig.scratch, {"status", "--json"}).json()["pending"], false);

    const Outcome retry = runCli(rig.scratch, {"retry", "--json"});
    EXPECT_EQ(retry.status, 0);
    EXPECT_EQ(retry.json()["title"], "还原已完成");
    EXPECT_EQ(retry.json()["messages"], Json::array({"没有找到可重试的还原记录。"}));
    EXPECT_EQ(runCli(rig.scratch, {"retry"}).out, "还原已完成\n没有找到可重试的还原记录。\n");
}

TEST(cliUsage, RejectsBadCommandLinesWithoutTouchingState) {
    CliRig rig;
    const std::vector<std::vector<std::string>> bad{
        {"frobnicate"}, {"status", "--bogus"}, {}, {"restore", "--demo"}, {"apply", "--demo", "--desktop"},
        {"apply", "--folder"}, {"status", "apply"}};
    for (const auto& args : bad) {
        const Outcome run = runCli(rig.scratch, args);
        EXPECT_EQ(run.status, 64) << testing::PrintToString(args);
        EXPECT_NE(run.err.find("usage: lumaro-cli"), std::string::npos) << run.err;
        EXPECT_TRUE(run.out.empty());
    }
    EXPECT_NE(::access((rig.scratch / "state").c_str(), F_OK), 0) << "usage errors create nothing";

    const Outcome help = runCli(rig.scratch, {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: lumaro-cli", 0), 0u) << help.out;
}

TEST(cliApply, ExitStatusTellsErrorsFromFailures) {
    CliRig rig;
    const std::string folder = rig.scratch / "mixed";
    test::makeDirectory(folder);
    test::writeFile(folder + "/bad.txt", "b");
    test::writeFile(folder + "/good.txt", "g");
    test::setRawAttribute(folder + "/bad.txt", "user.com.apple.FinderInfo", platform::Bytes(31, 0));
    const Outcome partial = runCli(rig.scratch, {"apply", "--folder", folder, "--json"});
    EXPECT_EQ(partial.status, 1) << partial.out << partial.err;
    const Json report = partial.json();
    EXPECT_EQ(report["title"], "有些图标没能更换");
    EXPECT_EQ(report["succeeded"], 1);
    EXPECT_EQ(report["errors"], Json::array({errorLine("bad.txt", "Finder 图标属性格式不受支持")}));
    ASSERT_EQ(runCli(rig.scratch, {"restore"}).status, 0);

    {
        const OperationLock held(platform::FileSystem::real(), rig.scratch / "state", kBatchLockFileName);
        const Outcome locked = runCli(rig.scratch, {"apply", "--json"});
        EXPECT_EQ(locked.status, 2) << locked.out << locked.err;
        EXPECT_EQ(locked.json()["title"], "操作未完成");
        EXPECT_EQ(locked.json()["messages"], Json::array({"另一个窗口正在操作，请稍后重试。"}));
    }

    test::writeFile(rig.scratch / "plain", "not a folder");
    const Outcome unavailable = runCli(rig.scratch, {"--state-root", rig.scratch / "plain", "status", "--json"}, false);
    EXPECT_EQ(unavailable.status, 2) << unavailable.out << unavailable.err;
    EXPECT_EQ(unavailable.json()["title"], "操作未完成");
}

}  // namespace
}  // namespace lumaro
