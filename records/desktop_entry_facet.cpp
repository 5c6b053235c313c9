// A desktop entry's icon: the user's own copy of the entry in their applications folder, which
// overrides the installed one. The item is that folder; the copy is its child named by the ID.
#include "platform/key_file.h"
#include "records/desktop_form.h"
#include "records/errors.h"
#include "records/identity.h"
#include "records/json.h"

namespace lumaro {

namespace {

constexpr const char* kUnsafeCopy = "应用的启动项不是普通文件，已跳过";
constexpr const char* kUnreadableCopy = "无法读取应用的启动项";
constexpr const char* kUnwritableCopy = "无法写入应用的启动项";
constexpr const char* kMalformedEntry = "应用的启动项格式无效，已跳过";
constexpr std::uint16_t kCreatedMode = 0644;

std::string_view textOf(const Bytes& bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

class DesktopEntryFacet final : public KeyFileFacetOf<EntryCopy> {
  public:
    DesktopEntryFacet()
        : KeyFileFacetOf("entryFile", 59, {kUnsafeCopy, kUnreadableCopy, kUnwritableCopy, kUnwritableCopy}) {}

  protected:
    const std::string* fileName(bool, const IconContext& context) const override {
        return context.kind == ItemKind::desktopEntry ? context.entryId : nullptr;
    }

    // The user's own copy with only the icon keys changed, else a new one made from the
    // installed entry.
    DirectoryFile skinnedFile(const std::optional<DirectoryFile>& copy,
                              const IconContext& context) const override {
        if (!copy && context.entrySource == nullptr) {
            throw SkinError(kUnreadableCopy);
        }
        const auto skinned = platform::skinnedDesktopEntry(
            textOf(copy ? copy->contents : *context.entrySource), context.iconFile);
        if (!skinned) {
            throw SkinError(kMalformedEntry);
        }
        return {Bytes(skinned->begin(), skinned->end()), copy ? copy->mode : kCreatedMode};
    }
};

}  // namespace

const IconFacet& desktopEntryFacet() {
    static const DesktopEntryFacet facet;
    return facet;
}

std::string desktopEntryDisplayName(const BackupEntry& entry) {
    for (const IconState* state : {&entry.applied, &entry.original}) {
        if (const auto& copy = state->get<EntryCopy>().file) {
            if (const auto parsed = platform::KeyFile::parse(textOf(copy->contents))) {
                if (auto name = parsed->localizedValue("Desktop Entry", "Name", platform::messageLocale())) {
                    return *name;
                }
            }
        }
    }
    const std::string& id = entry.name;
    return id.ends_with(".desktop") ? id.substr(0, id.size() - 8) : id;
}

}  // namespace lumaro
