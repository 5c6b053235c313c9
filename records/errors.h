// The program's own errors. Every failure the program raises itself is a SkinError whose
// message is the user-visible sentence. Platform errors (platform::SystemError) and decoding
// errors keep their own descriptions and are never wrapped.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace lumaro {

// What an error of a report is about, so that its wording can group errors without reading them.
enum class ErrorKind : std::uint8_t {
    item,               // one item's error, shown as its name, the full-width colon, then the text
    noWritePermission,  // an application the program may not change: the report names these together
    operation,          // no one item's (a record, a backup folder): shown as the text alone
};

class SkinError : public std::runtime_error {
  public:
    explicit SkinError(const std::string& message, ErrorKind kind = ErrorKind::item)
        : std::runtime_error(message), kind_(kind) {}
    std::string message() const { return what(); }
    ErrorKind kind() const noexcept { return kind_; }

  private:
    ErrorKind kind_;
};

// A stored document that is not JSON or breaks a reading rule. `detail` names the member.
class DecodingError : public std::runtime_error {
  public:
    explicit DecodingError(const std::string& detail);
    // A document that is not JSON at all; `parserDetail` is the parser's own account.
    static DecodingError notJson(const std::string& parserDetail);
    const std::string& detail() const noexcept { return detail_; }

  private:
    DecodingError(const std::string& message, const std::string& detail);
    std::string detail_;
};

// An item changed after its record was saved, before the skin touched it.
inline constexpr const char* kChangedSinceBackup = "备份后项目发生变化，已停止修改";
// An item's icon holds, in some form, what neither its record nor the skin left.
inline constexpr const char* kChangedSinceSkin = "图标或资源数据在换肤后被修改，已跳过并保留备份";

// An application the program may not change, reported as ErrorKind::noWritePermission.
inline constexpr const char* kNoWritePermission = "应用没有写入权限，已跳过";

// The user-visible description of any error the program meets.
inline std::string describe(const std::exception& error) {
    return error.what();
}

// The kind of an item's error: the program's own say what they are; every other is the item's.
inline ErrorKind kindOf(const std::exception& error) {
    const auto* own = dynamic_cast<const SkinError*>(&error);
    return own != nullptr ? own->kind() : ErrorKind::item;
}

}  // namespace lumaro
