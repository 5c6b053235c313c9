// The wording of results: a report turned into the user's sentences, and the alert text.
#pragma once

#include <string>
#include <vector>

#include "app/operation.h"
#include "records/records.h"

namespace lumaro {

inline constexpr const char* kTitleFailed = "操作未完成";
inline constexpr const char* kTitleApplyPartial = "有些图标没能更换";
inline constexpr const char* kTitleRestorePartial = "有些图标没能还原";
inline constexpr const char* kTitleApplied = "图标已更换";
inline constexpr const char* kTitleRestored = "还原已完成";
inline constexpr const char* kNothingToApply = "没有找到可更换的图标。";
inline constexpr const char* kNothingToRetry = "没有找到可重试的还原记录。";
inline constexpr const char* kAlertButton = "好";

// The title of a finished operation's result: a clean run's, or, with `partial`, one that left
// some item undone.
const char* resultTitle(Operation operation, bool partial);
// What an operation says when it did nothing and has nothing else to say; null: nothing.
const char* nothingDone(Operation operation);

// Unmodifiable applications, missing items and applications to reopen folded into one
// sentence each, followed by every other error line unchanged.
std::vector<std::string> reportMessages(const OperationReport& report);

// The first three messages joined by empty lines, cut to 360 user-perceived characters with
// "…" appended only when longer.
std::string alertText(const std::vector<std::string>& messages);

// The lines joined by "\n\n", as "last-operation.txt" holds them.
std::string joinedLines(const std::vector<std::string>& lines);

}  // namespace lumaro
