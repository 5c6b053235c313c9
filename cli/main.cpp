// lumaro-cli: the model's operations from a terminal, for scripts, servers and tests.
#include <unistd.h>

#include <QCoreApplication>
#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "app/report_messages.h"
#include "app/skin_model.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "records/operation_lock.h"
#include "resources/resources.h"

namespace {

using lumaro::SkinModel;

constexpr int kExitOk = 0;
constexpr int kExitReportErrors = 1;
constexpr int kExitFailed = 2;
constexpr int kExitUsage = 64;

constexpr const char* kUsage = R"(usage: lumaro-cli [launch options] COMMAND [--json]

Commands:
  status                 whether a skin is pending, its folder, the target of the next apply,
                         and whether another Lumaro is working now
  apply [CHOICE]         give the target's items the furball icon
  restore                put every original icon back
  retry                  retry the restores that were skipped because items had gone
  set-aside              restore, then keep the backups of what could not be restored aside

Target choice for apply (ignored while a skin is pending):
  --folder DIR           the folder DIR, without applications
  --demo                 the demonstration folder
  --desktop              the Desktop, without applications
  --desktop-and-apps     the Desktop and the user's applications

Launch options (as for the window):
  --state-root DIR       state directory (default: ~/.local/share/Lumaro)
  --preview-root DIR     demonstration folder, and the first target
  --desktop-root DIR     the folder used as the Desktop
  --application-root DIR the one applications folder to scan (desktop entries and the Dock
                         are then not read)

A folder may also be given as --state-root=DIR, --folder=DIR and so on.

Other options:
  --json                 print one JSON object instead of text
  --help                 print this text
  --version              print the version

Exit status: 0 done, 1 done in part with errors, 2 failed, nothing done, or unavailable,
64 usage error.
)";

const std::set<std::string> kLaunchOptions = {"--state-root", "--preview-root", "--desktop-root",
                                              "--application-root"};

struct Request {
    std::string command;
    bool json = false;
    std::optional<std::string> folder;
    std::optional<std::string> choice;  // --demo, --desktop, --desktop-and-apps
};

// One line, so the cause stays in view.
int usageError(const std::string& problem) {
    std::cerr << "lumaro-cli: " << problem << " (see lumaro-cli --help)\n";
    return kExitUsage;
}

// "--opt=VALUE" of an option that takes a folder, split into "--opt" "VALUE"; every other
// argument as it stands.
std::vector<std::string> splitJoinedValues(const std::vector<std::string>& args) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const std::size_t equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        if (i > 0 && equals != std::string::npos && arg.starts_with("--") &&
            (kLaunchOptions.count(name) > 0 || name == "--folder")) {
            out.push_back(name);
            out.push_back(arg.substr(equals + 1));
        } else {
            out.push_back(arg);
            // A launch option's value is taken as it stands, even when it holds "=".
            if (i > 0 && (kLaunchOptions.count(arg) > 0 || arg == "--folder") && i + 1 < args.size()) {
                out.push_back(args[++i]);
            }
        }
    }
    return out;
}

// The window's wording where it names a button or a window, as a terminal says it.
std::string terminalWording(std::string text) {
    const std::pair<std::string, std::string> replacements[] = {
        {lumaro::kPendingSkinMessage, "已有待还原的备份，请先运行“lumaro-cli restore”。"},
        {lumaro::kLockBusyMessage, "另一个 Lumaro 正在操作，请稍后重试。"}};
    for (const auto& [window, terminal] : replacements) {
        for (std::size_t at = text.find(window); at != std::string::npos;
             at = text.find(window, at + terminal.size())) {
            text.replace(at, window.size(), terminal);
        }
    }
    return text;
}

std::vector<std::string> terminalWording(std::vector<std::string> lines) {
    for (std::string& line : lines) {
        line = terminalWording(line);
    }
    return lines;
}

// Collects what the model reports; the terminal shows it when the command ends.
class TerminalFrontEnd final : public lumaro::ModelFrontEnd {
  public:
    void showResult(const std::string&, const std::vector<std::string>&) override {}
};

std::optional<std::string> parse(const std::vector<std::string>& args, Request& request,
                                 std::string& problem) {
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (kLaunchOptions.count(arg) > 0 || arg == "--folder") {
            // A missing folder (an unset variable in a script) must never mean the real one.
            if (i + 1 >= args.size() || args[i + 1].empty() || args[i + 1].starts_with("--")) {
                problem = arg + " needs a folder";
                return std::nullopt;
            }
            ++i;
            if (arg == "--folder") {
                request.folder = args[i];
            }
            continue;  // the model reads the launch options itself
        }
        if (arg == "--json") {
            request.json = true;
        } else if (arg == "--help" || arg == "-h") {
            return "help";
        } else if (arg == "--demo" || arg == "--desktop" || arg == "--desktop-and-apps") {
            if (request.choice) {
                problem = "choose one target only";
                return std::nullopt;
            }
            request.choice = arg;
        } else if (arg.starts_with("-")) {
            problem = "unknown option " + arg;
            return std::nullopt;
        } else if (request.command.empty()) {
            request.command = arg;
        } else {
            problem = "unexpected argument " + arg;
            return std::nullopt;
        }
    }
    static const std::set<std::string> kCommands = {"status", "apply", "restore", "retry", "set-aside"};
    if (request.command.empty()) {
        problem = "no command given";
        return std::nullopt;
    }
    if (kCommands.count(request.command) == 0) {
        problem = "unknown command " + request.command;
        return std::nullopt;
    }
    if ((request.folder || request.choice) && request.command != "apply") {
        problem = "a target choice goes with apply only";
        return std::nullopt;
    }
    if (request.folder && request.choice) {
        problem = "choose one target only";
        return std::nullopt;
    }
    return request.command;
}

