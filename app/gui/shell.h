// The application shell: the application object with its quit guard, the runner that moves
// operations to a worker thread, the front end that shows results, and the one model.
#pragma once

#include <QApplication>
#include <QObject>
#include <memory>
#include <string>
#include <vector>

#include "app/gui/main_window.h"
#include "app/skin_model.h"

namespace lumaro::gui {

// Refuses every quit request with a beep while the current model is busy.
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
};

// Shows results as the alert: window-modal on the main window when it is visible,
// application-modal otherwise; asks for folders and opens them.
class WindowFrontEnd final : public ModelFrontEnd {
  public:
    void setWindow(MainWindow* window) { window_ = window; }
    void modelChanged() override;
    void showResult(const std::string& title, const std::vector<std::string>& messages) override;
    std::optional<std::string> askForFolder(const std::string& start) override;
    void openFolder(const std::string& path) override;

  private:
    MainWindow* window_ = nullptr;
};

// Owns the model (made when the window's content is first built) and the window.
class Shell {
  public:
    Shell(std::vector<std::string> arguments, OperationRunner& runner, platform::FileSystem& fs,
          platform::Workspace& workspace);
    ~Shell();
    MainWindow& window() { return *window_; }
    SkinModel& model();
    WindowFrontEnd& frontEnd() { return frontEnd_; }

  private:
    std::vector<std::string> arguments_;
    OperationRunner& runner_;
    platform::FileSystem& fs_;
    platform::Workspace& workspace_;
    WindowFrontEnd frontEnd_;
    std::unique_ptr<SkinModel> model_;
    std::unique_ptr<MainWindow> window_;
};

}  // namespace lumaro::gui
