// The Linux stand-ins for the desktop session: display order, hidden names, bundles and
// running applications.
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

TEST(Workspace, HiddenNamesAreTheLinesOfAPlainHiddenFile) {
    test::ScratchDir scratch;
    test::writeFile(scratch / ".hidden", "secret.txt\nOther Folder\n\nlast");
    EXPECT_EQ(hiddenNamesIn(FileSystem::real(), scratch.path()),
              (std::set<std::string>{"secret.txt", "Other Folder", "last"}));
    std::filesystem::remove(scratch / ".hidden");
    ASSERT_EQ(::mkfifo((scratch / ".hidden").c_str(), 0644), 0);
    EXPECT_TRUE(hiddenNamesIn(FileSystem::real(), scratch.path()).empty()) << "a FIFO is not read";
}

TEST(Workspace, ReadsTheBundleIdentifierFromXmlAndBinaryPropertyLists) {
    test::ScratchDir scratch;
    for (const std::string format : {"XML", "BINARY"}) {  // written by an independent writer
        std::filesystem::create_directories(scratch / format + ".app/Contents");
        ASSERT_EQ(
            test::run(
                "/usr/bin/python3 -c \"import plistlib, sys; open(sys.argv[1], 'wb').write(plistlib.dumps("
                "{'CFBundleIdentifier': sys.argv[2]}, fmt=plistlib.FMT_" +
                format + "))\" '" + scratch / format + ".app/Contents/Info.plist' org.example." + format),
            "");
        EXPECT_EQ(bundleIdentifier(FileSystem::real(), scratch / format + ".app"), "org.example." + format);
    }
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
        for (const RunningApplication& application : Workspace::real().runningApplications()) {
            found = found || (application.bundlePath == bundle && application.regular);
        }
    }
    ::kill(pid, SIGKILL);
    EXPECT_TRUE(found);
}

}  // namespace
}  // namespace lumaro::platform
