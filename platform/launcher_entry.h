// The program's entry in docks and task bars: the progress they draw on it, sent through the
// launcher-entry D-Bus interface (com.canonical.Unity.LauncherEntry) that they listen to.
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace lumaro::platform {

class LauncherEntry {
  public:
    LauncherEntry() = default;
    LauncherEntry(const LauncherEntry&) = delete;
    LauncherEntry& operator=(const LauncherEntry&) = delete;
    virtual ~LauncherEntry() = default;
    // Shows `fraction` (0 to 1) as the entry's progress; nothing hides the progress.
    virtual void showProgress(std::optional<double> fraction) = 0;
};

// The entry of the desktop file `desktopId` ("lumaro.desktop") on the session bus. Without a
// session bus that already runs it does nothing, and it never starts one.
std::unique_ptr<LauncherEntry> makeLauncherEntry(const std::string& desktopId);

}  // namespace lumaro::platform
