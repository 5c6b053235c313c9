// A crash at any step of an apply or a restore is finished by the next restore: every item ends
// with exactly its original icon state.
#include <sys/stat.h>
#include <sys/xattr.h>

#include <gtest/gtest.h>

#include "engine/icon_engine.h"
#include "platform/paths.h"
#include "platform/resource_fork.h"
#include "resources/resources.h"
#include "tests/support/crash.h"
#include "tests/support/scratch.h"

namespace lumaro {
namespace {

using platform::FileSystem;
using test::ChildOutcome;
using test::ScratchDir;

const std::vector<std::string> kItems = {"plain.txt", "tagged.doc", "Folder", "Iconic", "Tool.app"};

Bytes textFork(const std::string& text) {
    platform::Resource resource;
    resource.type = {'T', 'E', 'X', 'T'};
    resource.id = 128;
    resource.data = test::bytesOf(text);
    return *platform::buildResourceFork({resource});
}

void buildFixture(const std::string& root) {
    test::makeDirectory(root);
    test::writeFile(root + "/plain.txt", "hello");
    test::writeFile(root + "/tagged.doc", "document");
    Bytes finder(32, 0);
    finder[0] = 'T';
    finder[9] = 0x0C;  // a label
    test::setRawAttribute(root + "/tagged.doc", "user.com.apple.FinderInfo", finder);
    test::setRawAttribute(root + "/tagged.doc", "user.com.apple.ResourceFork", textFork("notes"));
    test::setRawAttribute(root + "/tagged.doc", "user.xdg.comment", test::bytesOf("kept"));
    test::makeDirectory(root + "/Folder");
    test::makeDirectory(root + "/Iconic");
    test::writeFile(root + "/Iconic/Icon\r", "old icon bytes", 0600);
    test::setRawAttribute(root + "/Iconic/Icon\r", "user.com.apple.ResourceFork", textFork("folder"));
    test::setRawAttribute(root + "/Iconic/Icon\r", "user.note", test::bytesOf("n"));
    test::makeDirectory(root + "/Tool.app");
}

std::string attributesOf(const std::string& path) {
    char names[4096];
    const ssize_t size = ::llistxattr(path.c_str(), names, sizeof names);
    std::map<std::string, std::string> sorted;
    for (ssize_t at = 0; at < size;) {
        const std::string name(names + at);
        at += static_cast<ssize_t>(name.size()) + 1;
        if (name.starts_with("user.")) {
            const Bytes value = test::rawAttribute(path, name);
            sorted[name] = std::string(value.begin(), value.end());
        }
    }
    std::string text;
    for (const auto& [name, value] : sorted) {
        text += name + "=" + value + ";";
    }
    return text;
}

// Everything that makes up an item's icon, as one comparable text.
std::string iconStateOf(const std::string& item) {
    std::string text = attributesOf(item);
    struct stat st {};
    const std::string icon = item + "/Icon\r";
    if (::lstat(icon.c_str(), &st) == 0) {
        text += "|icon mode " + std::to_string(st.st_mode) + " " + test::readFile(icon) + " " +
                attributesOf(icon);
    }
    return text;
}

std::map<std::string, std::string> snapshot(const std::string& root) {
    std::map<std::string, std::string> states;
    for (const std::string& name : kItems) {
        states[name] = iconStateOf(root + "/" + name);
    }
    return states;
}

class CrashRecovery : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = scratch_ / "Desktop";
        state_ = scratch_ / "state";
        buildFixture(root_);
        before_ = snapshot(root_);
    }

    OperationReport apply(FileSystem& fs) const {
        return IconEngine(fs, state_, loadFurball()).apply(root_, true, false);
    }
    OperationReport restore(FileSystem& fs) const { return IconEngine(fs, state_, loadFurball()).restore(); }

    // After the final restore, every item is original and nothing is pending.
    void expectOriginal(const OperationReport& report, int step) const {
        EXPECT_TRUE(report.errors.empty()) << "step " << step << ": " << report.errors.front();
        EXPECT_EQ(snapshot(root_), before_) << "step " << step;
        EXPECT_NE(::access((state_ + "/backup.json").c_str(), F_OK), 0) << "step " << step;
        EXPECT_NE(::access((state_ + "/missing-backups").c_str(), F_OK), 0) << "step " << step;
    }

    test::NoSyncFileSystem noSync_{FileSystem::real()};
    ScratchDir scratch_;
    std::string root_;
    std::string state_;
    std::map<std::string, std::string> before_;
};

TEST_F(CrashRecovery, ApplyStoppedAtEveryChangeIsUndoneByTheRestore) {
    int step = 1;
    for (;; ++step) {
        ASSERT_EQ(std::system(("rm -rf '" + root_ + "' '" + state_ + "'").c_str()), 0);
        buildFixture(root_);
        const ChildOutcome outcome = test::runUntilCrash(step, [&](FileSystem& fs) { apply(fs); });
        ASSERT_NE(outcome, ChildOutcome::Failed) << "step " << step;
        expectOriginal(restore(noSync_), step);
        if (outcome == ChildOutcome::Completed || HasFailure()) {
            break;
        }
    }
    RecordProperty("steps", step);
    EXPECT_GT(step, 50) << "the apply should make many changes";
}

TEST_F(CrashRecovery, RestoreStoppedAtEveryChangeIsFinishedByTheNextRestore) {
    int step = 1;
    for (;; ++step) {
        ASSERT_EQ(std::system(("rm -rf '" + root_ + "' '" + state_ + "'").c_str()), 0);
        buildFixture(root_);
        const OperationReport applied = apply(noSync_);
        ASSERT_EQ(applied.succeeded, static_cast<std::int64_t>(kItems.size()));
        const ChildOutcome outcome = test::runUntilCrash(step, [&](FileSystem& fs) { restore(fs); });
        ASSERT_NE(outcome, ChildOutcome::Failed) << "step " << step;
        expectOriginal(restore(noSync_), step);
        if (outcome == ChildOutcome::Completed || HasFailure()) {
            break;
        }
    }
    EXPECT_GT(step, 20);
}

}  // namespace
}  // namespace lumaro
