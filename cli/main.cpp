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
#include "resources/resources.h"

namespace {

using lumaro::SkinModel;

constexpr int kExitOk = 0;
constexpr int kExitReportErrors = 1;
constexpr int kExitFailed = 2;
constexpr int kExitUsage = 64;

constexpr const char* kUsage = R"(usage: lumaro-cli [launch options] COMMAND [--json]

Commands:
  status                 whether a skin is pending, its folder, and the target of the next apply
  apply [CHOICE]         give the target's items the furball icon
  restore                put every original icon back
  retry                  retry the restores that were skipped because items had gone

Target choice for apply (ignored while a skin is pending):
  --folder DIR           the folder DIR, without applications
  --demo                 the demonstration folder
  --desktop              the Desktop, without applications
  --desktop-and-apps     the Desktop and the user's applications

Launch options (as for the window):
  --state-root DIR       state directory (default: ~/.local/share/Lumaro)
  --preview-root DIR     demonstration folder, and the first target
  --desktop-root DIR     the folder used as the Desktop
  --application-root DIR the one applications folder to scan (the Dock is then not read)

Other options:
  --json                 print one JSON object instead of text
  --help                 print this text
  --version              print the version

Exit status: 0 done, 1 done with errors, 2 failed or unavailable, 64 usage error.
)";

const std::set<std::string> kLaunchOptions = {"--state-root", "--preview-root", "--desktop-root",
                                              "--application-root"};

struct Request {
    std::string command;
    bool json = false;
    std::optional<std::string> folder;
    std::optional<std::string> choice;  // --demo, --desktop, --desktop-and-apps
};

int usageError(const std::string& problem) {
    std::cerr << "lumaro-cli: " << problem << "\n\n" << kUsage;
    return kExitUsage;
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
        if (kLaunchOptions.count(arg) > 0) {
            ++i;  // the model reads the option and its value itself
            continue;
        }
        if (arg == "--json") {
            request.json = true;
        } else if (arg == "--help" || arg == "-h") {
            return "help";
        } else if (arg == "--folder") {
            if (i + 1 >= args.size()) {
                problem = "--folder needs a folder";
                return std::nullopt;
            }
            request.folder = args[++i];
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
    static const std::set<std::string> kCommands = {"status", "apply", "restore", "retry"};
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

void printResult(const SkinModel& model, bool json) {
    const auto& report = model.lastReport();
    if (json) {
        nlohmann::ordered_json out;
        out["title"] = model.lastTitle();
        out["messages"] = model.errors();
        if (report) {
            out["succeeded"] = report->succeeded;
            out["skipped"] = report->skipped;
            out["errors"] = report->errors;
            out["remaining"] = report->remaining;
            out["relaunchApplications"] = report->relaunchApplications;
            out["missingItems"] = report->missingItems;
        }
        std::cout << out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
        return;
    }
    std::cout << model.lastTitle() << "\n";
    for (const std::string& message : model.errors()) {
        std::cout << message << "\n";
    }
}

int status(const SkinModel& model, bool json) {
    if (json) {
        nlohmann::ordered_json out;
        out["pending"] = model.hasBackup();
        out["rootPath"] = model.hasBackup() ? nlohmann::ordered_json(model.target()) : nullptr;
        out["includesApplications"] =
            model.hasBackup() ? nlohmann::ordered_json(model.includeApplications()) : nullptr;
        out["target"] = model.target();
        out["includeApplications"] = model.includeApplications();
        std::cout << out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
        return kExitOk;
    }
    if (model.hasBackup()) {
        std::cout << "待还原的换肤：是\n文件夹：" << model.target() << "\n包含应用："
                  << (model.includeApplications() ? "是" : "否") << "\n";
    } else {
        std::cout << "待还原的换肤：否\n";
    }
    std::cout << "下次换肤的目标：" << model.target()
              << (model.includeApplications() ? "（包含应用）" : "（不含应用）") << "\n";
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv, argv + argc);
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
    SkinModel model(args, {lumaro::platform::FileSystem::real(), lumaro::platform::Workspace::real(), runner,
                           frontEnd, [] { return lumaro::loadFurball(); }});
    if (model.unavailable()) {
        printResult(model, request.json);
        return kExitFailed;
    }
    if (request.command == "status") {
        return status(model, request.json);
    }

    const bool showProgress = ::isatty(STDERR_FILENO) == 1;
    if (showProgress) {
        model.setProgressHandler([](std::size_t index, std::size_t total, std::string name) {
            // A file name may hold control characters; they must not reach the terminal.
            for (char& c : name) {
                if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
                    c = '?';
                }
            }
            std::fprintf(stderr, "\r\033[K[%zu/%zu] %s", index, total, name.c_str());
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
        model.runOperation(false, false);
    } else {
        model.runOperation(true, request.command == "retry");
    }
    if (showProgress) {
        std::fprintf(stderr, "\r\033[K");
    }
    printResult(model, request.json);
    if (!model.lastReport() || model.unavailable()) {
        return kExitFailed;
    }
    return model.lastReport()->errors.empty() ? kExitOk : kExitReportErrors;
}
