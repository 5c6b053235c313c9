// The real window on Qt's offscreen platform: enabling, check marks, quit guard, alerts and bevel.
#include <QApplication>
#include <QComboBox>
#include <QMenuBar>
#include <QMessageBox>
#include <QRegularExpression>
#include <QTest>
#include <QTextLayout>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <filesystem>
#include <future>
#include <set>
#include <tuple>

#include <gtest/gtest.h>

#include "app/gui/shell.h"
#include "resources/resources.h"
#include "tests/support/scratch.h"

namespace lumaro::gui {
namespace {

// The fixture is the runner: it holds each operation until `release`, so the window can be seen while busy;
// the model starts no second one meanwhile.
struct WindowTest : ::testing::Test, OperationRunner {
    WindowTest() {
        test::makeDirectory(scratch / "Desktop");
        test::writeFile(scratch / "Desktop/note.txt", "n");
    }
    void run(std::function<OperationOutcome()> work,
             std::function<void(OperationOutcome)> completion) override {
        EXPECT_FALSE(held) << "one operation at a time";
        held = [=] { completion(work()); };
    }
    void release() { std::exchange(held, nullptr)(); }
    std::vector<std::string> arguments(const std::string& state = "state") const {
        const std::string s = scratch.path() + "/";
        return {"lumaro",      "--state-root",       s + state,         "--desktop-root",
                s + "Desktop", "--application-root", s + "Applications"};
    }
    std::unique_ptr<Shell> start(const std::string& state = "state") {
        auto shell =
            std::make_unique<Shell>(arguments(state), *this, platform::FileSystem::real(), workspace);
        shell->window().show();
        return shell;
    }
    // Shows the alerts still queued and closes them, modal ones included, so none outlives its test.
    void TearDown() override {
        QTimer closer;
        closer.callOnTimeout([] {
            for (QWidget* alert : QApplication::topLevelWidgets())
                alert->objectName() == "result-alert" ? void(alert->close()) : void();
        });
        closer.start(5);
        for (int i = 0; i < 5; ++i)
            QApplication::processEvents();
        setCurrentModel(nullptr);
    }
    // "AR MMMMMMMM SSS": 1 for each enabled button and menu item below, then for each check-marked scope
    // item.
    static std::string states(MainWindow& window) {
        const auto bit = [](bool on) { return on ? '1' : '0'; };
        std::string out{bit(window.applyButton()->isEnabled()), bit(window.restoreButton()->isEnabled()),
                        ' '};
        for (const char* item : {"重试已跳过的还原", "搁置无法还原的项目…", "桌面和应用图标", "演示文件夹",
                                 "仅桌面", "选择文件夹…", "查看备份", "打开当前文件夹"})
            out += bit(window.action(item)->isEnabled());
        out += ' ';
        for (auto item : {"桌面和应用图标", "演示文件夹", "仅桌面"})
            out += bit(window.action(item)->isChecked());
        return out;
    }
    // The newest alert of that name, after the queued events ran.
    QMessageBox* alert(MainWindow& window, const char* name = "result-alert") {
        QApplication::processEvents();
        const auto all = window.findChildren<QMessageBox*>(name);
        return all.isEmpty() ? nullptr : all.back();
    }
    test::ScratchDir scratch;
    test::FakeWorkspace workspace;
    std::function<void()> held;
};

// Every text the window and its menus show has a glyph for each character in the font it is drawn
// with, the platform's fallback included (none is drawn as a box, glyph 0).
void expectEveryTextHasGlyphs(const MainWindow& window) {
    std::vector<std::pair<QString, QFont>> shown{{window.windowTitle(), window.font()}};
    // Labels and buttons; the menu bar's actions are the menu titles, a menu's its items.
    for (const QWidget* widget : window.findChildren<QWidget*>()) {
        shown.emplace_back(widget->property("text").toString(), widget->font());
        for (const QAction* action : widget->actions())
            shown.emplace_back(action->text(), widget->font());
    }
    ASSERT_GT(shown.size(), 10u);
    for (const auto& [text, font] : shown) {
        QTextLayout layout(QString(text).remove('&'), font);
        layout.beginLayout();
        layout.createLine();
        layout.endLayout();
        for (const QGlyphRun& run : layout.glyphRuns())
            EXPECT_FALSE(run.glyphIndexes().contains(0))
                << "no glyph in " << run.rawFont().familyName().toStdString() << " for "
                << text.toStdString();
    }
}

TEST_F(WindowTest, StatesBevelsCheckMarksQuitGuardSetAsideAndAlertsThroughAnApplyAndARestore) {
    auto shell = start();
    MainWindow& window = shell->window();
    EXPECT_EQ(states(window), "10 10111111 100");
    expectEveryTextHasGlyphs(window);
    // The bevel: light above and left, shadow below and right, swapped when pressed; a disabled label is
    // drawn grey with a white shadow.
    const QRgb white = QColor(Qt::white).rgb(), shadow = shadowGrey().rgb();
    const QImage released = window.applyButton()->grab().toImage();
    window.applyButton()->setForcedDown(true);
    const QImage pressed = window.applyButton()->grab().toImage();
    window.applyButton()->setForcedDown(false);
    const int w = released.width(), h = released.height();
    EXPECT_EQ(std::tuple(released.pixel(6, 6), released.pixel(w / 2, 0), released.pixel(w - 1, h / 2),
                         pressed.pixel(0, h / 2), pressed.pixel(w / 2, h - 1)),
              std::tuple(faceGrey().rgb(), white, shadow, shadow, white));
    const QImage disabled = window.restoreButton()->grab().toImage();
    std::set<QRgb> inside;
    for (int i = 0; i < (w - 8) * (h - 8); ++i)
        inside.insert(disabled.pixel(4 + i % (w - 8), 4 + i / (w - 8)));
    EXPECT_TRUE(inside.count(disabledLabelGrey().rgb()) && inside.count(white));

    QTest::mouseClick(window.applyButton(), Qt::LeftButton);
    EXPECT_EQ(window.applyButton()->text(), "换肤中…");
    expectEveryTextHasGlyphs(window);
    shell->model().runOperation(Operation::restore);
    shell->model().chooseTarget(scratch.path());  // ignored while busy: the mark stays
    EXPECT_EQ(states(window), "00 00000011 100");
    EXPECT_FALSE(allowQuit());
    QEvent quit(QEvent::Quit);
    EXPECT_TRUE(QApplication::sendEvent(qApp, &quit)) << "the quit request is swallowed while busy";
    release();
    EXPECT_TRUE(allowQuit());
    EXPECT_EQ(window.applyButton()->text(), "一键换肤");
    EXPECT_EQ(states(window), "01 01000011 100");
    // An item an editor replaced cannot be restored: the question can be cancelled, and "搁置" ends the skin.
    test::writeFile(scratch / "Desktop/note.txt.new", "edited");
    std::filesystem::rename(scratch / "Desktop/note.txt.new", scratch / "Desktop/note.txt");
    QTest::mouseClick(window.restoreButton(), Qt::LeftButton);
    EXPECT_EQ(window.restoreButton()->text(), "还原中…");
    release();  // refused: still pending (the cancelled question below finds the same states)
    for (const QString& answer : {QString("取消"), QString("搁置")}) {
        window.action("搁置无法还原的项目…")->trigger();
        QMessageBox* question = alert(window, "set-aside-question");
        ASSERT_NE(question, nullptr);
        EXPECT_EQ(question->windowModality(), Qt::WindowModal);
        for (QAbstractButton* button : question->buttons())
            if (button->text() == answer)
                button->click();
        QApplication::processEvents();
        EXPECT_EQ(bool(held), answer == "搁置") << "cancelled: nothing runs";
        EXPECT_EQ(states(window), answer == "搁置" ? "00 00000011 100" : "01 01000011 100");
    }
    release();
    EXPECT_EQ(states(window), "10 10111111 100") << "the skin is no longer pending";
    EXPECT_TRUE(alert(window)->informativeText().contains("note.txt"));

    shell->model().finishOperation({std::string(400, 'x')}, "图标已更换");
    const QMessageBox* shown = alert(window);
    EXPECT_EQ(std::tuple(shown->text(), shown->informativeText(), shown->windowModality()),
              std::tuple(QString("图标已更换"), QString(360, 'x') + "…", Qt::WindowModal));

    // Choosing the marked item again changes nothing; a folder chosen by hand carries no mark.
    const std::pair<const char*, const char*> choices[] = {
        {"仅桌面", "001"}, {"仅桌面", "001"}, {"演示文件夹", "010"}};
    for (const auto& [item, marks] : choices) {
        window.action(item)->trigger();
        EXPECT_EQ(states(window), std::string("10 10111111 ") + marks) << item;
    }
    shell->model().chooseTarget(scratch.path());
    window.refresh();
    EXPECT_EQ(states(window), "10 10111111 000");
    test::writeFile(scratch / "not-a-folder", "x");
    const auto unavailable = start("not-a-folder");
    EXPECT_EQ(states(unavailable->window()), "00 00000011 100");
    // Says in Chinese what is wrong, the system's text after it, in an alert wide enough for both.
    const QMessageBox* failure = alert(unavailable->window());
    ASSERT_NE(failure, nullptr);
    EXPECT_TRUE(failure->informativeText().startsWith("状态文件夹的位置上有一个不是文件夹的项目。"))
        << failure->informativeText().toStdString();
    EXPECT_TRUE(failure->informativeText().contains(QString::fromStdString(scratch / "not-a-folder")));
    EXPECT_GE(failure->width(), kContentWidth);
}

// The darkest grey level in a part of an image.
int darkest(const QImage& image, const QRect& area) {
    int level = 255;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            level = std::min(level, qGray(image.pixel(x, y)));
    return level;
}

TEST_F(WindowTest, KeyboardFocusGreyedMenuItemsChineseDialogsAndTheIcon) {
    auto shell = start();
    MainWindow& window = shell->window();
    EXPECT_EQ(window.windowIcon().pixmap(64, 64).toImage().pixel(32, 32),
              loadFurball().scaled(64, 64, Qt::KeepAspectRatio, Qt::SmoothTransformation).pixel(32, 32));

    // Enabled items black, disabled ones grey, in the menu as drawn.
    QMenu* menu = window.menuBar()->actions().front()->menu();
    menu->resize(menu->sizeHint());
    const QImage drawn = menu->grab().toImage();
    const auto levels = [&](const char* item) {
        return darkest(drawn, menu->actionGeometry(window.action(item)));
    };
    EXPECT_LT(levels("重试已跳过的还原"), 0x30);
    EXPECT_GE(levels("搁置无法还原的项目…"), 0x70) << "a disabled item is drawn grey";

    // Tab reaches the apply button, which then shows a dotted rectangle inside its bevel; Return and
    // Space press the focused button.
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    const auto edgeLevel = [](RetroButton* button) {
        const QImage image = button->grab().toImage();
        return darkest(image, QRect(3, 3, 4, image.height() - 6));
    };
    window.applyButton()->clearFocus();
    const int unfocused = edgeLevel(window.applyButton());
    QTest::keyClick(&window, Qt::Key_Tab);
    ASSERT_TRUE(window.applyButton()->hasFocus());
    EXPECT_EQ(std::pair(unfocused > 0x80, edgeLevel(window.applyButton()) < 0x30), std::pair(true, true));
    QTest::keyClick(window.applyButton(), Qt::Key_Return);
    ASSERT_TRUE(held) << "Return pressed it";
    release();
    window.restoreButton()->setFocus(Qt::TabFocusReason);
    QTest::keyClick(window.restoreButton(), Qt::Key_Space);
    ASSERT_TRUE(held) << "Space pressed it";
    release();

    // F10 and the mnemonics open the menus.
    QTest::keyClick(&window, Qt::Key_F10);
    EXPECT_EQ(window.menuBar()->activeAction(), window.menuBar()->actions().front());
    QTest::keyClick(window.menuBar(), Qt::Key_Escape);
    QTest::keyClick(window.menuBar(), Qt::Key_Escape);
    QTest::keyClick(&window, Qt::Key_S, Qt::AltModifier);
    EXPECT_EQ(window.menuBar()->activeAction(), window.menuBar()->actions().back());

    // The About box and the folder dialog speak Chinese: no Latin letter on a button, label or choice.
    const auto latinIn = [](QWidget* dialog) {
        QStringList texts;
        for (const QAbstractButton* button : dialog->findChildren<QAbstractButton*>())
            texts << button->text();
        for (const QLabel* label : dialog->findChildren<QLabel*>())
            if (label->objectName() != "qt_msgbox_label")  // "lumaro", the program's name
                texts << label->text();
        for (const QComboBox* choice : dialog->findChildren<QComboBox*>())
            if (choice->objectName() != "lookInCombo")  // folder paths
                texts << choice->currentText();
        return texts.filter(QRegularExpression("[A-Za-z]"));
    };
    window.action("关于 lumaro")->trigger();
    QMessageBox* about = alert(window, "about-box");
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(latinIn(about), QStringList());
    about->close();
    QStringList inDialog{"not shown"};
    QTimer::singleShot(0, [&] {
        QWidget* dialog = QApplication::activeModalWidget();
        ASSERT_NE(dialog, nullptr);
        inDialog = latinIn(dialog);
        dialog->close();
    });
    window.action("选择文件夹…")->trigger();
    EXPECT_EQ(inDialog, QStringList());
}

// The launcher entry as a dock sees it: every value shown, and whether each came on the GUI thread.
struct RecordedLauncherEntry : platform::LauncherEntry {
    void showProgress(std::optional<double> fraction) override {
        shown.push_back(fraction);
        onGuiThread = onGuiThread && QThread::currentThread() == qApp->thread();
    }
    std::vector<std::optional<double>> shown;
    bool onGuiThread = true;
};

TEST_F(WindowTest, ProgressAdvancesOnTheRunningButtonAndTheLauncherAndWorkEndingWithoutAWindowQuits) {
    for (int i = 0; i < 200; ++i)
        test::writeFile(scratch / ("Desktop/item " + std::to_string(i)), "x");
    QtOperationRunner threads;
    RecordedLauncherEntry launcher;
    Shell shell(arguments(), threads, platform::FileSystem::real(), workspace, &launcher);
    MainWindow& window = shell.window();
    window.show();
    int quits = 0;
    shell.frontEnd().quit = [&] { ++quits; };
    // The work waits at its 62nd item until the face has been looked at: a run that ends between two
    // looks would leave nothing to see.
    std::promise<void> looked;
    std::shared_future<void> lookedAt = looked.get_future().share();
    shell.model().setProgressHandler([lookedAt](std::size_t done, std::size_t, const std::string&) {
        if (done == 62)
            lookedAt.wait();
    });

    QTest::mouseClick(window.applyButton(), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return shell.model().progress().done > 60; }, 60000));
    // The face is filled from the left as far as the items have come, above the label's height: white
    // inside the bevel up to that point, grey after it.
    const double fraction = window.applyButton()->progress().value_or(0);
    const QImage face = window.applyButton()->grab().toImage();
    int filled = 2;
    while (filled < face.width() && face.pixel(filled, 4) == QColor(Qt::white).rgb())
        ++filled;
    EXPECT_GT(fraction, 0.25);
    EXPECT_NEAR(filled, 2 + (face.width() - 4) * fraction, 1.0);
    EXPECT_TRUE(fraction > 0.95 || face.pixel(filled, 4) == faceGrey().rgb());
    EXPECT_EQ(window.restoreButton()->progress(), std::nullopt);
    looked.set_value();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !shell.model().busy(); }, 60000));
    EXPECT_EQ(shell.model().lastReport()->succeeded, 201);
    EXPECT_EQ(window.applyButton()->progress(), std::nullopt);

    // Counted on the GUI thread across the batch, never backwards, then hidden.
    ASSERT_GT(launcher.shown.size(), 50u);
    EXPECT_TRUE(launcher.onGuiThread);
    EXPECT_TRUE(std::is_sorted(launcher.shown.begin(), launcher.shown.end() - 1));
    EXPECT_EQ(launcher.shown.end()[-2], 1.0);
    EXPECT_EQ(launcher.shown.back(), std::nullopt);

    // Closed while a restore runs: the process stays until the work ends, then quits without an alert
    // although one is due; the result is in the file.
    std::filesystem::remove(scratch / "Desktop/item 7");
    QTest::mouseClick(window.restoreButton(), Qt::LeftButton);
    window.close();
    EXPECT_EQ(std::pair(window.isVisible(), quits), std::pair(false, 0));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !shell.model().busy(); }, 60000));
    QApplication::processEvents();
    EXPECT_EQ(quits, 1);
    EXPECT_EQ(alert(window), nullptr);
    EXPECT_NE(test::readFile(scratch / "state/last-operation.txt").find("item 7"), std::string::npos);
}

}  // namespace
}  // namespace lumaro::gui

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    lumaro::gui::LumaroApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
