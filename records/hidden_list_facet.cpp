// A folder's ".hidden", the list of names Linux file managers hide. The Mac form's "Icon\r" has
// no leading dot, so the skin adds it to the list; the file is handled like every key file
// (captured whole, exchanged into place and verified, owner and attributes kept).
#include <algorithm>

#include "records/desktop_form.h"
#include "records/json.h"
#include "records/json_members.h"

namespace lumaro {

namespace {

using json_members::json;

constexpr std::string_view kIconLine = "Icon\r";

bool listsIconFile(const Bytes& contents) {
    const std::string_view text(reinterpret_cast<const char*>(contents.data()), contents.size());
    for (std::size_t start = 0; start <= text.size();) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        if (text.substr(start, end - start) == kIconLine) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

bool captured(const IconState& state) {
    return state.get<HiddenList>().captured;
}

class HiddenListFacet final : public KeyFileFacetOf<HiddenList> {
  public:
    HiddenListFacet()
        : KeyFileFacetOf("hiddenFile", 61,
                         {"文件夹包含无法安全处理的 .hidden 文件", "无法读取文件夹的 .hidden 文件",
                          "无法写入文件夹的 .hidden 文件", "无法还原文件夹的 .hidden 文件"}) {}

    void capture(const platform::ItemHandle& item, const IconContext& context,
                 IconState& state) const override {
        KeyFileFacet::capture(item, context, state);
        if (fileName(item.isDirectory(), context) != nullptr) {
            editDesktopForm<HiddenList>(state).captured = true;
        }
    }

    // A record without the form says nothing about the file.
    bool matches(const IconState& current, const IconState& expected) const override {
        return !captured(expected) || fileOf(current) == fileOf(expected);
    }

    bool matchesEither(const IconState& current, const IconState& a, const IconState& b) const override {
        if (!captured(a) && !captured(b)) {
            return true;
        }
        return (captured(a) && fileOf(current) == fileOf(a)) || (captured(b) && fileOf(current) == fileOf(b));
    }

    void restore(const platform::ItemHandle& item, const IconContext& context, const BackupEntry& entry,
                 const IconState& current) const override {
        if (captured(entry.original)) {
            KeyFileFacet::restore(item, context, entry, current);
        }
    }

    bool showsNewIcon(const IconState& after, bool isDirectory, const IconContext& context) const override {
        const auto& file = fileOf(after);
        return fileName(isDirectory, context) == nullptr || (file && listsIconFile(file->contents));
    }

    void predict(const IconState& original, bool isDirectory, const IconContext& context,
                 IconState& predicted) const override {
        if (captured(original)) {
            KeyFileFacet::predict(original, isDirectory, context, predicted);
            editDesktopForm<HiddenList>(predicted).captured = true;
        }
    }

    // {"hiddenList": {}} for a folder without the file, {"hiddenList": {"file": {...}}} with it.
    void encode(const IconState& state, json& object) const override {
        if (!captured(state)) {
            return;
        }
        json list = json::object();
        if (const auto& file = fileOf(state)) {
            list["file"] = {{"contents", encodeBase64(file->contents)}, {"mode", file->mode}};
        }
        desktopObject(object)["hiddenList"] = std::move(list);
    }

    void decode(const json& object, const std::string& parent, IconState& state) const override {
        using namespace json_members;
        std::string path;
        const json* list = desktopMember(object, parent, "hiddenList", state, path);
        if (list == nullptr) {
            return;
        }
        editDesktopForm<HiddenList>(state).captured = true;
        if (const json* value = optionalMember(*list, "file")) {
            const std::string at = path + ".file";
            requireObject(*value, at);
            DirectoryFile file;
            file.contents = readBytes(require(*value, at, "contents"), at + ".contents");
            file.mode = readInteger<std::uint16_t>(require(*value, at, "mode"), at + ".mode");
            fileOf(state) = std::move(file);
        }
    }

    std::uint64_t hash(const IconState& state, std::uint64_t h) const override {
        return captured(state) ? KeyFileFacet::hash(state, h) : h * 67;
    }

  protected:
    const std::string* fileName(bool isDirectory, const IconContext&) const override {
        static const std::string kName = ".hidden";
        return isDirectory ? &kName : nullptr;
    }

    // The line is added once, after the others; a file that lists it already stays as it is.
    DirectoryFile skinnedFile(const std::optional<DirectoryFile>& original,
                              const IconContext&) const override {
        DirectoryFile file = original.value_or(DirectoryFile{{}, 0644});
        if (!listsIconFile(file.contents)) {
            if (!file.contents.empty() && file.contents.back() != '\n') {
                file.contents.push_back('\n');
            }
            file.contents.insert(file.contents.end(), kIconLine.begin(), kIconLine.end());
            file.contents.push_back('\n');
        }
        return file;
    }
};

}  // namespace

const IconFacet& hiddenListFacet() {
    static const HiddenListFacet facet;
    return facet;
}

}  // namespace lumaro
