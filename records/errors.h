// The program's own errors. Every failure the program raises itself is a SkinError whose
// message is the user-visible sentence. Platform errors (platform::SystemError) and decoding
// errors keep their own descriptions and are never wrapped.
#pragma once

#include <stdexcept>
#include <string>

namespace lumaro {

class SkinError : public std::runtime_error {
  public:
    explicit SkinError(const std::string& message) : std::runtime_error(message) {}
    std::string message() const { return what(); }
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

// The user-visible description of any error the program meets.
inline std::string describe(const std::exception& error) {
    return error.what();
}

}  // namespace lumaro
