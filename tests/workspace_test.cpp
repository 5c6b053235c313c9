// The Linux stand-ins for the desktop session: display order and running applications (bundle
// identifiers and hidden names are read in the fuzzing of their readers).
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QLocale>
#include <filesystem>

#include <gtest/gtest.h>

#include "platform/workspace.h"
#include "tests/support/scratch.h"

namespace lumaro::platform {
namespace {

TEST(Workspace, DisplayOrderIsNumericCaseInsensitiveAndStableInEveryLocale) {
    const QLocale saved;
    for (const char* locale : {"C", "en_US", "de_DE", "sv_SE", "zh_CN"}) {
        QLocale::setDefault(QLocale(locale));
        std::vector<std::string> names = {"b10", "Readme", "B2", "readme", "a"};
        sortNamesForDisplay(names);  // names that compare equal keep their order
        EXPECT_EQ(names, (std::vector<std::string>{"a", "B2", "b10", "Readme", "readme"})) << locale;
    }
    QLocale::setDefault(saved);
}

TEST(Workspace, FindsARunningProcessWhoseExecutableLiesInsideABundle) {
    test::ScratchDir scratch;
    const std::string bundle = scratch / "Sleeper.App";
    std::filesystem::create_directories(bundle + "/Contents/MacOS");
    std::filesystem::copy_file("/bin/sleep", bundle + "/Contents/MacOS/sleeper");
    const pid_t pid =
        std::stoi(test::run("'" + bundle + "/Contents/MacOS/sleeper' 30 >/dev/null 2>&1 & echo $!"));
    bool found = false;
    for (int attempt = 0; attempt < 100 && !found; ++attempt) {
        ::usleep(20000);
        for (const RunningApplication& application : Workspace::real().runningApplications())
            found = found || (application.bundlePath == bundle && application.regular);
    }
    ::kill(pid, SIGKILL);
    EXPECT_TRUE(found);
}

}  // namespace
}  // namespace lumaro::platform
