// The one model of the program: launch options, state locations, the batch engine, and the
// orchestration of operations and their results. It needs no display: presenting alerts,
// asking for a folder and opening folders belong to the front end behind ModelFrontEnd, and
// running work off the caller's thread belongs to an OperationRunner.
#pragma once

#include <QImage>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/operation.h"
#include "batch/icon_batch_engine.h"
#include "platform/file_system.h"
#include "platform/launcher_entry.h"
#include "platform/workspace.h"
#include "records/records.h"

namespace lumaro {

// The address stored in the demonstration folder's link file.
inline constexpr const char* kProjectHomePage = "https://example.com/lumaro";
inline constexpr const char* kLastOperationFileName = "last-operation.txt";
inline constexpr const char* kDemoMarkerFileName = "demo-created";

// The value following the first element equal to `name`, taken as it stands (even when it begins
// with "--"), made absolute against the current directory and standardized; nothing when the
// name is missing or is the last element.
std::optional<std::string> launchOption(const std::vector<std::string>& arguments, const std::string& name);

// What one engine operation gave: a report, or the description of the error it threw.
struct OperationOutcome {
    Operation operation = Operation::apply;
    std::optional<OperationReport> report;
    std::string failure;
};

// Runs the work somewhere and hands its outcome to `completion` on the model's thread.
class OperationRunner {
  public:
    virtual ~OperationRunner() = default;
    virtual void run(std::function<OperationOutcome()> work,
                     std::function<void(OperationOutcome)> completion) = 0;
    // Hands `update`, made on the worker while the work runs, to the model's thread without
    // waiting for it; it runs before the completion. Here: at once, on the calling thread.
    virtual void post(std::function<void()> update) { update(); }
};

// Runs the work at once on the calling thread.
class SynchronousRunner final : public OperationRunner {
  public:
    void run(std::function<OperationOutcome()> work,
             std::function<void(OperationOutcome)> completion) override {
        completion(work());
    }
};

class ModelFrontEnd {
  public:
    virtual ~ModelFrontEnd() = default;
    // Some observable property changed.
    virtual void modelChanged() {}
    // A result to show: the title and every message (the front end cuts them as it needs).
    virtual void showResult(const std::string& title, const std::vector<std::string>& messages) = 0;
    // Asks the user for one existing folder, starting at `start`.
    virtual std::optional<std::string> askForFolder(const std::string& start) {
        static_cast<void>(start);
        return std::nullopt;
    }
    virtual void openFolder(const std::string& path) { static_cast<void>(path); }
};

struct ModelServices {
    platform::FileSystem& fs;
    platform::Workspace& workspace;
    OperationRunner& runner;
    ModelFrontEnd& frontEnd;
    // The icon image; a null image stands for one that could not be loaded.
    std::function<QImage()> loadImage;
};

// How far the running operation has come, in items across its whole batch; a total of 0 while
// nothing is counted.
struct OperationProgress {
    std::size_t done = 0;
    std::size_t total = 0;
    bool operator==(const OperationProgress&) const = default;
};

class SkinModel {
  public:
    // Never throws: a failed start leaves the model unavailable, with the reason reported.
    SkinModel(const std::vector<std::string>& arguments, ModelServices services);
    SkinModel(const SkinModel&) = delete;
    SkinModel& operator=(const SkinModel&) = delete;

    // Observable state.
    const std::string& target() const { return target_; }
    bool busy() const { return busy_; }
    bool includeApplications() const { return includeApplications_; }
    // Whether the running (or last) operation puts icons back.
    bool restoring() const { return restores(current_); }
    bool hasBackup() const { return hasBackup_; }
    const std::vector<std::string>& errors() const { return errors_; }
    bool unavailable() const { return unavailable_; }
    // Counted on the model's thread from the engines' reports while `busy`.
    const OperationProgress& progress() const { return progress_; }

    const std::string& demo() const { return demo_; }
    const std::string& desktop() const { return desktop_; }
    const std::string& state() const { return state_; }
    IconBatchEngine* engine() const { return engine_.get(); }

    // The title and report of the last operation that finished (the report is absent when the
    // operation failed as a whole).
    const std::string& lastTitle() const { return lastTitle_; }
    const std::optional<OperationReport>& lastReport() const { return lastReport_; }

    // Starts the operation over the whole batch.
    void runOperation(Operation operation);
    void chooseTarget(const std::string& folder);
    void useDesktop();
    void chooseFolder();
    void openCurrentFolder();
    void openBackups();
    bool isTargetDemo() const;
    bool isTargetDesktop() const;

    void refreshState();
    void reportFailure(const std::string& description);
    void finishOperation(const std::vector<std::string>& messages, const std::string& title,
                         const std::optional<std::vector<std::string>>& fileLines = std::nullopt);

    // Told about each item on the thread the work runs on, before the model counts it.
    void setProgressHandler(ProgressHandler handler) { observer_ = std::move(handler); }
    // Shows the progress on the program's launcher entry as well; null: nowhere.
    void setLauncherEntry(platform::LauncherEntry* entry) { launcherEntry_ = entry; }

  private:
    void createDemoFolderIfNeeded();
    void complete(const OperationOutcome& outcome);
    void changed() { services_.frontEnd.modelChanged(); }
    void countProgress(unsigned operation, std::size_t done, std::size_t total);
    void showProgressOnLauncher();

    ModelServices services_;
    std::string target_;
    bool busy_ = false;
    bool includeApplications_ = true;
    Operation current_ = Operation::apply;  // the running one, or the last
    bool hasBackup_ = false;
    std::vector<std::string> errors_;
    bool unavailable_ = false;

    std::string demo_;
    std::string desktop_;
    std::string state_;
    std::unique_ptr<IconBatchEngine> engine_;
    std::string lastTitle_;
    std::optional<OperationReport> lastReport_;
    OperationProgress progress_;
    unsigned operation_ = 0;  // counts operations, so a late count of an earlier one is dropped
    ProgressHandler observer_;
    platform::LauncherEntry* launcherEntry_ = nullptr;
};

}  // namespace lumaro
