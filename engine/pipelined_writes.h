// A group of items' durable work made together, for the apply and the restore: their metadata
// writes kept in flight together, their files synced together.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/desktop_metadata.h"
#include "platform/file_system.h"
#include "platform/system_error.h"
#include "records/icon_facet.h"

namespace lumaro {

// A group of items' reads of the metadata store, made together: the keys of the group's paths are
// read ahead (readAhead) while the caller goes on, each path's next read taking its answer once,
// unless a change to that path went to the store since. Every other call goes to the store.
class GroupReads : public platform::DesktopMetadata {
  public:
    explicit GroupReads(platform::DesktopMetadata& store) : store_(store) {}
    void readAhead(const std::vector<std::string>& paths) {
        forgetReadAhead();
        pending_ = store_.startReads(paths);
        for (std::size_t i = 0; i < paths.size(); ++i) {
            ahead_.insert_or_assign(paths[i], i);
        }
    }
    int read(const std::string& path, platform::IconMetadata& out) override {
        const auto found = ahead_.find(path);
        if (found == ahead_.end()) {
            return store_.read(path, out);
        }
        auto [result, value] = pending_->take(found->second);
        ahead_.erase(found);
        if (result == 0) {
            out = std::move(value);
        }
        return result;
    }
    int write(const std::string& path, const platform::IconMetadata& value) override {
        ahead_.erase(path);
        return store_.write(path, value);
    }
    int clearIfOurs(const std::string& path, const std::string& expectedUri) override {
        ahead_.erase(path);
        return store_.clearIfOurs(path, expectedUri);
    }
    int available(const std::string& path) override { return store_.available(path); }
    int flush() override { return store_.flush(); }
    int readEmblems(const std::string& path, std::vector<std::string>& out) override {
        return store_.readEmblems(path, out);
    }
    int writeEmblems(const std::string& path, const std::vector<std::string>& names) override {
        return store_.writeEmblems(path, names);
    }
    int clearEmblem(const std::string& path, const std::string& emblem) override {
        return store_.clearEmblem(path, emblem);
    }

  protected:
    platform::DesktopMetadata& store() { return store_; }
    void forgetReadAhead() {
        ahead_.clear();
        pending_.reset();
    }

  private:
    platform::DesktopMetadata& store_;
    std::map<std::string, std::size_t> ahead_;  // each path's place among the pending reads
    std::unique_ptr<platform::PendingReads> pending_;
};

// A group of items' metadata writes, sent together, and its reads, as GroupReads makes them: while
// recording, a write is only noted; once sent, the writes are in flight while the caller goes on,
// and each item's change meets its own write's answer (waiting for it) when it makes that write
// again. What was read ahead before the writes were sent is dropped; what is read ahead after is
// read once they are all answered.
class PipelinedWrites final : public GroupReads {
  public:
    using GroupReads::GroupReads;
    void send() {
        forgetReadAhead();  // reads not yet made are not waited for
        if (!writes_.empty()) {
            answers_ = store().startWrites(writes_);
        }
        taken_.assign(writes_.size(), false);
        recording_ = false;
    }
    int write(const std::string& path, const platform::IconMetadata& value) override {
        if (recording_) {
            writes_.emplace_back(path, value);
            return 0;
        }
        for (std::size_t i = 0; i < writes_.size(); ++i) {
            if (!taken_[i] && writes_[i].first == path && writes_[i].second == value) {
                taken_[i] = true;
                return answers_->take(i);
            }
        }
        return GroupReads::write(path, value);
    }

