// What an apply and a restore cost per item, against the cost of the durable writes themselves and
// against a peer that does far less.
//
//   lumaro_bench [--dir FOLDER]... [--sizes 100,1000,5000] [--rounds 3] [--plain] [--no-metadata]
//                [--json]
//
// For each folder (by default $HOME and /tmp) and each size N, in a child process of its own (so
// peak memory is the run's own): creates N items in a scratch folder there (plain files, files
// carrying attributes and a resource fork, folders, folders with an "Icon\r", ".app" folders), runs
// a batch apply and a batch restore with every form on, and measures time, the fsync calls, the
// bytes written to "backup.json" and peak resident memory. Beside them, in the same run:
//   floor: the same durable writes alone, made the way the run made them: as many atomic, synced
//          replacements of a file of the same sizes as the run saved, as many metadata writes (in
//          the same groups sent together) and store flushes as it made, and each sync of an item's
//          file or folder as the run made it (in the same groups synced together, each member in a
//          folder of its own): a file it made, made anew with as many bytes and attributes of the
//          same sizes; a folder whose entries it changed, a folder with an entry renamed where it
//          renamed one, and as many files removed from it as it removed (held open through the
//          removal where it held them); any other object it changed, a file with as many bytes
//          written and attributes of the same sizes set; and the files it removed or made and
//          never synced, removed or made as many;
//   peer:  GIO's synchronous g_file_set_attribute_string of the custom-icon key over the same
//          items, with no backup and nothing synced (taken off again afterwards, untimed).
// The metadata store is the session's: run through scripts/with-private-session.sh (scripts/bench.sh
// does), never on a person's own session. Before the clock starts one key is set there on a file
// in the scratch folder that holds the items' folder, so that the store holds the tree of that
// disk, as a person's does. --no-metadata leaves that form out; --plain makes every item a plain
// file without attributes.
// A run of 100 items lasts some 50 ms, within reach of one slow sync of the disk: each size is run
// --rounds times, each round a child of its own with items of its own, and the table shows for
// each phase the round of the median ratio, beside the lowest and highest ratio of all and the
// highest peak memory; --json gives every round.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gio/gio.h>

#include <QCoreApplication>
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "batch/icon_batch_engine.h"
#include "platform/desktop_metadata.h"
#include "platform/file_ops.h"
#include "platform/paths.h"
#include "platform/resource_fork.h"
#include "resources/resources.h"

namespace {

using lumaro::platform::FileSystem;

// One sync of an item's file or folder, as the floor replays it: what had changed in it since its
// last sync.
struct Synced {
    enum Kind {
        made,     // a file the run made, never synced before: its size and attributes
        folder,   // a folder whose entries changed: made, renamed or removed
        changed,  // any other object whose data or attributes changed
        clean,    // nothing changed
    } kind = clean;
    std::size_t bytes = 0;                // data written (a made file's size)
    std::vector<std::size_t> attributes;  // the sizes of the attributes set
    bool entries = false;                 // of a folder: an entry renamed, or made and replayed elsewhere
    std::size_t removed = 0;              // and the files removed from it,
    std::size_t held = 0;                 // of those held open through the removal, closed apart
    int with = -1;  // a made file synced together with its folder: that member of the group
};

// Counts what the durable writes of "backup.json" cost and remembers each save's size, and what each
// sync of an item's file or folder made durable.
class CountingFileSystem final : public lumaro::platform::ForwardingFileSystem {
  public:
    using ForwardingFileSystem::ForwardingFileSystem;
    std::uint64_t fsyncs = 0;
    std::uint64_t manifestBytes = 0;
    std::uint64_t itemFlushes = 0;    // of items and their files, under `items`
    std::uint64_t itemFilesMade = 0;  // files the run made in items (new inodes)
    std::uint64_t itemFilesRemoved = 0;
    std::uint64_t itemBytesRemoved = 0;          // what those held
    std::vector<std::vector<Synced>> itemSyncs;  // those syncs, each group synced together
    std::vector<std::size_t> manifestSaves;
    std::string items;

