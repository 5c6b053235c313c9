#include "records/records.h"

#include <algorithm>
#include <chrono>
#include <iterator>

#include "records/errors.h"

namespace lumaro {

namespace {
// 2001-01-01 00:00:00 UTC in seconds since the Unix epoch.
constexpr double kReferenceEpoch = 978307200.0;
}  // namespace

bool operator==(const IconState& a, const IconState& b) {
    for (const IconState::Slot& slot : a.parts_) {
        const IconState::Slot* other = b.slotOf(slot.kind);
        if (other == nullptr
                ? !slot.kind->empty(slot.value.get())
                : other->value != slot.value && !slot.kind->equal(slot.value.get(), other->value.get())) {
            return false;
        }
    }
    for (const IconState::Slot& slot : b.parts_) {
        if (a.slotOf(slot.kind) == nullptr && !slot.kind->empty(slot.value.get())) {
            return false;
        }
    }
    return true;
}

void IconState::PartPool::share(IconState& state) {
    for (Slot& slot : state.parts_) {
        auto it = std::find_if(kept_.rbegin(), kept_.rend(), [&](const Slot& kept) {
            return kept.kind == slot.kind &&
                   (kept.value == slot.value || kept.kind->equal(kept.value.get(), slot.value.get()));
        });
        if (it != kept_.rend()) {
            slot.value = it->value;
            std::rotate(std::prev(it.base()), it.base(), kept_.end());
            continue;
        }
        if (kept_.size() == kKept) {
            kept_.erase(kept_.begin());
        }
        kept_.push_back(slot);
    }
}

ReferenceTime currentReferenceTime() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration<double>(now).count() - kReferenceEpoch;
}

void OperationReport::merge(const OperationReport& other) {
    succeeded += other.succeeded;
    skipped += other.skipped;
    remaining += other.remaining;
    errors.insert(errors.end(), other.errors.begin(), other.errors.end());
    relaunchApplications.insert(relaunchApplications.end(), other.relaunchApplications.begin(),
                                other.relaunchApplications.end());
    missingItems.insert(missingItems.end(), other.missingItems.begin(), other.missingItems.end());
    setAsideItems.insert(setAsideItems.end(), other.setAsideItems.begin(), other.setAsideItems.end());
    desktopMetadataUnavailable = desktopMetadataUnavailable || other.desktopMetadataUnavailable;
}

std::string errorLine(const std::string& name, const std::string& description) {
    return name + "：" + description;
}

std::string ItemError::line() const {
    return kind == ErrorKind::operation ? text : errorLine(name, text);
}

ItemError itemError(const std::string& name, const std::exception& error) {
    return {name, kindOf(error), describe(error)};
}

ItemError operationError(const std::string& text) {
    return {{}, ErrorKind::operation, text};
}

std::vector<std::string> errorLines(const std::vector<ItemError>& errors) {
    std::vector<std::string> lines;
    lines.reserve(errors.size());
    for (const ItemError& error : errors) {
        lines.push_back(error.line());
    }
    return lines;
}

DecodingError::DecodingError(const std::string& detail)
    : DecodingError("备份数据无法解析（" + detail + "）", detail) {}

DecodingError::DecodingError(const std::string& message, const std::string& detail)
    : std::runtime_error(message), detail_(detail) {}

DecodingError DecodingError::notJson(const std::string& parserDetail) {
    return DecodingError("备份文件不是有效的 JSON：" + parserDetail, parserDetail);
}

}  // namespace lumaro
