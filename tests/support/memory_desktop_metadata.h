// An in-memory desktop metadata store for engine tests: keys per path, availability and a
// failure per call that tests set.
#pragma once

#include <map>
#include <string>

#include "platform/desktop_metadata.h"

namespace lumaro::test {

class MemoryDesktopMetadata final : public platform::DesktopMetadata {
  public:
    int available(const std::string&) override { return unavailable ? ENOTSUP : 0; }
    int read(const std::string& path, platform::IconMetadata& out) override;
    int write(const std::string& path, const platform::IconMetadata& value) override;
    int clearIfOurs(const std::string& path, const std::string& expectedUri) override;
    int flush() override;

    std::map<std::string, platform::IconMetadata> keys;  // paths without keys are absent
    bool unavailable = false;
    int failReads = 0;  // an errno value returned by every call of that kind while set
    int failWrites = 0;
    int failFlush = 0;
    int flushes = 0;
};

}  // namespace lumaro::test