    void reset() {
        fsyncs = manifestBytes = itemFlushes = itemFilesMade = itemFilesRemoved = itemBytesRemoved = 0;
        itemSyncs.clear();
        manifestSaves.clear();
        changes_.clear();
        removedFrom_.clear();
    }
    int open(const std::string& path, int flags, unsigned mode, int& fd) override {
        const int err = ForwardingFileSystem::open(path, flags, mode, fd);
        if (err == 0) {
            manifestTemp_[fd] = lumaro::platform::lastPathComponent(path).starts_with(".backup.json.");
            item_[fd] = !items.empty() && path.starts_with(items + "/");
        }
        return err;
    }
    int openAt(int folder, const std::string& name, int flags, unsigned mode, int& fd) override {
        // Made by this call: an exclusive creation that succeeds, or a creation of a name not there.
        const bool absent =
            (flags & O_CREAT) != 0 && item_[folder] &&
            ((flags & O_EXCL) != 0 || ::faccessat(folder, name.c_str(), F_OK, AT_SYMLINK_NOFOLLOW) != 0);
        const int err = ForwardingFileSystem::openAt(folder, name, flags, mode, fd);
        if (err == 0) {
            item_[fd] = item_[folder];
            if (absent) {
                ++itemFilesMade;
                Change& change = changes_[objectOf(fd)];
                change = Change();
                change.made = true;
                change.parent = objectOf(folder);
                ++changes_[change.parent].madeHere;
            }
        }
        return err;
    }
    int unlinkAt(int folder, const std::string& name) override {
        struct stat st {};
        const bool found = item_[folder] && ::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
        const int err = ForwardingFileSystem::unlinkAt(folder, name);
        if (err == 0 && item_[folder]) {
            ++itemFilesRemoved;
            itemBytesRemoved += found ? static_cast<std::uint64_t>(st.st_size) : 0u;
            ++changes_[objectOf(folder)].removed;
            if (found && st.st_nlink <= 1) {
                const Object gone{st.st_dev, st.st_ino};
                changes_.erase(gone);  // nothing of it is made durable any more
                removedFrom_[gone] = objectOf(folder);
            }
        }
        return err;
    }
    int renameAt(int folder, const std::string& from, const std::string& to,
                 lumaro::platform::Rename how) override {
        const int err = ForwardingFileSystem::renameAt(folder, from, to, how);
        if (err == 0 && item_[folder]) {
            changes_[objectOf(folder)].renamed = true;
        }
        return err;
    }
    int write(int fd, const void* data, std::size_t size, std::size_t& written) override {
        const int err = ForwardingFileSystem::write(fd, data, size, written);
        if (err == 0 && manifestTemp_[fd]) {
            manifestBytes += written;
            pending_[fd] += written;
        }
        if (err == 0 && item_[fd]) {
            changes_[objectOf(fd)].data += written;
        }
        return err;
    }
    int ftruncate(int fd, std::uint64_t length) override {
        return changing(fd, target().ftruncate(fd, length));
    }
    int fchmod(int fd, unsigned mode) override { return changing(fd, target().fchmod(fd, mode)); }
    int fchown(int fd, std::uint32_t uid, std::uint32_t gid) override {
        return changing(fd, target().fchown(fd, uid, gid));
    }
    int fsetAttribute(int fd, const std::string& name, const void* data, std::size_t size) override {
        const int err = target().fsetAttribute(fd, name, data, size);
        if (err == 0 && item_[fd]) {
            changes_[objectOf(fd)].attributes.push_back(size);
        }
        return err;
    }
    int fremoveAttribute(int fd, const std::string& name) override {
        return changing(fd, target().fremoveAttribute(fd, name));
    }
    int fcopyAttributes(int from, int to) override {
        const int err = target().fcopyAttributes(from, to);
        if (err == 0 && item_[to]) {
            auto& attributes = changes_[objectOf(to)].attributes;
            const ssize_t listed = ::flistxattr(to, nullptr, 0);
            std::vector<char> names(listed > 0 ? static_cast<std::size_t>(listed) : 0u);
            const ssize_t length = names.empty() ? 0 : ::flistxattr(to, names.data(), names.size());
            for (ssize_t at = 0; at < length;
                 at += static_cast<ssize_t>(std::strlen(names.data() + at)) + 1) {
                const ssize_t size = ::fgetxattr(to, names.data() + at, nullptr, 0);
                attributes.push_back(size > 0 ? static_cast<std::size_t>(size) : 0u);
            }
        }
        return err;
    }
    int fsync(int fd) override {
        countGroup({fd});
        return ForwardingFileSystem::fsync(fd);
    }
    // Counted as fsync() counts them, and synced together as the real file system does.
    std::vector<int> fsyncAll(const std::vector<int>& fds) override {
        countGroup(fds);
        return target().fsyncAll(fds);
    }
    std::unique_ptr<lumaro::platform::PendingSyncs> startFsyncAll(const std::vector<int>& fds) override {
        countGroup(fds);
        return target().startFsyncAll(fds);
    }
    int close(int fd) override {
        forget(fd);
        return ForwardingFileSystem::close(fd);
    }
    // A file held open through its removal: its folder's sync replays the removal so.
    void closeRemoved(int fd) override {
        if (item_[fd]) {
            const auto from = removedFrom_.find(objectOf(fd));
            if (from != removedFrom_.end()) {
                const auto folder = changes_.find(from->second);
                if (folder != changes_.end() && folder->second.held < folder->second.removed) {
                    ++folder->second.held;
                }
                removedFrom_.erase(from);
            }
        }
        forget(fd);
        target().closeRemoved(fd);
    }

  private:
    using Object = std::pair<dev_t, ino_t>;
    // What changed in an item's object since its last sync.
    struct Change {
        bool made = false;         // made by the run and never synced
        bool renamed = false;      // a folder's entry renamed
        std::size_t madeHere = 0;  // files made in a folder
        std::size_t removed = 0;   // files removed from a folder,
        std::size_t held = 0;      // of them held open through the removal
        bool other = false;        // mode, owner, length, an attribute removed
        std::size_t data = 0;      // bytes written
        std::vector<std::size_t> attributes;
        Object parent{};  // a made file's folder
    };
    static Object statObject(int fd) {
        struct stat st {};
        ::fstat(fd, &st);
        return {st.st_dev, st.st_ino};
    }
    // The object an item's descriptor holds, found when first needed: the counting adds no call
    // to an open that changes nothing.
    Object objectOf(int fd) {
        const auto found = object_.find(fd);
        return found != object_.end() ? found->second : object_.emplace(fd, statObject(fd)).first->second;
    }
    int changing(int fd, int err) {
        if (err == 0 && item_[fd]) {
            changes_[objectOf(fd)].other = true;
        }
        return err;
    }
    void countGroup(const std::vector<int>& fds) {
        std::vector<Synced> group;
        std::map<Object, int> members;
        std::vector<Object> parents;
        std::vector<std::size_t> madeHere;
        for (const int fd : fds) {
            ++fsyncs;
            if (!item_[fd]) {
                continue;
            }
            struct stat st {};
            ::fstat(fd, &st);
            const Object object{st.st_dev, st.st_ino};
            members.emplace(object, static_cast<int>(group.size()));
            const auto found = changes_.find(object);
            Synced& synced = group.emplace_back();
            parents.emplace_back();
            madeHere.push_back(0);
            if (found == changes_.end()) {
                continue;  // clean: nothing changed since its last sync, or a second sync in the group
            }
            Change change = std::move(found->second);
            changes_.erase(found);
            synced.attributes = std::move(change.attributes);
            if (change.made) {
                synced.kind = Synced::made;
                synced.bytes = static_cast<std::size_t>(st.st_size);
                parents.back() = change.parent;
            } else if (S_ISDIR(st.st_mode) && (change.renamed || change.madeHere > 0 || change.removed > 0)) {
                synced.kind = Synced::folder;
                synced.entries = change.renamed;
                synced.removed = change.removed;
                synced.held = change.held;
                madeHere.back() = change.madeHere;
            } else {
                synced.kind = Synced::changed;
                synced.bytes = change.data;
                if (synced.attributes.empty() && change.data == 0) {
                    synced.attributes.push_back(sizeof(std::uint64_t));  // a mode or length: one small change
                }
            }
        }
        for (std::size_t i = 0; i < group.size(); ++i) {
            const auto folder = members.find(parents[i]);
            if (group[i].kind == Synced::made && folder != members.end() &&
                group[static_cast<std::size_t>(folder->second)].kind == Synced::folder) {
                group[i].with = folder->second;
                --madeHere[static_cast<std::size_t>(folder->second)];
            }
        }
        // A file made in a folder but not replayed in its place: a rename stands in for its entry.
        for (std::size_t i = 0; i < group.size(); ++i) {
            if (group[i].kind == Synced::folder && madeHere[i] > 0) {
                group[i].entries = true;
            }
        }
        itemFlushes += group.size();
        if (!group.empty()) {
            itemSyncs.push_back(std::move(group));
        }
    }
    void forget(int fd) {
        if (manifestTemp_[fd]) {
            manifestSaves.push_back(pending_[fd]);
        }
        manifestTemp_.erase(fd);
        item_.erase(fd);
        object_.erase(fd);
        pending_.erase(fd);
    }

