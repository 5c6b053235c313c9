// The desktop metadata store that GNOME-family file managers draw custom icons from: two keys
// per path, kept by the session's metadata service (gvfs). Engines call this seam; tests
// substitute it. Every call waits a bounded time: a hung service gives ETIMEDOUT, never a hang.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/bounds.h"
#include "platform/file_ops.h"
#include "platform/file_system.h"

namespace lumaro::platform {

inline constexpr const char* kCustomIconKey = "metadata::custom-icon";
inline constexpr const char* kCustomIconNameKey = "metadata::custom-icon-name";
// The icon file both Linux forms point at, in the state directory.
inline constexpr const char* kFurballFileName = "furball.png";
// The emblem list Thunar, xfdesktop, PCManFM, Caja and Nemo draw as badges, and the icon-theme
// name of the furball among them.
inline constexpr const char* kEmblemsKey = "metadata::emblems";
inline constexpr const char* kFurballEmblemName = "emblem-lumaro-furball";

// The two keys of one path, each present with its text or absent.
struct IconMetadata {
    std::optional<std::string> customIcon;      // metadata::custom-icon
    std::optional<std::string> customIconName;  // metadata::custom-icon-name
    bool operator==(const IconMetadata&) const = default;
};

// The answers of calls made together (DesktopMetadata::startReads, startWrites), taken as they
// come while the caller goes on.
template <class Answer>
class PendingAnswers {
  public:
    PendingAnswers() = default;
    PendingAnswers(const PendingAnswers&) = delete;
    PendingAnswers& operator=(const PendingAnswers&) = delete;
    virtual ~PendingAnswers() = default;
    // The answer to the i-th call, as that call alone gives it; waits for it. ETIMEDOUT when the
    // service answered nothing for the whole wait. Each is taken once.
    virtual Answer take(std::size_t i) = 0;
};
using PendingReads = PendingAnswers<std::pair<int, IconMetadata>>;  // the result, and the keys when 0
using PendingWrites = PendingAnswers<int>;

// Results are 0 or an errno value: ENOTSUP when the metadata form is not available in this
// session, ETIMEDOUT when the service did not answer within the wait, ENOENT for a missing path,
// EFBIG for a value above kMaxValueSize, EINVAL for a value that is no string (read) or
// no UTF-8 (write), EACCES, EIO for any other failure.
class DesktopMetadata {
  public:
    DesktopMetadata() = default;
    DesktopMetadata(const DesktopMetadata&) = delete;
    DesktopMetadata& operator=(const DesktopMetadata&) = delete;
    virtual ~DesktopMetadata() = default;

    // 0 when the keys can be kept for `path` (an existing item): the session's metadata-capable
    // file-system layer is in use. ENOTSUP without a session bus or gvfs.
    virtual int available(const std::string& path) = 0;
    // The keys of `path` itself (a link is not followed).
    virtual int read(const std::string& path, IconMetadata& out) = 0;
    // Sets both keys of `path` as `value` says: a present key to its text, an absent one removed.
    virtual int write(const std::string& path, const IconMetadata& value) = 0;
    // write() for each item, the calls kept in flight together while the caller goes on: the
    // answers are taken as they come, each as write() would give it. Items the service left
    // unanswered for the whole wait (no answer to any item meanwhile) give ETIMEDOUT; such a write
    // may still land later. Writes whose answers are let go are still made. Calls made after
    // this one reach the service after these writes. This default writes one item after the
    // other at once.
    virtual std::unique_ptr<PendingWrites> startWrites(
        const std::vector<std::pair<std::string, IconMetadata>>& items);
    // startWrites() with every answer taken: results[i] is items[i]'s.
    std::vector<int> writeAll(const std::vector<std::pair<std::string, IconMetadata>>& items);
    // read() for each path, made together while the caller goes on: the answers are taken as they
    // come. Reads never taken may be left undone once the answers are let go. This default reads
    // one path after the other at once.
    virtual std::unique_ptr<PendingReads> startReads(const std::vector<std::string>& paths);
    // startReads() with every answer taken: results[i] is paths[i]'s.
    std::vector<std::pair<int, IconMetadata>> readAll(const std::vector<std::string>& paths);
    // Removes custom-icon at `path` only while it is exactly `expectedUri`; nothing is created,
    // renamed or removed at or beside `path`, which may be vanished or hold another object. Any
    // other key there stays. 0 when nothing of ours is left there (removed, or never ours); EIO
    // when the store's files cannot tell (damaged, of an unknown format), the key left as it is.
    virtual int clearIfOurs(const std::string& path, const std::string& expectedUri) = 0;
    // Makes every value written (or cleared) so far durable, as far as the store's files go.
    virtual int flush() = 0;

    // The emblem list of `path` itself, in order; empty when the key is absent. EINVAL for a
    // value that is no string list. ENOTSUP here; the stores that keep emblems override both.
    virtual int readEmblems(const std::string& path, std::vector<std::string>& out);
    // Sets the list of `path`; an empty list removes the key.
    virtual int writeEmblems(const std::string& path, const std::vector<std::string>& names);
    // Takes `emblem` out of the list kept for `path`, the others kept in order, as clearIfOurs
    // takes the custom icon: nothing made at or beside `path`. 0 when the list does not hold it
    // (any more). ENOTSUP here, as readEmblems.
    virtual int clearEmblem(const std::string& path, const std::string& emblem);
};

// The real store through GIO and the service's own interface: startWrites sends the service's calls
// itself, to where GIO's client would send them, wherever it can map the path as that client does.
// `wait` bounds every call; `synced`, when set, hears each store file flush() syncs.
std::unique_ptr<DesktopMetadata> makeGioDesktopMetadata(
    std::chrono::milliseconds wait = std::chrono::milliseconds(2000),
    std::function<void(const std::string& file)> synced = {});

// The "file://" URI of an absolute path, percent-encoded; nothing for a relative path.
std::optional<std::string> fileUriOfPath(const std::string& path);

// The keys a skinned item carries: custom-icon names the icon file, custom-icon-name absent.
IconMetadata skinnedIconMetadata(const std::string& iconFilePath);

// Writes `png` to `iconPath` (atomically, mode 0644, its folder synced) unless that file already
// holds exactly these bytes with that mode.
int ensureIconFile(FileSystem& fs, const std::string& iconPath, const Bytes& png);

// Whether the session's desktop, as `XDG_CURRENT_DESKTOP` names it (a colon-separated list), is
// one whose file manager and desktop draw no custom icon but draw emblems: Xfce (Thunar,
// xfdesktop) or LXDE (PCManFM). Elsewhere an emblem would add a second furball.
bool desktopDrawsEmblemsOnly(std::string_view currentDesktop);
// Where the furball emblem is installed as a theme icon, under the user's data folder.
std::string emblemIconPath(const std::string& dataHome);

}  // namespace lumaro::platform
