#include "batch/batch_progress.h"

#include <algorithm>

namespace lumaro {

ProgressHandler BatchProgress::engine(std::optional<std::size_t> reserved) {
    reserved_ = reserved;
    seen_ = 0;
    lastIndex_ = 0;
    if (!handler_) {
        return {};
    }
    return [this](std::size_t index, std::size_t total, const std::string& name) {
        // A run of unplanned size starts: the engine's first report, or positions starting again.
        if (!reserved_ && (seen_ == 0 || index <= lastIndex_)) {
            total_ += total;
        }
        lastIndex_ = index;
        ++seen_;
        if (reserved_ && seen_ > *reserved_) {
            total_ += 1;  // more than planned: the total grows rather than the count passing it
        }
        done_ = std::min(done_ + 1, total_);
        handler_(done_, total_, name);
    };
}

void BatchProgress::engineDone() {
    if (reserved_ && seen_ < *reserved_) {
        done_ = std::min(done_ + (*reserved_ - seen_), total_);
    }
    reserved_.reset();
    seen_ = 0;
    lastIndex_ = 0;
}

}  // namespace lumaro