  private:
    bool recording_ = true;
    std::vector<std::pair<std::string, platform::IconMetadata>> writes_;
    std::unique_ptr<platform::PendingWrites> answers_;
    std::vector<bool> taken_;
};

// Runs a batch of `count` items in groups of up to `size` that overlap, so that the store always has
// writes to answer and the disk syncs to make. `prepare(start, stop)` gives a pointer to the group
// of the items from `start` up to `stop` and sends the group's reads; `check` checks it; `send`
// sends its writes; `put` takes their answers as it puts each item; `finish` verifies the group
// and begins its syncs; `settle` takes their results. While one group's writes are answered, the
// group before is finished, the next one checked and its writes sent, and only then is this one
// put and the one before settled: the store has the next group's writes as it answers this one's.
// A group's reads go to the store before the writes of the group before it, so that its check
// waits on none of them. The first group is a quarter of `size` and each next one twice the one
// before: the store idles only while that small group is checked.
template <class Prepare, class Check, class Send, class Finish, class Put, class Settle>
void runOverlapped(std::size_t count, std::size_t size, const Prepare& prepare, const Check& check,
                   const Send& send, const Finish& finish, const Put& put, const Settle& settle) {
    if (count == 0) {
        return;
    }
    size = std::max<std::size_t>(size, 1);
    std::size_t width = std::max<std::size_t>(size / 4, 1);
    std::size_t stop = 0;
    const auto prepareNext = [&] {
        const std::size_t start = stop;
        stop = start + std::min(width, count - start);
        width = std::min(size, width * 2);
        return prepare(start, stop);
    };
    auto current = prepareNext();
    decltype(current) previous, next;
    check(*current);
    if (stop < count) {
        next = prepareNext();
    }
    send(*current);
    while (current) {
        if (previous) {
            finish(*previous);
        }
        decltype(current) after;
        if (next) {
            check(*next);
            if (stop < count) {
                after = prepareNext();
            }
            send(*next);
        }
        put(*current);
        if (previous) {
            settle(*previous);
        }
        previous = std::move(current);
        current = std::move(next);
        next = std::move(after);
    }
    finish(*previous);
    settle(*previous);
}

// The syncs of many items' descriptors, begun together (FileSystem::startFsyncAll) while the
// caller goes on; take() waits for them and gives each item's results, in its order. The
// descriptors must stay open until then.
class SyncsTogether {
  public:
    SyncsTogether() = default;
    SyncsTogether(platform::FileSystem& fs, const std::vector<std::vector<int>>& fds) {
        std::vector<int> all;
        for (const std::vector<int>& own : fds) {
            all.insert(all.end(), own.begin(), own.end());
            sizes_.push_back(own.size());
        }
        if (!all.empty()) {
            pending_ = fs.startFsyncAll(all);
        }
        total_ = all.size();
    }
    std::vector<std::vector<int>> take() {
        std::vector<int> results = pending_ ? pending_->results() : std::vector<int>();
        pending_.reset();
        results.resize(total_, EIO);
        std::vector<std::vector<int>> out;
        auto next = results.begin();
        for (const std::size_t size : sizes_) {
            out.emplace_back(next, next + static_cast<std::ptrdiff_t>(size));
            next += static_cast<std::ptrdiff_t>(size);
        }
        return out;
    }

  private:
    std::vector<std::size_t> sizes_;
    std::size_t total_ = 0;
    std::unique_ptr<platform::PendingSyncs> pending_;
};

// Begins the syncs of the flush targets of many items together; each item's results come in its
// targets' order.
inline SyncsTogether startFlushes(platform::FileSystem& fs,
                                  const std::vector<std::vector<FlushTarget>>& flushes) {
    std::vector<std::vector<int>> fds(flushes.size());
    for (std::size_t i = 0; i < flushes.size(); ++i) {
        for (const FlushTarget& target : flushes[i]) {
            fds[i].push_back(target.fd);
        }
    }
    return SyncsTogether(fs, fds);
}

// Throws the first failed sync of one item's flush targets.
inline void requireFlushed(const std::vector<FlushTarget>& targets, const std::vector<int>& results) {
    for (std::size_t k = 0; k < targets.size(); ++k) {
        platform::throwIfFailed(results[k], targets[k].path);
    }
}

}  // namespace lumaro
