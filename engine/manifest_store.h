// Reading and durably saving the manifest files of one backup directory. A store lives for one
// operation: it keeps one encoder per file, so a save re-encodes only the entries that changed.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>

#include "platform/file_system.h"
#include "records/json.h"
#include "records/records.h"

namespace lumaro {

// The largest manifest file read into memory. Real manifests hold a few kilobytes per item.
inline constexpr std::uint64_t kMaxManifestSize = 256u * 1024 * 1024;

class ManifestStore {
  public:
    ManifestStore(platform::FileSystem& fs, std::string directory);
    ManifestStore(const ManifestStore&) = delete;
    ManifestStore& operator=(const ManifestStore&) = delete;

    // A validated manifest from `path`, or nothing when no file is there. Read as it is parsed: a
    // large manifest never stands whole in memory beside its entries.
    std::optional<BackupManifest> read(const std::string& path) const;
    // The same for a file this store is to save again: its text is read whole and kept, so that the
    // first save rewrites only the entries that changed. The texts kept for other files are let go.
    std::optional<BackupManifest> readForUpdate(const std::string& path);
    // How many entries the file at `path` holds, or nothing when no file is there: counted without
    // decoding them when the file is laid out as this store writes it. Throws as read() for a file
    // it cannot read.
    std::optional<std::size_t> countEntries(const std::string& path) const;
    // Writes durably: the data is on disk before the new name replaces the old file, and the
    // folder that holds it (and the backup directory) is synced after. `changed` and `rephased`,
    // when given, name the entries added or changed, and those whose phase alone changed, since
    // the last save to `path` (see ManifestEncoder). Without `changed` the file is saved whole and
    // its text not kept: a file written once (a new skip record).
    void save(const BackupManifest& manifest, const std::string& path,
              const std::set<std::string>* changed = nullptr,
              const std::set<std::string>* rephased = nullptr);
    // Removes an emptied manifest file durably.
    void remove(const std::string& path);
    // Lets go the text kept for `path`; its next save encodes it afresh.
    void forget(const std::string& path) { encoders_.erase(path); }
    // Flushes the backup directory's entries; failures are ignored.
    void syncDirectory() const;

  private:
    // Opens and checks the file; its descriptor and status, or false when no file is there.
    bool open(const std::string& path, platform::Descriptor& fd, platform::FileStatus& st) const;
    void write(const std::string& text, const std::string& path);

    platform::FileSystem& fs_;
    std::string directory_;
    std::map<std::string, ManifestEncoder> encoders_;  // of the files read for update or saved
};

}  // namespace lumaro