// Text for the terminal: no control character of a name or a message reaches it raw.
std::string shown(const std::string& text) {
    return lumaro::platform::visibleText(terminalWording(text), lumaro::platform::ControlCharacters::replace);
}

void printResult(const SkinModel& model, bool json) {
    const auto& report = model.lastReport();
    if (json) {
        nlohmann::ordered_json out;
        out["title"] = model.lastTitle();
        out["messages"] = terminalWording(model.errors());
        if (report) {
            out["succeeded"] = report->succeeded;
            out["skipped"] = report->skipped;
            out["errors"] = terminalWording(lumaro::errorLines(report->errors));
            out["remaining"] = report->remaining;
            out["relaunchApplications"] = report->relaunchApplications;
            out["missingItems"] = report->missingItems;
            out["setAsideItems"] = report->setAsideItems;
            out["desktopMetadataUnavailable"] = report->desktopMetadataUnavailable;
        }
        std::cout << out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
        return;
    }
    std::cout << shown(model.lastTitle()) << "\n";
    for (const std::string& message : model.errors()) {
        std::cout << shown(message) << "\n";
    }
}

// One shape whether or not the model could start: when it could not, what it cannot know is null,
// `unavailable` is true and `message` says why.
int status(const SkinModel& model, bool json) {
    const bool known = !model.unavailable();
    const bool pending = known && model.hasBackup();
    // Asked of the lock every operation takes first; never waits for it.
    const bool running = lumaro::lockHeldElsewhere(lumaro::platform::FileSystem::real(), model.state(),
                                                   lumaro::kBatchLockFileName);
    if (json) {
        using Json = nlohmann::ordered_json;
        Json out;
        out["pending"] = known ? Json(pending) : Json(nullptr);
        out["rootPath"] = pending ? Json(model.target()) : Json(nullptr);
        out["includesApplications"] = pending ? Json(model.includeApplications()) : Json(nullptr);
        out["target"] = known ? Json(model.target()) : Json(nullptr);
        out["includeApplications"] = known ? Json(model.includeApplications()) : Json(nullptr);
        out["operationRunning"] = running;
        out["unavailable"] = !known;
        out["message"] =
            known || model.errors().empty() ? Json(nullptr) : Json(terminalWording(model.errors().front()));
        std::cout << out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
        return known ? kExitOk : kExitFailed;
    }
    if (!known) {
        printResult(model, false);
        return kExitFailed;
    }
    if (pending) {
        std::cout << "待还原的换肤：是\n文件夹：" << shown(model.target()) << "\n包含应用："
                  << (model.includeApplications() ? "是" : "否") << "\n";
    } else {
        std::cout << "待还原的换肤：否\n";
    }
    std::cout << "下次换肤的目标：" << shown(model.target())
              << (model.includeApplications() ? "（包含应用）" : "（不含应用）") << "\n";
    std::cout << "另一个 Lumaro 正在操作：" << (running ? "是" : "否") << "\n";
    return kExitOk;
}

// 0 when all went well; 1 when part of the work was done and errors were reported; 2 when the
// operation failed as a whole, or changed nothing and reported errors.
int exitStatus(const SkinModel& model) {
    const auto& report = model.lastReport();
    if (!report || model.unavailable()) {
        return kExitFailed;
    }
    if (report->errors.empty()) {
        return kExitOk;
    }
    // Items moved into skip records (gone, or set aside) count as done: their backups moved durably.
    const bool partDone =
        report->succeeded > 0 || !report->missingItems.empty() || !report->setAsideItems.empty();
    return partDone ? kExitReportErrors : kExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args = splitJoinedValues(std::vector<std::string>(argv, argv + argc));
    if (args.size() == 2 && args[1] == "--version") {
        std::cout << "lumaro-cli " LUMARO_VERSION "\n";
        return kExitOk;
    }
    Request request;
    std::string problem;
    const auto command = parse(args, request, problem);
    if (!command) {
        return usageError(problem);
    }
    if (*command == "help") {
        std::cout << kUsage;
        return kExitOk;
    }

    QCoreApplication application(argc, argv);
    lumaro::SynchronousRunner runner;
    TerminalFrontEnd frontEnd;
    lumaro::platform::LinuxWorkspace workspace;
    SkinModel model(args, {lumaro::platform::FileSystem::real(), workspace, runner, frontEnd,
                           [] { return lumaro::loadFurball(); }});
    if (request.command == "status") {
        return status(model, request.json);
    }
    if (model.unavailable()) {
        printResult(model, request.json);
        return kExitFailed;
    }

    const bool showProgress = ::isatty(STDERR_FILENO) == 1;
    if (showProgress) {
        model.setProgressHandler([](std::size_t index, std::size_t total, std::string name) {
            std::fprintf(stderr, "\r\033[K[%zu/%zu] %s", index, total, shown(name).c_str());
            std::fflush(stderr);
        });
    }
    if (request.command == "apply") {
        if (request.folder) {
            model.chooseTarget(lumaro::platform::absolutePath(*request.folder));
        } else if (request.choice == "--demo") {
            model.chooseTarget(model.demo());
        } else if (request.choice == "--desktop") {
            model.chooseTarget(model.desktop());
        } else if (request.choice == "--desktop-and-apps") {
            model.useDesktop();
        }
        model.runOperation(lumaro::Operation::apply);
    } else {
        model.runOperation(request.command == "retry"       ? lumaro::Operation::retry
                           : request.command == "set-aside" ? lumaro::Operation::setAside
                                                            : lumaro::Operation::restore);
    }
    if (showProgress) {
        std::fprintf(stderr, "\r\033[K");
    }
    printResult(model, request.json);
    return exitStatus(model);
}