    std::map<int, bool> manifestTemp_;
    std::map<int, bool> item_;
    std::map<int, std::size_t> pending_;
    std::map<int, Object> object_;          // what each item's descriptor holds
    std::map<Object, Change> changes_;      // items' objects changed since their last sync
    std::map<Object, Object> removedFrom_;  // files removed, still held: their folders
};

struct Cost {
    double wall = 0;
    double user = 0;
    double system = 0;
    std::array<double, 4> parts =
        {};  // a floor's: metadata writes and flushes, item syncs, saves, files made or removed unsynced
};

double seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

template <typename F>
Cost measure(F&& run) {
    // Whatever is waiting to be written (the items just made, the last round's removals) is written
    // before the clock starts, not during the part it would fall into.
    ::sync();
    rusage before{};
    rusage after{};
    ::getrusage(RUSAGE_SELF, &before);
    const auto start = std::chrono::steady_clock::now();
    run();
    const auto end = std::chrono::steady_clock::now();
    ::getrusage(RUSAGE_SELF, &after);
    return {std::chrono::duration<double>(end - start).count(),
            seconds(after.ru_utime) - seconds(before.ru_utime),
            seconds(after.ru_stime) - seconds(before.ru_stime),
            {}};
}

void writeFile(const std::string& path, const std::string& text) {
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
}

bool gPlainOnly = false;

void makeItems(const std::string& root, int count) {
    ::mkdir(root.c_str(), 0755);
    lumaro::platform::Resource note;
    note.type = {'T', 'E', 'X', 'T'};
    note.id = 128;
    note.data = lumaro::platform::Bytes(200, 'n');
    const auto fork = *lumaro::platform::buildResourceFork({note});
    std::vector<std::uint8_t> finder(32, 0);
    finder[9] = 0x0C;
    for (int i = 0; i < count; ++i) {
        char name[64];
        const std::string path = root + "/";
        switch (gPlainOnly ? 0 : i % 5) {
            case 0:
                std::snprintf(name, sizeof name, "file %04d.txt", i);
                writeFile(path + name, "plain");
                break;
            case 1:
                std::snprintf(name, sizeof name, "tagged %04d.doc", i);
                writeFile(path + name, "tagged");
                ::setxattr((path + name).c_str(), "user.com.apple.FinderInfo", finder.data(), finder.size(),
                           0);
                ::setxattr((path + name).c_str(), "user.com.apple.ResourceFork", fork.data(), fork.size(), 0);
                break;
            case 2:
                std::snprintf(name, sizeof name, "folder %04d", i);
                ::mkdir((path + name).c_str(), 0755);
                break;
            case 3:
                std::snprintf(name, sizeof name, "iconic %04d", i);
                ::mkdir((path + name).c_str(), 0755);
                writeFile(path + name + "/Icon\r", "icon");
                break;
            default:
                std::snprintf(name, sizeof name, "Tool %04d.app", i);
                ::mkdir((path + name).c_str(), 0755);
                break;
        }
    }
}

// Counts the store's writes and flushes on the way to the real store.
class CountingMetadata final : public lumaro::platform::DesktopMetadata {
  public:
    explicit CountingMetadata(std::unique_ptr<lumaro::platform::DesktopMetadata> target)
        : target_(std::move(target)) {}
    std::uint64_t writes = 0;
    std::vector<std::size_t> writeGroups;  // of those, the ones sent together, group by group
    std::uint64_t flushes = 0;
    int available(const std::string& path) override { return target_->available(path); }
    int read(const std::string& path, lumaro::platform::IconMetadata& out) override {
        return target_->read(path, out);
    }
    int write(const std::string& path, const lumaro::platform::IconMetadata& value) override {
        ++writes;
        return target_->write(path, value);
    }
    // Forwarded as the apply makes it: kept in flight together, not one write after the other.
    std::unique_ptr<lumaro::platform::PendingWrites> startWrites(
        const std::vector<std::pair<std::string, lumaro::platform::IconMetadata>>& items) override {
        writes += items.size();
        writeGroups.push_back(items.size());
        return target_->startWrites(items);
    }
    // Forwarded as the engines make them: a group's reads together.
    std::unique_ptr<lumaro::platform::PendingReads> startReads(
        const std::vector<std::string>& paths) override {
        return target_->startReads(paths);
    }
    int clearIfOurs(const std::string& path, const std::string& expectedUri) override {
        return target_->clearIfOurs(path, expectedUri);
    }
    int flush() override {
        ++flushes;
        return target_->flush();
    }
    lumaro::platform::DesktopMetadata& target() { return *target_; }

