// A desktop metadata store for engine tests: keys per path, availability and a failure per call
// that tests set. With `file` set, the keys live in that file, so that what a forked child wrote
// is seen by its parent as the real store's daemon outlives a killed program.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/desktop_metadata.h"

namespace lumaro::test {

class MemoryDesktopMetadata final : public platform::DesktopMetadata {
  public:
    int available(const std::string&) override { return unavailable ? ENOTSUP : 0; }
    int read(const std::string& path, platform::IconMetadata& out) override;
    int write(const std::string& path, const platform::IconMetadata& value) override;
    int clearIfOurs(const std::string& path, const std::string& expectedUri) override;
    int clearEmblem(const std::string& path, const std::string& emblem) override;
    int readEmblems(const std::string& path, std::vector<std::string>& out) override;
    int writeEmblems(const std::string& path, const std::vector<std::string>& names) override;
    int flush() override { return failFlush != 0 ? failFlush : inject ? inject("fsync metadata-store") : 0; }

    std::map<std::string, platform::IconMetadata> keys;       // paths without keys are absent
    std::map<std::string, std::vector<std::string>> emblems;  // paths without emblems are absent
    std::string file;
    bool unavailable = false;
    int failWrites = 0;  // an errno value returned by every change while set
    int failFlush = 0;
    // Asked before each change ("metadata <path>", "metadata-clear <path>", "fsync metadata-store");
    // a non-zero errno fails it. startWrites() is the seam's own: one write() per item, in order, so
    // each item is asked for and answered separately.
    std::function<int(const std::string& call)> inject;

  private:
    // The errno a change fails with, else loads the keys (from `file`, when set), applies `change`, saves
    // them.
    int change(const std::string& call, const std::function<void()>& change);
};

}  // namespace lumaro::test
