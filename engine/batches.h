// How the apply and the restore group their durable work.
#pragma once

#include <algorithm>
#include <cstddef>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "records/records.h"

namespace lumaro {

// Told about each item an operation is done with (how many so far, the number of items, its name).
// It only observes: it never changes an operation's results.
using ProgressHandler = std::function<void(std::size_t done, std::size_t total, const std::string& name)>;

// A run's count of the items it is done with, each counted once: an item passed over or refused
// when it is reached, an item taken into a batch when its group's work is flushed or the batch
// gives it up. A batch takes its items in well before it writes them.
class ItemCount {
  public:
    ItemCount() = default;
    ItemCount(const ProgressHandler* handler, std::size_t total) : handler_(handler), total_(total) {}
    // An item the run is told to leave out: counted, not told (a handler that plans its count from
    // the items it is given sees only those).
    void pass() { ++done_; }
    void done(const std::string& name) {
        ++done_;
        if (handler_ != nullptr && *handler_) {
            (*handler_)(done_, total_, name);
        }
    }
    // done() for an item whose `counted` flag is still clear, which it then sets.
    void doneOnce(bool& counted, const std::string& name) {
        if (!counted) {
            counted = true;
            done(name);
        }
    }

  private:
    const ProgressHandler* handler_ = nullptr;
    std::size_t total_ = 0;
    std::size_t done_ = 0;
};

// A batch of an apply or a restore takes every item left, up to `limit` (kMaxBatch unless a test
// sets less), at least two. It saves the manifest twice ("prepared", then "applied"; "restoring",
// then without its entries), so a run below the bound writes about twice the final manifest in all,
// and one past it twice what the manifest holds at each further batch (at 5,000 items about six
// times the final file); a kill leaves at most that one batch "prepared" or "restoring". The bound
// keeps a batch's memory and the work a kill leaves small. A batch of more items than a group runs
// as overlapping groups, which keep the store answering while the next items are checked: an apply
// of 100 items takes about a third less time in one batch than in batches growing from two, each a
// group of its own, and a restore somewhat less.
inline constexpr std::size_t kMinBatch = 2;
inline constexpr std::size_t kMaxBatch = 1024;

inline std::size_t batchSize(std::size_t left, std::size_t limit = kMaxBatch) {
    return std::clamp(left, kMinBatch, std::max(limit, kMinBatch));
}

// Failures of one batch by their place in the run, reported in that order.
using Failures = std::vector<std::pair<std::size_t, ItemError>>;

inline void reportFailures(Failures& failures, OperationReport& report) {
    std::stable_sort(failures.begin(), failures.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& failure : failures) {
        report.errors.push_back(std::move(failure.second));
    }
    failures.clear();
}

}  // namespace lumaro
