// One count of items across every folder engine of a batch operation, so that a front end shows
// a single advance for the whole batch rather than one per engine.
#pragma once

#include <cstddef>
#include <optional>

#include "engine/icon_engine.h"

namespace lumaro {

class BatchProgress {
  public:
    // `handler` is told (items passed so far, items in the batch, name); empty: nothing is counted.
    explicit BatchProgress(const ProgressHandler& handler) : handler_(handler) {}
    BatchProgress(const BatchProgress&) = delete;
    BatchProgress& operator=(const BatchProgress&) = delete;

    // Items of engines still to run whose number is known now.
    void reserve(std::size_t items) { total_ += items; }
    // The handler for the next engine. With `reserved`, its items were counted by reserve();
    // without, each run it reports (positions starting again) adds its own total when it starts.
    ProgressHandler engine(std::optional<std::size_t> reserved);
    // After that engine: reserved items it never reported (gone meanwhile) count as passed.
    void engineDone();

  private:
    const ProgressHandler& handler_;
    std::size_t done_ = 0;
    std::size_t total_ = 0;
    std::optional<std::size_t> reserved_;
    std::size_t seen_ = 0;       // items the current engine reported
    std::size_t lastIndex_ = 0;  // the current run's last position
};

}  // namespace lumaro
