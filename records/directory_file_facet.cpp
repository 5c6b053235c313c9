// A folder's ".directory", the settings file KDE-family file managers draw a folder's icon from.
#include "platform/key_file.h"
#include "records/desktop_form.h"
#include "records/errors.h"

namespace lumaro {

namespace {

class DirectoryFileFacet final : public KeyFileFacetOf<DirectoryFileForm> {
  public:
    DirectoryFileFacet()
        : KeyFileFacetOf("directoryFile", 53,
                         {"文件夹包含无法安全处理的 .directory 文件", "无法读取文件夹的 .directory 文件",
                          "无法写入文件夹的 .directory 文件", "无法还原文件夹的 .directory 文件"}) {}

  protected:
    const std::string* fileName(bool isDirectory, const IconContext&) const override {
        static const std::string kName = kDirectoryFileName;
        return isDirectory ? &kName : nullptr;
    }

    DirectoryFile skinnedFile(const std::optional<DirectoryFile>& original,
                              const IconContext& context) const override {
        const Bytes empty;
        const Bytes& contents = original ? original->contents : empty;
        const auto skinned = platform::skinnedDirectoryFile(
            std::string_view(reinterpret_cast<const char*>(contents.data()), contents.size()),
            context.iconFile);
        if (!skinned) {
            throw SkinError("文件夹的 .directory 文件格式无效");
        }
        return {Bytes(skinned->begin(), skinned->end()), original ? original->mode : std::uint16_t{0644}};
    }
};

}  // namespace

const IconFacet& directoryFileFacet() {
    static const DirectoryFileFacet facet;
    return facet;
}

}  // namespace lumaro
