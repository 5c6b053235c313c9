// The application shell: the application object with its quit guard, the runner that moves
// operations to a worker thread, the front end that shows results, and the one model.
#pragma once

#include <QApplication>
#include <QObject>
#include <QPointer>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/gui/main_window.h"
#include "app/skin_model.h"

namespace lumaro::gui {

// Refuses every quit request with a beep while the current model is busy. Loads Qt's own Chinese
// texts when they are installed, and shows the furball as the window icon.
class LumaroApplication final : public QApplication {
  public:
    LumaroApplication(int& argc, char** argv);

  protected:
    bool event(QEvent* event) override;
};

// Whether a quit request may proceed now; beeps when it may not.
bool allowQuit();

// Runs each operation as a thread-pool task and hands the outcome back to the GUI thread.
class QtOperationRunner final : public QObject, public OperationRunner {
  public:
    void run(std::function<OperationOutcome()> work,
             std::function<void(OperationOutcome)> completion) override;
    void post(std::function<void()> update) override;
};

// Shows results as the alert: window-modal on the main window when it is visible,
// application-modal otherwise; asks for folders and opens them. When the work ends after the
// person closed the window, it shows nothing and quits: the result is in "last-operation.txt".
class WindowFrontEnd final : public ModelFrontEnd {
  public:
    // How the program quits; tests watch it instead.
    std::function<void()> quit = [] { QCoreApplication::quit(); };

    void setWindow(MainWindow* window) {
        window_ = window;
        *shownOn_ = window;
    }
    void modelChanged() override;
    void showResult(const std::string& title, const std::vector<std::string>& messages) override;
    std::optional<std::string> askForFolder(const std::string& start) override;
    void openFolder(const std::string& path) override;

  private:
    bool orphaned() const;

    MainWindow* window_ = nullptr;
    // The window as it is when a queued alert is shown: a start-up failure is reported while the
    // window is still being built, before it is known here.
    std::shared_ptr<QPointer<MainWindow>> shownOn_ = std::make_shared<QPointer<MainWindow>>();
    bool quitting_ = false;
};

// Owns the model (made when the window's content is first built) and the window.
class Shell {
  public:
    // `launcherEntry`, when given, shows the progress of operations on the program's task-bar entry.
    Shell(std::vector<std::string> arguments, OperationRunner& runner, platform::FileSystem& fs,
          platform::Workspace& workspace, platform::LauncherEntry* launcherEntry = nullptr);
    ~Shell();
    MainWindow& window() { return *window_; }
    SkinModel& model();
    WindowFrontEnd& frontEnd() { return frontEnd_; }

  private:
    std::vector<std::string> arguments_;
    OperationRunner& runner_;
    platform::FileSystem& fs_;
    platform::Workspace& workspace_;
    platform::LauncherEntry* launcherEntry_;
    WindowFrontEnd frontEnd_;
    std::unique_ptr<SkinModel> model_;
    std::unique_ptr<MainWindow> window_;
};

}  // namespace lumaro::gui
