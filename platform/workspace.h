// The desktop-session services the engines use besides files: running applications, the
// program's own identity, and change notifications. An interface: every call is pure, so a
// substitute that leaves one out does not compile rather than reach the real system.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/desktop_entries.h"
#include "platform/desktop_metadata.h"

namespace lumaro::platform {

struct RunningApplication {
    std::string bundlePath;  // standardized
    bool regular = true;     // shown to the user as an application (every one on Linux)
};

class Workspace {
  public:
    Workspace() = default;
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;
    virtual ~Workspace() = default;

    // Running applications, each bundle once.
    virtual std::vector<RunningApplication> runningApplications() = 0;
    // The running program's own bundle identifier, if it has one.
    virtual std::optional<std::string> ownBundleIdentifier() = 0;
    // Tells running file managers that an item's icon changed; failures are ignored.
    virtual void noteFileSystemChanged(const std::string& path) = 0;
    // The session's desktop metadata store.
    virtual DesktopMetadata& desktopMetadata() = 0;
    // The user's home folder.
    virtual std::string homeDirectory() = 0;
    // Where applications keep their data.
    virtual std::string applicationSupportFolder() = 0;
    // The user's desktop folder.
    virtual std::string desktopFolder() = 0;
    // The folders desktop entries are found in.
    virtual DesktopDataFolders desktopDataFolders() = 0;
    // The session's desktop as `XDG_CURRENT_DESKTOP` names it; empty when unset.
    virtual std::string currentDesktop() = 0;
    // Of `entryPaths`, those a running process of this user was launched from.
    virtual std::set<std::string> launchedDesktopFiles(const std::set<std::string>& entryPaths) = 0;
};

// The real session. The two programs make one each.
class LinuxWorkspace final : public Workspace {
  public:
    // Every process whose executable lies inside a folder named "*.app" (any case); the bundle
    // is the outermost such folder. Processes that cannot be read are left out.
    std::vector<RunningApplication> runningApplications() override;
    // Linux programs have none.
    std::optional<std::string> ownBundleIdentifier() override { return std::nullopt; }
    // Sets the item's times to themselves.
    void noteFileSystemChanged(const std::string& path) override;
    // The store reached through GIO, made on first use.
    DesktopMetadata& desktopMetadata() override;
    // $HOME, else the password database's entry; "/" when neither.
    std::string homeDirectory() override;
    // $XDG_DATA_HOME, by default ~/.local/share.
    std::string applicationSupportFolder() override;
    // The XDG desktop directory.
    std::string desktopFolder() override;
    // The XDG data folders, from the environment.
    DesktopDataFolders desktopDataFolders() override;
    std::string currentDesktop() override;
    std::set<std::string> launchedDesktopFiles(const std::set<std::string>& entryPaths) override;
};

}  // namespace lumaro::platform
