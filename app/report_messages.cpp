#include "app/report_messages.h"

#include <QString>
#include <QTextBoundaryFinder>
#include <algorithm>

namespace lumaro {

namespace {

constexpr std::string_view kNameSeparator = "、";

std::string withoutAppExtension(const std::string& name) {
    return name.ends_with(".app") ? name.substr(0, name.size() - 4) : name;
}

std::string joinNames(const std::vector<std::string>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            text += kNameSeparator;
        }
        text += names[i];
    }
    return text;
}

}  // namespace

const char* resultTitle(Operation operation, bool partial) {
    if (restores(operation)) {
        return partial ? kTitleRestorePartial : kTitleRestored;
    }
    return partial ? kTitleApplyPartial : kTitleApplied;
}

const char* nothingDone(Operation operation) {
    switch (operation) {
        case Operation::apply:
            return kNothingToApply;
        case Operation::retry:
            return kNothingToRetry;
        case Operation::restore:
        case Operation::setAside:
            return nullptr;
    }
    return nullptr;
}

std::vector<std::string> reportMessages(const OperationReport& report) {
    std::vector<std::string> unmodifiable;
    std::vector<std::string> others;
    for (const ItemError& error : report.errors) {
        if (error.kind == ErrorKind::noWritePermission) {
            const std::string name = withoutAppExtension(error.name);
            if (std::find(unmodifiable.begin(), unmodifiable.end(), name) == unmodifiable.end()) {
                unmodifiable.push_back(name);
            }
        } else {
            others.push_back(error.line());
        }
    }
    std::vector<std::string> result;
    if (!unmodifiable.empty()) {
        result.push_back(joinNames(unmodifiable) + "没有修改权限，已跳过。");
    }
    if (!report.missingItems.empty()) {
        std::vector<std::string> names;
        for (const std::string& name : report.missingItems) {
            names.push_back(withoutAppExtension(name));
        }
        result.push_back(joinNames(names) + "已不存在，已跳过，不影响其他图标还原。");
    }
    if (!report.setAsideItems.empty()) {
        std::vector<std::string> names;
        for (const std::string& name : report.setAsideItems) {
            names.push_back(withoutAppExtension(name));
        }
        result.push_back(joinNames(names) + "已搁置。它们的备份已保留，可以稍后重试还原，现在可以重新换肤。");
    }
    if (!report.relaunchApplications.empty()) {
        result.push_back(joinNames(report.relaunchApplications) +
                         " 的图标如果没变化，可以退出后重新打开试试。");
    }
    result.insert(result.end(), others.begin(), others.end());
    return result;
}

std::string joinedLines(const std::vector<std::string>& lines) {
    std::string text;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i > 0) {
            text += "\n\n";
        }
        text += lines[i];
    }
    return text;
}

std::string alertText(const std::vector<std::string>& messages) {
    constexpr int kLimit = 360;
    const std::vector<std::string> shown(
        messages.begin(),
        messages.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(3, messages.size())));
    const QString text = QString::fromStdString(joinedLines(shown));
    QTextBoundaryFinder graphemes(QTextBoundaryFinder::Grapheme, text);
    int count = 0;
    qsizetype cut = -1;
    while (graphemes.toNextBoundary() >= 0) {
        if (++count == kLimit) {
            cut = graphemes.position();
            break;
        }
    }
    if (cut < 0 || cut >= text.size()) {
        return text.toStdString();
    }
    return text.left(cut).toStdString() + "…";
}

}  // namespace lumaro