  private:
    std::unique_ptr<lumaro::platform::DesktopMetadata> target_;
};

// What the durable writes of one phase were, for the floor to replay.
struct Writes {
    std::vector<std::size_t> saves;              // each manifest save's size
    std::vector<std::vector<Synced>> itemSyncs;  // each group of item syncs made together
    std::uint64_t filesMade = 0;                 // new files in items, each a new inode
    std::uint64_t filesRemoved = 0;              // files removed in items
    std::uint64_t bytesRemoved = 0;              // what those held
    std::uint64_t metadataWrites = 0;
    std::vector<std::size_t> metadataGroups;  // of those, the ones sent together, group by group
    std::uint64_t storeFlushes = 0;
};

// The floor's own writes must all succeed, or it would measure less than the run made.
void must(int err, const char* what) {
    if (err != 0) {
        std::fprintf(stderr, "lumaro_bench: the floor could not %s: %s\n", what, std::strerror(err));
        std::fflush(stderr);
        ::_exit(1);
    }
}

// Replays the durable writes alone, in floor folders made before the clock starts: the metadata
// writes go to files made for them (those sent together, together); the item syncs to files and
// folders of their own, one place per member of the largest group (a made file synced with its
// folder in that folder's place); the saves to one file of the same sizes.
Cost floorOf(const std::string& scratch, const char* phase, const Writes& writes,
             lumaro::platform::DesktopMetadata* store, const std::string& iconFile) {
    FileSystem& fs = FileSystem::real();
    const std::string directory = scratch + "/floor-" + phase;  // each phase's floor starts anew
    ::mkdir(directory.c_str(), 0700);
    const std::string path = directory + "/floor.json";
    const std::string targets = directory + "/floor-targets";
    ::mkdir(targets.c_str(), 0700);
    std::vector<std::string> files;
    for (std::uint64_t i = 0; store != nullptr && i < writes.metadataWrites; ++i) {
        files.push_back(targets + "/" + std::to_string(i));
        writeFile(files.back(), "");
    }
    // A folder for each member of a group of item syncs, holding a file to change, an entry to
    // rename and as many files as the run removed from the folders synced there.
    struct Place {
        std::string path;
        lumaro::platform::Descriptor folder;
        lumaro::platform::Descriptor file;
        bool renamed = false;
        std::size_t removals = 0;
        std::vector<std::string> toRemove;
    };
    const auto placeOf = [](const Synced& synced, std::size_t j) {
        return synced.with >= 0 ? static_cast<std::size_t>(synced.with) : j;
    };
    std::size_t width = 1;
    std::size_t largest = sizeof(std::uint64_t);
    std::uint64_t removedWhenSynced = 0;
    for (const auto& group : writes.itemSyncs) {
        width = std::max(width, group.size());
        for (const Synced& synced : group) {
            largest = std::max(largest, synced.bytes);
            for (const std::size_t size : synced.attributes) {
                largest = std::max(largest, size);
            }
            removedWhenSynced += synced.removed;
        }
    }
    const std::string placesRoot = directory + "/floor-items";
    ::mkdir(placesRoot.c_str(), 0700);
    std::vector<Place> places(width);
    std::vector<int> placeFds;
    for (std::size_t j = 0; j < width; ++j) {
        Place& place = places[j];
        place.path = placesRoot + "/" + std::to_string(j);
        ::mkdir(place.path.c_str(), 0700);
        writeFile(place.path + "/a", "");
        must(lumaro::platform::openDescriptor(fs, place.path, O_RDONLY | O_DIRECTORY, 0, place.folder),
             "open a folder");
        must(lumaro::platform::openDescriptor(fs, place.path + "/f", O_RDWR | O_CREAT | O_NOFOLLOW, 0600,
                                              place.file),
             "make a file");
        placeFds.push_back(place.folder.get());
        placeFds.push_back(place.file.get());
    }
    // The files a folder sync replays the removal of hold, on disk, what the removed ones held on
    // average.
    const std::string held(writes.filesRemoved > 0 ? writes.bytesRemoved / writes.filesRemoved : 0, 'x');
    for (const auto& group : writes.itemSyncs) {
        for (std::size_t j = 0; j < group.size(); ++j) {
            places[placeOf(group[j], j)].removals += group[j].removed;
        }
    }
    for (Place& place : places) {
        for (std::size_t k = 0; k < place.removals; ++k) {
            place.toRemove.push_back("r" + std::to_string(k));
            lumaro::platform::Descriptor fd;
            must(lumaro::platform::openDescriptor(fs, place.path + "/" + place.toRemove.back(),
                                                  O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0600, fd),
                 "make a file");
            must(lumaro::platform::writeFully(fs, fd.get(), held.data(), held.size(), false), "write a file");
            must(fs.fsync(fd.get()), "sync");
        }
    }
    for (const int err : fs.fsyncAll(placeFds)) {
        must(err, "sync");
    }
    // Each part on its own clock, so that the report can say which part the disk spends on.
    const auto value = lumaro::platform::skinnedIconMetadata(iconFile);
    std::vector<std::vector<std::pair<std::string, lumaro::platform::IconMetadata>>> groups;
    std::size_t alone = files.size();
    for (const std::size_t size : writes.metadataGroups) {
        auto& group = groups.emplace_back();
        for (std::size_t i = 0; i < size && alone > 0; ++i) {
            group.emplace_back(files[--alone], value);
        }
    }
    const Cost metadata = measure([&] {
        for (std::size_t i = 0; i < alone; ++i) {
            store->write(files[i], value);
        }
        for (const auto& group : groups) {
            store->writeAll(group);
        }
        for (std::uint64_t i = 0; store != nullptr && i < writes.storeFlushes; ++i) {
            store->flush();
        }
    });
    const std::string bytes(largest, 'x');
    std::vector<std::string> made;  // the files made, for the removes to take
    const Cost items = measure([&] {
        std::vector<lumaro::platform::Descriptor> news;
        std::vector<int> fds;
        for (const auto& group : writes.itemSyncs) {
            news.clear();
            fds.clear();
            for (std::size_t j = 0; j < group.size(); ++j) {
                const Synced& synced = group[j];
                Place& place = places[placeOf(synced, j)];
                int target = place.file.get();
                switch (synced.kind) {
                    case Synced::made:
                        made.push_back(place.path + "/m" + std::to_string(made.size()));
                        must(lumaro::platform::openDescriptor(fs, made.back(), O_RDWR | O_CREAT | O_EXCL,
                                                              0600, news.emplace_back()),
                             "make a file");
                        target = news.back().get();
                        must(lumaro::platform::writeFully(fs, target, bytes.data(), synced.bytes, false),
                             "write a file");
                        break;
                    case Synced::folder:
                        if (synced.entries) {
                            must(fs.renameAt(place.folder.get(), place.renamed ? "b" : "a",
                                             place.renamed ? "a" : "b", lumaro::platform::Rename::noReplace),
                                 "rename an entry");
                            place.renamed = !place.renamed;
                        }
                        // Those the run held open through the removal are held so, and their last close
                        // handed on as the run hands it on.
                        for (std::size_t k = 0; k < synced.removed; ++k) {
                            const std::string& name = place.toRemove.back();
                            lumaro::platform::Descriptor heldOpen;
                            if (k < synced.held) {
                                int fd = -1;
                                must(fs.openAt(place.folder.get(), name, O_RDONLY | O_NOFOLLOW, 0, fd),
                                     "open a file");
                                heldOpen = lumaro::platform::Descriptor(fs, fd);
                            }
                            must(fs.unlinkAt(place.folder.get(), name), "remove a file");
                            if (heldOpen.valid()) {
                                heldOpen.closeRemoved();
                            }
                            place.toRemove.pop_back();
                        }
                        target = place.folder.get();
                        break;
                    case Synced::changed:
                        if (synced.bytes > 0) {
                            must(fs.ftruncate(target, 0), "empty a file");
                            must(fs.seek(target, 0), "rewind a file");
                            must(lumaro::platform::writeFully(fs, target, bytes.data(), synced.bytes, false),
                                 "write a file");
                        }
                        break;
                    case Synced::clean:
                        break;
                }
                for (std::size_t k = 0; k < synced.attributes.size(); ++k) {
                    must(fs.fsetAttribute(target, "floor" + std::to_string(k), bytes.data(),
                                          synced.attributes[k]),
                         "set an attribute");
                }
                fds.push_back(target);
            }
            for (const int err : fs.fsyncAll(fds)) {
                must(err, "sync");
            }
        }
    });
    // Files the run made and never synced are made, empty, in one folder.
    const std::string unsyncedRoot = directory + "/floor-made";
    ::mkdir(unsyncedRoot.c_str(), 0700);
    const std::size_t synced = made.size();
    const Cost creates = measure([&] {
        for (std::uint64_t i = synced; i < writes.filesMade; ++i) {
            made.push_back(unsyncedRoot + "/" + std::to_string(i));
            lumaro::platform::Descriptor fd;
            must(lumaro::platform::openDescriptor(fs, made.back(), O_RDWR | O_CREAT | O_EXCL, 0600, fd),
                 "make a file");
        }
    });
    // The files removed but never synced away: those made above first, then new ones spread over
    // the places.
    std::vector<std::string> removed;
    for (std::uint64_t i = 0; i + removedWhenSynced < writes.filesRemoved; ++i) {
        removed.push_back(i < made.size() ? made[i] : places[i % width].path + "/u" + std::to_string(i));
        lumaro::platform::Descriptor fd;
        must(lumaro::platform::openDescriptor(fs, removed.back(), O_RDWR | O_CREAT | O_NOFOLLOW, 0600, fd),
             "make a file");
        must(fs.ftruncate(fd.get(), 0), "empty a file");
        must(lumaro::platform::writeFully(fs, fd.get(), held.data(), held.size(), false), "write a file");
        must(fs.fsync(fd.get()), "sync");
    }
    const Cost removes = measure([&] {
        for (const std::string& file : removed) {
            must(fs.unlink(file), "remove a file");
        }
    });
    // The other files made stay until the scratch folder goes: freed now, their inodes would slow
    // the next phase's new files on a file system without a journal.
    std::string data;
    const Cost saves = measure([&] {
        for (const std::size_t size : writes.saves) {
            data.assign(size, 'x');
            must(lumaro::platform::writeFileAtomically(fs, path, data.data(), data.size(), 0600), "save");
            lumaro::platform::Descriptor fd;
            must(lumaro::platform::openDescriptor(fs, path, O_RDONLY | O_NOFOLLOW, 0, fd), "open the save");
            must(fs.fsync(fd.get()), "sync the save");
            must(lumaro::platform::syncDirectory(fs, directory), "sync the save's folder");
        }
    });
    const Cost cost{metadata.wall + items.wall + saves.wall + creates.wall + removes.wall,
                    metadata.user + items.user + saves.user + creates.user + removes.user,
                    metadata.system + items.system + saves.system + creates.system + removes.system,
                    {metadata.wall, items.wall, saves.wall, creates.wall + removes.wall}};
    for (const std::string& file : files) {
        store->write(file, {});
    }
    return cost;
}

// The peer: GIO's synchronous attribute call on each item, nothing recorded, nothing synced. The
// keys are taken off again afterwards, outside the clock.
Cost peerOf(const std::string& root, const std::string& iconFile) {
    std::vector<std::string> names;
    lumaro::platform::FileSystem::real().listDirectory(root, names);
    const std::string uri = lumaro::platform::fileUriOfPath(iconFile).value_or("");
    std::vector<GFile*> files;
    for (const std::string& name : names) {
        files.push_back(g_file_new_for_path((root + "/" + name).c_str()));
    }
    std::size_t failed = 0;
    const Cost cost = measure([&] {
        for (GFile* file : files) {
            GError* error = nullptr;
            if (!g_file_set_attribute_string(file, lumaro::platform::kCustomIconKey, uri.c_str(),
                                             G_FILE_QUERY_INFO_NOFOLLOW_SYMLINKS, nullptr, &error)) {
                ++failed;
                g_clear_error(&error);
            }
        }
    });
    for (GFile* file : files) {
        g_file_set_attribute(file, lumaro::platform::kCustomIconKey, G_FILE_ATTRIBUTE_TYPE_INVALID, nullptr,
                             G_FILE_QUERY_INFO_NOFOLLOW_SYMLINKS, nullptr, nullptr);
        g_object_unref(file);
    }
    if (failed > 0) {
        std::fprintf(stderr, "the peer's attribute call failed on %zu items\n", failed);
    }
    return cost;
}

class UnavailableMetadata final : public lumaro::platform::DesktopMetadata {
  public:
    int available(const std::string&) override { return ENOTSUP; }
    int read(const std::string&, lumaro::platform::IconMetadata&) override { return ENOTSUP; }
    int write(const std::string&, const lumaro::platform::IconMetadata&) override { return ENOTSUP; }
    int clearIfOurs(const std::string&, const std::string&) override { return ENOTSUP; }
    int flush() override { return 0; }
};

// The real session's answers, but no running applications and a store of the bench's own.
class NoApplications final : public lumaro::platform::Workspace {
  public:
    std::vector<lumaro::platform::RunningApplication> runningApplications() override { return {}; }
    std::optional<std::string> ownBundleIdentifier() override { return std::nullopt; }
    void noteFileSystemChanged(const std::string& path) override { real_.noteFileSystemChanged(path); }
    lumaro::platform::DesktopMetadata& desktopMetadata() override {
        return store ? static_cast<lumaro::platform::DesktopMetadata&>(*store) : unavailable_;
    }
    std::string homeDirectory() override { return real_.homeDirectory(); }
    std::string applicationSupportFolder() override { return real_.applicationSupportFolder(); }
    std::string desktopFolder() override { return real_.desktopFolder(); }
    lumaro::platform::DesktopDataFolders desktopDataFolders() override { return real_.desktopDataFolders(); }
    std::string currentDesktop() override { return real_.currentDesktop(); }
    std::set<std::string> launchedDesktopFiles(const std::set<std::string>& paths) override {
        return real_.launchedDesktopFiles(paths);
    }
    std::unique_ptr<CountingMetadata> store;  // none: the form is unavailable

