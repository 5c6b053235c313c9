#include "app/skin_model.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "app/report_messages.h"
#include "platform/file_ops.h"
#include "platform/paths.h"
#include "platform/property_list.h"
#include "platform/system_error.h"
#include "platform/text.h"
#include "records/desktop_form.h"

namespace lumaro {

namespace {

constexpr const char* kWelcomeText =
    "这里是lumaro的演示文件夹。\n点击“一键换肤”查看效果，再点击“一键还原”。\n真实桌面不会因演示操作而改变。"
    "\n";
constexpr const char* kNoteText = "这是演示文件夹，可以正常打开。\n";

bool exists(platform::FileSystem& fs, const std::string& path) {
    platform::FileStatus st;
    return fs.stat(path, st) == 0;
}

void writeAtomically(platform::FileSystem& fs, const std::string& path, const std::string& text) {
    platform::throwIfFailed(platform::writeFileAtomically(fs, path, text.data(), text.size(), 0644), path);
}

// A failure of the start-up's own steps: a sentence saying which location is wrong, the
// system's text after it. The engine's own messages are already sentences of their own.
std::string startFailure(const std::exception& error, bool stateFolder) {
    const auto* system = dynamic_cast<const platform::SystemError*>(&error);
    if (system == nullptr) {
        return error.what();
    }
    std::string sentence;
    switch (system->code()) {
        case ENOTDIR:
        case EEXIST:
            sentence = stateFolder ? "状态文件夹的位置上有一个不是文件夹的项目。"
                                   : "演示文件夹的位置上有一个不是文件夹的项目。";
            break;
        case EACCES:
        case EPERM:
        case EROFS:
            sentence = stateFolder ? "没有权限创建或使用状态文件夹。" : "没有权限创建演示文件夹。";
            break;
        case ENOSPC:
        case EDQUOT:
            sentence = "磁盘空间不足。";
            break;
        default:
            sentence = stateFolder ? "无法创建或使用状态文件夹。" : "无法创建演示文件夹。";
    }
    return sentence + system->what();
}

}  // namespace

std::optional<std::string> launchOption(const std::vector<std::string>& arguments, const std::string& name) {
    const auto it = std::find(arguments.begin(), arguments.end(), name);
    if (it == arguments.end() || it + 1 == arguments.end()) {
        return std::nullopt;
    }
    return platform::absolutePath(*(it + 1));
}

SkinModel::SkinModel(const std::vector<std::string>& arguments, ModelServices services)
    : services_(std::move(services)) {
    platform::Workspace& workspace = services_.workspace;
    state_ = launchOption(arguments, "--state-root")
                 .value_or(platform::appendPathComponent(workspace.applicationSupportFolder(), "Lumaro"));
    const auto previewRoot = launchOption(arguments, "--preview-root");
    const auto desktopRoot = launchOption(arguments, "--desktop-root");
    desktop_ = desktopRoot.value_or(workspace.desktopFolder());
    demo_ = previewRoot.value_or(platform::appendPathComponent(state_, "演示文件夹"));
    target_ = previewRoot.value_or(desktop_);
    includeApplications_ = !previewRoot.has_value();
    const QImage image = services_.loadImage ? services_.loadImage() : QImage();
    const auto applicationRoot = launchOption(arguments, "--application-root");
    bool seeding = false;
    try {
        std::optional<std::vector<std::string>> roots;
        if (applicationRoot) {
            roots = std::vector<std::string>{*applicationRoot};
        }
        engine_ = std::make_unique<IconBatchEngine>(
            services_.fs, workspace, state_, image,
            BatchOptions{.applicationRoots = roots, .readDock = !applicationRoot.has_value()});
        seeding = true;
        createDemoFolderIfNeeded();
    } catch (const std::exception& error) {
        reportFailure(startFailure(error, !seeding));
        unavailable_ = true;
        changed();
        return;
    }
    refreshState();
}

void SkinModel::createDemoFolderIfNeeded() {
    platform::FileSystem& fs = services_.fs;
    if (exists(fs, platform::appendPathComponent(state_, kDemoMarkerFileName)) || engine_->pendingScope()) {
        return;
    }
    platform::throwIfFailed(platform::createDirectories(fs, demo_, 0755), demo_);
    const std::string welcome = platform::appendPathComponent(demo_, "欢迎使用.txt");
    if (!exists(fs, welcome)) {
        writeAtomically(fs, welcome, kWelcomeText);
    }
    const std::string photos = platform::appendPathComponent(demo_, "旅行照片");
    if (!exists(fs, photos)) {
        platform::throwIfFailed(platform::createDirectories(fs, photos, 0755), photos);
        writeAtomically(fs, platform::appendPathComponent(photos, "说明.txt"), kNoteText);
    }
    const std::string link = platform::appendPathComponent(demo_, "项目主页.webloc");
    if (!exists(fs, link)) {
        const std::string text = platform::webLinkFile(kProjectHomePage);
        platform::Descriptor fd;
        platform::throwIfFailed(
            platform::openDescriptor(fs, link, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK, 0644,
                                     fd),
            link);
        platform::throwIfFailed(platform::writeFully(fs, fd.get(), text.data(), text.size()), link);
        platform::throwIfFailed(fd.close(), link);
    }
    writeAtomically(fs, platform::appendPathComponent(state_, kDemoMarkerFileName), "");
}

void SkinModel::refreshState() {
    std::optional<PendingScope> scope;
    if (engine_) {
        try {
            scope = engine_->pendingScope();
        } catch (const std::exception& error) {
            reportFailure(error.what());
            unavailable_ = true;
            changed();
            return;
        }
    }
    hasBackup_ = scope.has_value();
    if (scope) {
        target_ = platform::standardizePath(scope->rootPath);
        includeApplications_ = scope->includesApplications;
    }
    changed();
}

void SkinModel::reportFailure(const std::string& description) {
    lastReport_.reset();
    finishOperation({description}, kTitleFailed);
}

void SkinModel::finishOperation(const std::vector<std::string>& messages, const std::string& title,
                                const std::optional<std::vector<std::string>>& fileLines) {
    // Names and platform errors may hold control characters ("Icon\r"); no message shows them raw.
    const auto visible = [](std::vector<std::string> lines) {
        for (std::string& line : lines) {
            line = platform::visibleText(line);
        }
        return lines;
    };
    errors_ = visible(messages);
    lastTitle_ = title;
    const std::string text = joinedLines(fileLines ? visible(*fileLines) : errors_);
    // A result that cannot be written down is still shown; nothing else depends on the file.
    platform::writeFileAtomically(services_.fs, platform::appendPathComponent(state_, kLastOperationFileName),
                                  text.data(), text.size(), 0600);
    changed();
    services_.frontEnd.showResult(title, errors_);
}

void SkinModel::runOperation(Operation operation) {
    if (busy_ || unavailable_ || !engine_) {
        return;
    }
    busy_ = true;
    errors_.clear();
    current_ = operation;
    progress_ = {};
    // Set before the work starts and not touched while it runs: the worker alone calls it.
    const unsigned count = ++operation_;
    engine_->setProgressHandler([this, count](std::size_t done, std::size_t total, const std::string& name) {
        if (observer_) {
            observer_(done, total, name);
        }
        services_.runner.post([this, count, done, total] { countProgress(count, done, total); });
    });
    changed();
    const std::string target = target_;
    const bool includeApplications = includeApplications_;
    IconBatchEngine* engine = engine_.get();
    services_.runner.run(
        [engine, target, includeApplications, operation] {
            OperationOutcome outcome{operation, std::nullopt, {}};
            try {
                switch (operation) {
                    case Operation::apply:
                        outcome.report = engine->apply(target, includeApplications);
                        break;
                    case Operation::restore:
                        outcome.report = engine->restore();
                        break;
                    case Operation::retry:
                        outcome.report = engine->retry();
                        break;
                    case Operation::setAside:
                        outcome.report = engine->setAside();
                        break;
                }
            } catch (const std::exception& error) {
                outcome.failure = error.what();
            }
            return outcome;
        },
        [this](const OperationOutcome& outcome) { complete(outcome); });
}

void SkinModel::countProgress(unsigned operation, std::size_t done, std::size_t total) {
    if (operation != operation_ || !busy_) {
        return;
    }
    progress_ = {done, total};  // the engines count an item once they are done with it
    showProgressOnLauncher();
    changed();
}

void SkinModel::showProgressOnLauncher() {
    if (launcherEntry_ != nullptr) {
        launcherEntry_->showProgress(
            busy_ && progress_.total > 0
                ? std::optional<double>(double(progress_.done) / double(progress_.total))
                : std::nullopt);
    }
}

void SkinModel::complete(const OperationOutcome& outcome) {
    busy_ = false;
    progress_ = {};
    showProgressOnLauncher();
    if (!outcome.report) {
        reportFailure(outcome.failure);
        refreshState();
        return;
    }
    const OperationReport& report = *outcome.report;
    lastReport_ = report;
    std::vector<std::string> messages = reportMessages(report);
    const Operation operation = outcome.operation;
    if (report.succeeded == 0 && messages.empty() && nothingDone(operation) != nullptr) {
        messages = {nothingDone(operation)};
    }
    // Told once, and no item's error: the title stays that of a clean run.
    if (operation == Operation::apply && report.desktopMetadataUnavailable) {
        messages.push_back(kMetadataUnavailableNotice);
    }
    if (messages.empty()) {
        lastTitle_ = resultTitle(operation, false);
    } else if (!report.errors.empty()) {
        std::vector<std::string> fileLines = errorLines(report.errors);
        fileLines.insert(fileLines.end(), messages.begin(), messages.end());
        finishOperation(messages, resultTitle(operation, true), fileLines);
    } else {
        finishOperation(messages, resultTitle(operation, false));
    }
    refreshState();
}

void SkinModel::chooseTarget(const std::string& folder) {
    if (busy_ || hasBackup_) {
        return;
    }
    target_ = platform::resolvingSymlinksInPath(services_.fs, folder);
    includeApplications_ = false;
    errors_.clear();
    changed();
}

void SkinModel::useDesktop() {
    chooseTarget(desktop_);
    if (!busy_ && !hasBackup_) {
        includeApplications_ = true;
        changed();
    }
}

void SkinModel::chooseFolder() {
    if (const auto folder = services_.frontEnd.askForFolder(target_)) {
        chooseTarget(*folder);
    }
}

void SkinModel::openCurrentFolder() {
    services_.frontEnd.openFolder(target_);
}

void SkinModel::openBackups() {
    services_.frontEnd.openFolder(state_);
}

bool SkinModel::isTargetDemo() const {
    return platform::standardizePath(target_) == platform::standardizePath(demo_);
}

bool SkinModel::isTargetDesktop() const {
    return platform::standardizePath(target_) == platform::standardizePath(desktop_);
}

}  // namespace lumaro
