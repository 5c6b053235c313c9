// The real window on Qt's offscreen platform: labels, enabling, check marks, the quit guard,
// the result alert and the drawn bevel.
#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <functional>

#include <gtest/gtest.h>

#include "app/gui/shell.h"
#include "tests/support/scratch.h"

namespace lumaro::gui {
namespace {

using test::ScratchDir;

// Holds each operation until the test lets it run, so the window can be seen while busy.
class HoldingRunner final : public OperationRunner {
public:
    void run(std::function<OperationOutcome()> work, std::function<void(OperationOutcome)> completion) override {
        work_ = std::move(work);
        completion_ = std::move(completion);
    }
    bool holding() const { return static_cast<bool>(work_); }
    void release() {
        auto work = std::move(work_);
        auto completion = std::move(completion_);
        work_ = nullptr;
        completion(work());
    }

private:
    std::function<OperationOutcome()> work_;
    std::function<void(OperationOutcome)> completion_;
};

class WindowTest : public ::testing::Test {
protected:
    std::unique_ptr<Shell> start(std::vector<std::string> extra = {}) {
        std::vector<std::string> arguments = {"lumaro",         "--state-root",   scratch / "state",
                                              "--desktop-root", scratch / "Desktop", "--application-root",
                                              scratch / "Applications"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        auto shell = std::make_unique<Shell>(arguments, runner, platform::FileSystem::real(),
                                             platform::Workspace::real());
        shell->window().show();
        return shell;
    }
    void SetUp() override {
        test::makeDirectory(scratch / "Desktop");
        test::writeFile(scratch / "Desktop/note.txt", "n");
    }
    // Shows pending alerts and closes them, modal ones included, so no test leaves one behind.
    static void drainAlerts() {
        QTimer closer;
        QObject::connect(&closer, &QTimer::timeout, [] {
            for (QWidget* widget : QApplication::topLevelWidgets()) {
                if (widget->objectName() == "result-alert" && widget->isVisible()) {
                    widget->close();
                }
            }
        });
        closer.start(5);
        for (int i = 0; i < 5; ++i) {
            QApplication::processEvents();
        }
    }
    void TearDown() override {
        drainAlerts();
        setCurrentModel(nullptr);
    }

    static bool enabled(MainWindow& window, const char* text) { return window.action(QString::fromUtf8(text))->isEnabled(); }
    static bool checked(MainWindow& window, const char* text) { return window.action(QString::fromUtf8(text))->isChecked(); }

    ScratchDir scratch;
    HoldingRunner runner;
};

TEST_F(WindowTest, StatesFollowTheModelThroughAnApplyAndARestore) {
    auto shell = start();
    MainWindow& window = shell->window();
    EXPECT_EQ(window.centralWidget()->size(), QSize(kContentWidth, kContentHeight));
    EXPECT_EQ(window.minimumSize(), window.maximumSize()) << "the window cannot be resized";
    EXPECT_TRUE(window.findChild<QWidget*>("scope-description"));
    EXPECT_TRUE(window.applyButton()->isEnabled());
    EXPECT_FALSE(window.restoreButton()->isEnabled());
    EXPECT_TRUE(enabled(window, "重试已跳过的还原"));
    EXPECT_TRUE(checked(window, "桌面和应用图标"));
    EXPECT_FALSE(checked(window, "仅桌面"));
    EXPECT_EQ(currentModel(), &shell->model());

    QTest::mouseClick(window.applyButton(), Qt::LeftButton);
    ASSERT_TRUE(runner.holding());
    EXPECT_EQ(window.applyButton()->text(), "换肤中…");
    EXPECT_EQ(window.restoreButton()->text(), "一键还原");
    EXPECT_FALSE(window.applyButton()->isEnabled());
    EXPECT_FALSE(window.restoreButton()->isEnabled());
    for (const char* item : {"重试已跳过的还原", "桌面和应用图标", "演示文件夹", "仅桌面", "选择文件夹…"}) {
        EXPECT_FALSE(enabled(window, item)) << item;
    }
    EXPECT_TRUE(enabled(window, "查看备份"));
    EXPECT_TRUE(enabled(window, "打开当前文件夹"));
    QTest::mouseClick(window.applyButton(), Qt::LeftButton);  // ignored while busy

    runner.release();
    EXPECT_FALSE(window.applyButton()->isEnabled());
    EXPECT_TRUE(window.restoreButton()->isEnabled());
    EXPECT_EQ(window.applyButton()->text(), "一键换肤");
    for (const char* item : {"重试已跳过的还原", "桌面和应用图标", "演示文件夹", "仅桌面", "选择文件夹…"}) {
        EXPECT_FALSE(enabled(window, item)) << item;
    }

    QTest::mouseClick(window.restoreButton(), Qt::LeftButton);
    EXPECT_EQ(window.restoreButton()->text(), "还原中…");
    EXPECT_EQ(window.applyButton()->text(), "一键换肤");
    runner.release();
    EXPECT_TRUE(window.applyButton()->isEnabled());
    EXPECT_FALSE(window.restoreButton()->isEnabled());
}

TEST_F(WindowTest, ScopeMenuMovesItsCheckMark) {
    auto shell = start();
    MainWindow& window = shell->window();
    window.action("仅桌面")->trigger();
    EXPECT_TRUE(checked(window, "仅桌面"));
    EXPECT_FALSE(checked(window, "桌面和应用图标"));
    EXPECT_FALSE(shell->model().includeApplications());
    window.action("仅桌面")->trigger();  // choosing the marked item again changes nothing
    EXPECT_TRUE(checked(window, "仅桌面"));
    window.action("桌面和应用图标")->trigger();
    EXPECT_TRUE(checked(window, "桌面和应用图标"));
    EXPECT_TRUE(shell->model().includeApplications());
    window.action("演示文件夹")->trigger();
    EXPECT_TRUE(checked(window, "演示文件夹"));
    EXPECT_FALSE(checked(window, "桌面和应用图标"));
    shell->model().chooseTarget(scratch.path());
    window.refresh();
    for (const char* item : {"桌面和应用图标", "演示文件夹", "仅桌面"}) {
        EXPECT_FALSE(checked(window, item)) << "a folder chosen by hand carries no mark";
    }
}

TEST_F(WindowTest, UnavailableModelDisablesEveryOperation) {
    test::writeFile(scratch / "not-a-folder", "x");
    std::vector<std::string> arguments = {"lumaro", "--state-root", scratch / "not-a-folder", "--desktop-root",
                                          scratch / "Desktop", "--application-root", scratch / "Applications"};
    Shell shell(arguments, runner, platform::FileSystem::real(), platform::Workspace::real());
    shell.window().show();
    EXPECT_TRUE(shell.model().unavailable());
    EXPECT_FALSE(shell.window().applyButton()->isEnabled());
    EXPECT_FALSE(shell.window().restoreButton()->isEnabled());
    EXPECT_FALSE(enabled(shell.window(), "重试已跳过的还原"));
    EXPECT_TRUE(enabled(shell.window(), "查看备份"));
    EXPECT_TRUE(enabled(shell.window(), "打开当前文件夹"));
}

TEST_F(WindowTest, QuitIsRefusedWhileBusyAndAlertTextIsCut) {
    auto shell = start();
    QTest::mouseClick(shell->window().applyButton(), Qt::LeftButton);
    ASSERT_TRUE(shell->model().busy());
    EXPECT_FALSE(allowQuit());
    QEvent quit(QEvent::Quit);
    EXPECT_TRUE(QApplication::sendEvent(qApp, &quit));
    runner.release();
    EXPECT_TRUE(allowQuit());

    const std::string long400(400, 'x');
    shell->model().finishOperation({long400, long400}, "图标已更换");
    QApplication::processEvents();
    QMessageBox* alert = nullptr;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        alert = alert ? alert : qobject_cast<QMessageBox*>(widget);
    }
    if (alert == nullptr) {
        alert = shell->window().findChild<QMessageBox*>("result-alert");
    }
    ASSERT_NE(alert, nullptr);
    EXPECT_EQ(alert->text(), "图标已更换");
    EXPECT_EQ(alert->informativeText(), QString(360, 'x') + "…");
    EXPECT_EQ(alert->windowModality(), Qt::WindowModal);
    alert->close();
}

TEST_F(WindowTest, BevelSwapsWhenPressedAndDisabledLabelIsGrey) {
    auto shell = start();
    RetroButton* apply = shell->window().applyButton();
    const QRgb white = QColor(Qt::white).rgb();
    const QRgb face = faceGrey().rgb();
    const QRgb shadow = shadowGrey().rgb();
    EXPECT_EQ(qRed(face), 212);  // 0.83 of full scale
    const QImage released = apply->grab().toImage();
    const int w = released.width();
    const int h = released.height();
    EXPECT_EQ(released.pixel(0, h / 2), white) << "left edge";
    EXPECT_EQ(released.pixel(w / 2, 0), white) << "top edge";
    EXPECT_EQ(released.pixel(w - 1, h / 2), shadow) << "right edge";
    EXPECT_EQ(released.pixel(w / 2, h - 1), shadow) << "bottom edge";
    EXPECT_EQ(released.pixel(6, 6), face);

    apply->setForcedDown(true);
    const QImage pressed = apply->grab().toImage();
    EXPECT_EQ(pressed.pixel(0, h / 2), shadow);
    EXPECT_EQ(pressed.pixel(w / 2, 0), shadow);
    EXPECT_EQ(pressed.pixel(w - 1, h / 2), white);
    EXPECT_EQ(pressed.pixel(w / 2, h - 1), white);

    // The disabled restore button draws its label in the 0.5 grey over a white engraving.
    const QImage disabled = shell->window().restoreButton()->grab().toImage();
    bool grey = false;
    bool engraved = false;
    for (int y = 4; y < h - 4; ++y) {
        for (int x = 4; x < w - 4; ++x) {
            grey = grey || disabled.pixel(x, y) == disabledLabelGrey().rgb();
            engraved = engraved || disabled.pixel(x, y) == white;
        }
    }
    EXPECT_TRUE(grey);
    EXPECT_TRUE(engraved);
}

}  // namespace
}  // namespace lumaro::gui

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    lumaro::gui::LumaroApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