  private:
    lumaro::platform::LinuxWorkspace real_;
    UnavailableMetadata unavailable_;
};

// The process's peak resident memory since the last resetPeak(), from /proc/self/status.
long peakKiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmHWM:")) {
            return std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return 0;
}

// Starts a phase's peak from what is resident now, so that the restore's is not the apply's.
void resetPeak() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

// Marks `folder` as the top of a tree of its own, so that ext4 spreads the folders made in it over
// block groups with room, away from the groups its parent's folders use: on a file system without
// a journal, each file made in a group where many were removed in the last minutes (by the rounds
// before this one, or anything else) costs tens of times more, and the targets are those of a
// quiet disk. False where the flag cannot be set; the run then goes on as it is.
bool markTopOfTree(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    int flags = 0;
    bool marked = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (marked) {
        flags |= FS_TOPDIR_FL;
        marked = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    ::close(fd);
    return marked;
}

nlohmann::json runSize(const std::string& base, int count, bool withMetadata) {
    // The round's folders in one folder of a top of a tree: ext4 places a folder made there by a
    // hash of its name, so each round's, named by its process, lands away from the rounds' before.
    const std::string top = base + "/lumaro-bench-" + std::to_string(::getpid());
    ::mkdir(top.c_str(), 0700);
    const bool spread = markTopOfTree(top);
    const std::string scratch = top + "/" + std::to_string(::getpid());
    ::mkdir(scratch.c_str(), 0700);
    const std::string root = scratch + "/Desktop";
    const std::string state = scratch + "/state";
    makeItems(root, count);
    CountingFileSystem fs(FileSystem::real());
    NoApplications workspace;
    if (withMetadata) {
        workspace.store = std::make_unique<CountingMetadata>(lumaro::platform::makeGioDesktopMetadata());
    }
    nlohmann::json result;
    result["metadata"] = withMetadata && workspace.store->available(scratch) == 0;
    const std::string iconFile = state + "/" + lumaro::platform::kFurballFileName;
    if (result["metadata"].get<bool>()) {
        // A person's store already holds the tree of the folder's disk: the service makes it, and
        // its journal, at the first key ever set there. Made before the clock starts, as the floor
        // and the peer find it.
        const std::string warm = scratch + "/warm";
        writeFile(warm, "");
        lumaro::platform::DesktopMetadata& store = workspace.store->target();
        if (store.write(warm, lumaro::platform::skinnedIconMetadata(iconFile)) != 0 || store.flush() != 0) {
            result["metadata"] = false;  // no run is reported on a store that could not be warmed
        }
    }
    {
        const lumaro::IconBatchEngine engine(
            fs, workspace, state, lumaro::loadFurball(),
            {.applicationRoots = std::vector<std::string>{scratch + "/Applications"}, .readDock = false});
        for (const char* phase : {"apply", "restore"}) {
            fs.reset();
            fs.items = root;
            if (workspace.store) {
                workspace.store->writes = 0;
                workspace.store->writeGroups.clear();
                workspace.store->flushes = 0;
            }
            lumaro::OperationReport report;
            const bool apply = std::strcmp(phase, "apply") == 0;
            resetPeak();
            const Cost cost = measure([&] { report = apply ? engine.apply(root, true) : engine.restore(); });
            const long peak = peakKiB();
            const Writes writes{fs.manifestSaves,
                                fs.itemSyncs,
                                fs.itemFilesMade,
                                fs.itemFilesRemoved,
                                fs.itemBytesRemoved,
                                workspace.store ? workspace.store->writes : 0,
                                workspace.store ? workspace.store->writeGroups : std::vector<std::size_t>(),
                                workspace.store ? workspace.store->flushes : 0};
            std::array<std::uint64_t, 4> kinds = {};  // the item syncs by what they made durable
            std::uint64_t removedInSyncs = 0;
            std::uint64_t heldInSyncs = 0;
            for (const auto& group : writes.itemSyncs) {
                for (const Synced& synced : group) {
                    ++kinds[synced.kind];
                    removedInSyncs += synced.removed;
                    heldInSyncs += synced.held;
                }
            }
            const Cost floor = floorOf(scratch, phase, writes,
                                       workspace.store ? &workspace.store->target() : nullptr, iconFile);
            const std::size_t largest = fs.manifestSaves.empty() ? 0
                                                                 : *std::max_element(fs.manifestSaves.begin(),
                                                                                     fs.manifestSaves.end());
            result[phase] = {{"wall", cost.wall},
                             {"user", cost.user},
                             {"system", cost.system},
                             {"succeeded", report.succeeded},
                             {"errors", report.errors.size()},
                             {"firstError", report.errors.empty() ? "" : report.errors.front().line()},
                             {"manifestBytes", fs.manifestBytes},
                             {"saves", fs.manifestSaves.size()},
                             {"fsyncs", fs.fsyncs},
                             {"itemFlushes", fs.itemFlushes},
                             {"itemSyncs",
                              {{"made", kinds[Synced::made]},
                               {"folder", kinds[Synced::folder]},
                               {"changed", kinds[Synced::changed]},
                               {"clean", kinds[Synced::clean]},
                               {"removals", removedInSyncs},
                               {"heldRemovals", heldInSyncs}}},
                             {"metadataWrites", writes.metadataWrites},
                             {"storeFlushes", writes.storeFlushes},
                             {"floor", floor.wall},
                             {"floorMetadata", floor.parts[0]},
                             {"floorItemFlushes", floor.parts[1]},
                             {"floorSaves", floor.parts[2]},
                             {"floorFiles", floor.parts[3]},
                             {"newFiles", writes.filesMade},
                             {"removedFiles", writes.filesRemoved},
                             {"ratio", floor.wall > 0 ? cost.wall / floor.wall : 0.0},
                             {"largestManifest", largest},
                             {"peakRssKiB", peak}};
        }
    }
    // The peer over the same items, now restored.
    const Cost peer = withMetadata ? peerOf(root, iconFile) : Cost{};
    result["peer"] = peer.wall;
    result["spread"] = spread;
    result["n"] = count;
    result["dir"] = base;
    // The folder itself goes through GIO, which has the store forget every path under it, as it
    // does for any folder deleted through GIO: the keys set and cleared there would otherwise stay
    // in the store's tree and slow the writes of the rounds after this one.
    const std::string cleanup = "find '" + scratch + "' -mindepth 1 -delete";
    [[maybe_unused]] const int status = std::system(cleanup.c_str());
    GFile* folder = g_file_new_for_path(scratch.c_str());
    if (!g_file_delete(folder, nullptr, nullptr)) {
        ::rmdir(scratch.c_str());
    }
    g_object_unref(folder);
    ::rmdir(top.c_str());
    return result;
}

// One run of `count` items in a child process of its own, so that peak memory is the run's own;
// nothing when the child failed.
std::optional<nlohmann::json> runChild(const std::string& directory, int count, bool metadata) {
    int pipe[2];
    if (::pipe(pipe) != 0) {
        return std::nullopt;
    }
    const pid_t child = ::fork();
    if (child < 0) {
        ::close(pipe[0]);
        ::close(pipe[1]);
        return std::nullopt;
    }
    if (child == 0) {
        ::close(pipe[0]);
        const std::string text = runSize(directory, count, metadata).dump();
        [[maybe_unused]] const ssize_t written = ::write(pipe[1], text.data(), text.size());
        ::_exit(0);
    }
    ::close(pipe[1]);
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(pipe[0], buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(pipe[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || text.empty()) {
        return std::nullopt;
    }
    return nlohmann::json::parse(text);
}

// A phase's row: the round of the median ratio (of an even count, the higher of the middle two),
// its ratio followed by the lowest and highest of all rounds, and the highest peak memory of all.
void printMedianRow(const std::string& directory, int count, const char* phase,
                    const std::vector<nlohmann::json>& results) {
    std::vector<const nlohmann::json*> ordered;
    for (const nlohmann::json& result : results) {
        ordered.push_back(&result);
    }
    const auto ratio = [&](const nlohmann::json* result) { return (*result)[phase]["ratio"].get<double>(); };
    std::sort(ordered.begin(), ordered.end(),
              [&](const nlohmann::json* a, const nlohmann::json* b) { return ratio(a) < ratio(b); });
    const nlohmann::json& result = *ordered[ordered.size() / 2];
    const auto& r = result[phase];
    const double n = count;
    const double bytes = static_cast<double>(r["manifestBytes"].get<std::uint64_t>());
    const double largest = static_cast<double>(r["largestManifest"].get<std::uint64_t>());
    long peak = 0;  // the highest of all rounds, the figure a limit is held to
    for (const nlohmann::json& each : results) {
        peak = std::max(peak, each[phase]["peakRssKiB"].get<long>());
    }
    char range[32];
    std::snprintf(range, sizeof range, "%.2f-%.2f", ratio(ordered.front()), ratio(ordered.back()));
    std::printf(
        "%-28s %6d %-7s %8.3f %8.3f %6.2f %-10s %6.3f/%6.3f/%6.3f/%6.3f %8.3f %7.2f %7.2f %7.1fx %7llu %6llu "
        "%8.1f %6zu\n",
        directory.substr(0, 28).c_str(), count, phase, r["wall"].get<double>() * 1e3 / n,
        r["floor"].get<double>() * 1e3 / n, r["ratio"].get<double>(), range,
        r["floorMetadata"].get<double>() * 1e3 / n, r["floorItemFlushes"].get<double>() * 1e3 / n,
        r["floorSaves"].get<double>() * 1e3 / n, r["floorFiles"].get<double>() * 1e3 / n,
        result["peer"].get<double>() * 1e3 / n, static_cast<double>(r["fsyncs"].get<std::uint64_t>()) / n,
        bytes / 1024.0 / n, largest > 0 ? bytes / largest : 0.0,
        static_cast<unsigned long long>(r["saves"].get<std::uint64_t>()),
        static_cast<unsigned long long>(r["storeFlushes"].get<std::uint64_t>()),
        static_cast<double>(peak) / 1024.0, r["errors"].get<std::size_t>());
    if (r["errors"].get<std::size_t>() > 0) {
        std::printf("  first error: %s\n", r["firstError"].get<std::string>().c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> directories;
    std::vector<int> sizes = {100, 1000, 5000};
    bool json = false;
    bool metadata = true;
    int rounds = 3;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--dir" && i + 1 < argc) {
            directories.push_back(argv[++i]);
        } else if (arg == "--sizes" && i + 1 < argc) {
            sizes.clear();
            std::stringstream list(argv[++i]);
            for (std::string item; std::getline(list, item, ',');) {
                char* end = nullptr;
                const long value = std::strtol(item.c_str(), &end, 10);
                sizes.push_back(end != item.c_str() && *end == '\0' && value > 0 && value <= 1'000'000
                                    ? static_cast<int>(value)
                                    : 0);
            }
        } else if (arg == "--rounds" && i + 1 < argc) {
            char* end = nullptr;
            const long value = std::strtol(argv[++i], &end, 10);
            rounds = *end == '\0' && value >= 1 && value <= 99 ? static_cast<int>(value) : 0;
        } else if (arg == "--plain") {
            gPlainOnly = true;
        } else if (arg == "--no-metadata") {
            metadata = false;
        } else if (arg == "--json") {
            json = true;
        } else {
            std::fprintf(stderr,
                         "usage: lumaro_bench [--dir FOLDER]... [--sizes 100,1000,5000] [--rounds 3] "
                         "[--plain] [--no-metadata] [--json]\n");
            return 64;
        }
    }
    if (directories.empty()) {
        const char* home = std::getenv("HOME");
        directories = {home != nullptr ? home : "/tmp", "/tmp"};
    }
    for (const std::string& directory : directories) {
        struct stat st {};
        if (::stat(directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            std::fprintf(stderr, "lumaro_bench: %s is not a folder\n", directory.c_str());
            return 64;
        }
    }
    for (const int count : sizes) {
        if (count < 1) {
            std::fprintf(stderr, "lumaro_bench: sizes are whole numbers from 1\n");
            return 64;
        }
    }
    if (rounds < 1) {
        std::fprintf(stderr, "lumaro_bench: rounds are a whole number from 1 to 99\n");
        return 64;
    }
    QCoreApplication application(argc, argv);
    if (!json) {
        std::printf(
            "each phase: the round of the median ratio of %d, and the lowest and highest ratio of all;\n"
            "per item: ms of wall time, of the floor (of it: metadata, item syncs, saves, files made or "
            "removed and never synced) and of the peer;\n"
            "fsyncs; KiB written to the manifest, and all written over the final manifest's size;\n"
            "peak resident memory of the process during the phase, the highest of all rounds\n",
            rounds);
        std::printf("%-28s %6s %-7s %8s %8s %6s %-10s %27s %8s %7s %7s %8s %7s %6s %8s %6s\n", "folder", "N",
                    "phase", "ms", "floor", "ratio", "ratios", "meta/items/saves/files", "peer", "fsyncs",
                    "KiB", "written", "saves", "flush", "peak MiB", "errors");
    }
    for (const std::string& directory : directories) {
        for (const int count : sizes) {
            std::vector<nlohmann::json> results;
            for (int round = 1; round <= rounds; ++round) {
                std::optional<nlohmann::json> result = runChild(directory, count, metadata);
                if (!result) {
                    std::fprintf(stderr, "lumaro_bench: the run of %d items in %s failed\n", count,
                                 directory.c_str());
                    return 1;
                }
                if (metadata && !(*result)["metadata"].get<bool>()) {
                    std::fprintf(stderr,
                                 "the desktop metadata store is not available here: run through "
                                 "scripts/with-private-session.sh, or pass --no-metadata\n");
                    return 1;
                }
                (*result)["round"] = round;
                if (json) {
                    std::printf("%s\n", result->dump().c_str());
                    std::fflush(stdout);
                }
                results.push_back(std::move(*result));
            }
            if (!json) {
                for (const char* phase : {"apply", "restore"}) {
                    printMedianRow(directory, count, phase, results);
                }
                std::fflush(stdout);
            }
        }
    }
    return 0;
}
