// The files of the session's metadata service (gvfs): which tree file holds a path's keys and
// under which path within it, and what a tree and its journal hold for one key. Only read here,
// never through a link, every size bounded; a file not fully understood gives an error, never a
// guess. The service's own client (GIO's gvfs module) maps paths the same way.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/bounds.h"

namespace lumaro::platform::metadata_tree {

inline constexpr std::size_t kMaxTreeFileSize = 64u * 1024 * 1024;

struct Location {
    std::string treeFile;  // named exactly as the client names it: the service keys its trees by that name
    std::string treePath;  // the path within that tree
    bool operator==(const Location&) const = default;
};

// The name of the tree the service keeps for a device ("uuid-…"), or empty when it keeps none.
using TreeForDevice = std::function<int(dev_t device, std::string& name)>;

// Maps file system paths to their place in the store.
class Locator {
  public:
    explicit Locator(TreeForDevice treeForDevice) : treeForDevice_(std::move(treeForDevice)) {}

    // `device` is the item's own (lstat, a link not followed); 0 where nothing stands at `path`,
    // which then takes its nearest existing ancestor's. The parents' links are expanded. Under
    // home on home's device: the "home" tree; on a device the service names, mounted elsewhere
    // than at "/": that device's tree, relative to its mount point; otherwise the "root" tree.
    int locate(const std::string& path, dev_t device, Location& out);
    // The service's device answers and the last parent's expansion and mount are kept until then
    // (a device number may later name another disk, a folder on the way become a link).
    void forgetDevices() { devices_.clear(), lastParent_.reset(); }

  private:
    // Where the items of a folder on `device` are mounted, and the mount's root when it has one.
    struct Mount {
        dev_t device;
        std::string point;
        std::optional<std::string> root;
    };
    struct Parent {
        std::string parent, expanded;
        dev_t device;
        std::optional<Mount> mount;  // of its items on the device asked last
    };
    TreeForDevice treeForDevice_;
    std::optional<Parent> lastParent_;
    std::optional<std::pair<dev_t, std::string>> home_;  // home's device and expanded path
    std::map<dev_t, std::string> devices_;
};

enum class KeyKind { absent, string, list };

struct KeyValue {
    KeyKind kind = KeyKind::absent;
    std::string text;                // a string value
    std::vector<std::string> items;  // a list's values
    bool operator==(const KeyValue&) const = default;
};

// The value `key` (no "metadata::" prefix) has at `treePath` in the tree file and its journal, as
// the service would answer now. A missing tree holds nothing. EIO for a damaged or unknown file
// (also when the service kept replacing the tree while it was read), EFBIG above the bounds.
int readKey(const std::string& treeFile, const std::string& treePath, const std::string& key, KeyValue& out);

// readKey() for many look-ups made together (one group's reads): each tree file and its journal
// read and checked once, on the first look-up in it, and answered from as they were then.
class TreeSnapshots {
  public:
    int readKey(const std::string& treeFile, const std::string& treePath, const std::string& key,
                KeyValue& out);

  private:
    struct Loaded;
    std::map<std::string, std::shared_ptr<const Loaded>> trees_;
};

// Syncs a tree file, the journal it names and their folders; `synced` hears each file synced.
// A missing tree has nothing to sync.
int syncTree(const std::string& treeFile, const std::function<void(const std::string&)>& synced);

// The tree file of a tree name, in the user's data folder.
std::string treeFileNamed(const std::string& name);

}  // namespace lumaro::platform::metadata_tree
