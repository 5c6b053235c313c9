// How the apply and the restore group their durable work.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "records/records.h"

namespace lumaro {

// An apply's batch holds as many items as the manifest already has entries, at least two: each
// doubling of the manifest costs two saves, so the bytes written stay a small multiple of the final
// file (about four times) however many items there are, and a kill leaves at most the last batch
// "prepared". The bound keeps a batch's memory and the work a kill leaves small; it makes a run
// past it save once more per further thousand items (at 5,000 items about six times the final
// file is written in all).
inline constexpr std::size_t kMinBatch = 2;
inline constexpr std::size_t kMaxBatch = 1024;

inline std::size_t applyBatchSize(std::size_t saved) {
    return std::clamp(saved, kMinBatch, kMaxBatch);
}

// A restore's batch grows with the entries already finished, like an apply's, and takes at least a
// quarter of those left: each batch saves the manifest twice, and the manifest shrinks by a quarter
// at least from batch to batch, so all saves together write at most about eight times its size
// (below the bound), and a small restore runs in few batches, each of which waits on the store.
inline std::size_t restoreBatchSize(std::size_t finished, std::size_t left) {
    return std::clamp(std::max(finished, left / 4), kMinBatch, kMaxBatch);
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
