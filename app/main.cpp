// lumaro: the window.
#include <iostream>
#include <string>
#include <vector>

#include "app/gui/shell.h"

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv, argv + argc);
    if (arguments.size() == 2 && arguments[1] == "--version") {
        std::cout << "lumaro " LUMARO_VERSION "\n";
        return 0;
    }
    lumaro::gui::LumaroApplication application(argc, argv);
    lumaro::gui::QtOperationRunner runner;
    lumaro::gui::Shell shell(arguments, runner, lumaro::platform::FileSystem::real(),
                             lumaro::platform::Workspace::real());
    shell.window().show();
    return application.exec();
}
