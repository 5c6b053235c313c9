// The Linux stand-ins for the desktop session: running applications, bundles, hidden names,
// display order.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QLocale>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "platform/paths.h"
#include "platform/workspace.h"
#include "tests/support/scratch.h"

namespace lumaro::platform {
namespace {

using test::ScratchDir;

std::vector<std::string> sorted(std::vector<std::string> names) {
    sortNamesForDisplay(names);
    return names;
}

TEST(DisplayOrder, NumericCaseInsensitiveAndStableInEveryLocale) {
    const QLocale saved;
    for (const QLocale& locale : {QLocale::c(), QLocale(QLocale::English, QLocale::UnitedStates),
                                  QLocale(QLocale::German, QLocale::Germany)}) {
        QLocale::setDefault(locale);
        EXPECT_EQ(sorted({"b10", "B2", "a"}), (std::vector<std::string>{"a", "B2", "b10"}))
            << locale.name().toStdString();
        EXPECT_EQ(sorted({"file 10.txt", "file 9.txt", "File 1.txt"}),
                  (std::vector<std::string>{"File 1.txt", "file 9.txt", "file 10.txt"}));
        // Names that compare equal keep the listing's order.
        EXPECT_EQ(sorted({"Readme", "readme", "README"}), (std::vector<std::string>{"Readme", "readme", "README"}));
    }
    QLocale::setDefault(saved);
}

TEST(HiddenNames, LeadingDotAndTheFoldersHiddenList) {
    ScratchDir scratch;
    EXPECT_TRUE(hiddenNamesIn(FileSystem::real(), scratch.path()).empty());
    test::writeFile(scratch / ".hidden", "secret.txt\nOther Folder\n\nIcon\r\nlast");
    const auto names = hiddenNamesIn(FileSystem::real(), scratch.path());
    EXPECT_EQ(names, (std::set<std::string>{"secret.txt", "Other Folder", "Icon\r", "last"}));
    EXPECT_TRUE(isHiddenName(".profile", names));
    EXPECT_TRUE(isHiddenName("last", names));
    EXPECT_FALSE(isHiddenName("secret", names));

    // A ".hidden" that is a FIFO or a link is not read (and does not hang).
    ScratchDir other;
    ASSERT_EQ(::mkfifo((other / ".hidden").c_str(), 0644), 0);
    EXPECT_TRUE(hiddenNamesIn(FileSystem::real(), other.path()).empty());
}

TEST(Bundles, PackagesBundlePathsAndIdentifiers) {
    EXPECT_TRUE(isPackageExtension("app"));
    EXPECT_TRUE(isPackageExtension("RTFD"));
    EXPECT_TRUE(isPackageExtension("pages"));
    EXPECT_FALSE(isPackageExtension("txt"));
    EXPECT_FALSE(isPackageExtension(""));

    EXPECT_EQ(applicationBundleOf("/opt/Outer.app/Contents/Inner.APP/Contents/MacOS/tool"), "/opt/Outer.app");
    EXPECT_EQ(applicationBundleOf("/usr/bin/app"), std::nullopt);
    EXPECT_EQ(applicationBundleOf("/opt/tool.app"), std::nullopt) << "the executable itself is no bundle";
    EXPECT_EQ(applicationBundleOf("/opt/./X.app/../Y.app/run"), "/opt/Y.app");

    ScratchDir scratch;
    test::makeDirectory(scratch / "Xml.app");
    test::makeDirectory(scratch / "Xml.app/Contents");
    test::writeFile(scratch / "Xml.app/Contents/Info.plist",
                    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                    "<key>CFBundleName</key><string>Xml</string>"
                    "<key>CFBundleIdentifier</key><string>org.example.xml</string></dict></plist>\n");
    EXPECT_EQ(bundleIdentifier(FileSystem::real(), scratch / "Xml.app"), "org.example.xml");

    // A binary property list, written by an independent writer.
    test::makeDirectory(scratch / "Bin.app");
    test::makeDirectory(scratch / "Bin.app/Contents");
    const std::string script = "import plistlib; open('" + scratch / "Bin.app/Contents/Info.plist" +
                               "', 'wb').write(plistlib.dumps({'CFBundleIdentifier': 'org.example.bin'}, "
                               "fmt=plistlib.FMT_BINARY))";
    ASSERT_EQ(std::system(("/usr/bin/python3 -c \"" + script + "\"").c_str()), 0);
    EXPECT_EQ(bundleIdentifier(FileSystem::real(), scratch / "Bin.app"), "org.example.bin");

    test::makeDirectory(scratch / "Broken.app");
    test::makeDirectory(scratch / "Broken.app/Contents");
    test::writeFile(scratch / "Broken.app/Contents/Info.plist", "<plist><dict><key>CFBundleIdentifier</key>");
    EXPECT_EQ(bundleIdentifier(FileSystem::real(), scratch / "Broken.app"), std::nullopt);
    test::writeFile(scratch / "Broken.app/Contents/Info.plist",
                    "<plist version=\"1.0\"><dict><key>CFBundleIdentifier</key><integer>3</integer></dict></plist>");
    EXPECT_EQ(bundleIdentifier(FileSystem::real(), scratch / "Broken.app"), std::nullopt);
    EXPECT_EQ(bundleIdentifier(FileSystem::real(), scratch / "Missing.app"), std::nullopt);
}

TEST(RunningApplications, FindsAProcessWhoseExecutableLiesInsideABundle) {
    ScratchDir scratch;
    const std::string bundle = scratch / "Sleeper.App";
    test::makeDirectory(bundle);
    test::makeDirectory(bundle + "/Contents");
    test::makeDirectory(bundle + "/Contents/MacOS");
    const std::string executable = bundle + "/Contents/MacOS/sleeper";
    ASSERT_EQ(std::system(("cp /bin/sleep '" + executable + "'").c_str()), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::execl(executable.c_str(), "sleeper", "30", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    bool found = false;
    for (int attempt = 0; attempt < 100 && !found; ++attempt) {
        for (const RunningApplication& application : Workspace::real().runningApplications()) {
            found = found || (application.bundlePath == bundle && application.regular);
        }
        if (!found) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_TRUE(found);
    EXPECT_EQ(Workspace::real().ownBundleIdentifier(), std::nullopt);
}

TEST(Uuids, UpperCaseStandardForm) {
    const std::string a = newUuidString();
    EXPECT_EQ(a.size(), 36u);
    EXPECT_EQ(a.find_first_not_of("0123456789ABCDEF-"), std::string::npos);
    EXPECT_EQ(a[8], '-');
    EXPECT_EQ(a[23], '-');
    EXPECT_NE(a, newUuidString());
}

}  // namespace
}  // namespace lumaro::platform
