// lumaro: the window.
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "app/gui/shell.h"
#include "platform/launcher_entry.h"

namespace {

constexpr const char* kUsage = R"(usage: lumaro [--state-root DIR] [--preview-root DIR] [--desktop-root DIR]
              [--application-root DIR]

Opens the window that gives a folder's icons a furball look and puts them back.

  --state-root DIR        state directory (default: ~/.local/share/Lumaro)
  --preview-root DIR      demonstration folder, and the first target
  --desktop-root DIR      the folder used as the Desktop
  --application-root DIR  the one applications folder to scan
  --help                  print this text
  --version               print the version

The same work from a terminal: lumaro-cli --help.
)";

// What the command line asks before any window or state is touched: the exit status of --help,
// --version or an unknown option, or nothing when the window should open.
std::optional<int> answerWithoutWindow(const std::vector<std::string>& arguments) {
    static const std::set<std::string> kLaunchOptions = {"--state-root", "--preview-root", "--desktop-root",
                                                         "--application-root"};
    // Qt's own options, with one or two hyphens; those in the first set take a value.
    static const std::set<std::string> kQtWithValue = {
        "platform",    "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry",
        "qwindowicon", "qwindowtitle",       "session",       "style",  "stylesheet",
        "display",     "geometry",           "name",          "title",  "visual"};
    static const std::set<std::string> kQtFlags = {"reverse", "widgetcount", "nograb", "dograb", "sync"};
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string& arg = arguments[i];
        if (kLaunchOptions.count(arg) > 0) {
            ++i;  // its value is taken as it stands, even when it begins with "--"
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return 0;
        }
        if (arg == "--version") {
            std::cout << "lumaro " LUMARO_VERSION "\n";
            return 0;
        }
        if (arg.size() < 2 || arg[0] != '-') {
            continue;  // file arguments a launcher may pass are ignored
        }
        const std::string bare = arg.substr(arg[1] == '-' ? 2 : 1);
        const std::string name = bare.substr(0, bare.find('='));
        if (kQtWithValue.count(name) > 0) {
            if (name == bare) {
                ++i;
            }
            continue;
        }
        if (kQtFlags.count(bare) > 0) {
            continue;
        }
        std::cerr << "lumaro: unknown option " << arg << " (see lumaro --help)\n";
        return 64;
    }
    return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv, argv + argc);
    if (const auto status = answerWithoutWindow(arguments)) {
        return *status;
    }
    lumaro::gui::LumaroApplication application(argc, argv);
    lumaro::gui::QtOperationRunner runner;
    const auto launcherEntry = lumaro::platform::makeLauncherEntry("lumaro.desktop");
    lumaro::platform::LinuxWorkspace workspace;
    lumaro::gui::Shell shell(arguments, runner, lumaro::platform::FileSystem::real(), workspace,
                             launcherEntry.get());
    shell.window().show();
    return application.exec();
}
