// A desktop entry's icon: the user's own copy of the entry in their applications folder, which
// overrides the installed one. The item is that folder; the copy is its child named by the ID,
// read through the folder's descriptor and replaced by an atomic rename inside it.
#include <fcntl.h>

#include <cerrno>

#include "platform/file_ops.h"
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

const std::optional<DirectoryFile>& copyOf(const IconState& state) {
    static const std::optional<DirectoryFile> kNone;
    return state.desktop ? state.desktop->entryFile : kNone;
}

std::string_view textOf(const Bytes& bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// Ours alone: no launcher reads a name that does not end in ".desktop".
std::string temporaryName(const std::string& id) {
    return "." + id + ".lumaro-new";
}

std::optional<DirectoryFile> readCopy(const platform::ItemHandle& folder, const std::string& id) {
    return readChildKeyFile(folder, id, kUnsafeCopy, kUnreadableCopy);
}

// The copy the skin leaves: the user's own with only the icon keys changed, else a new one made
// from the installed entry.
DirectoryFile skinnedCopy(const std::optional<DirectoryFile>& copy, const IconContext& context) {
    if (!copy && context.entrySource == nullptr) {
        throw SkinError(kUnreadableCopy);
    }
    const auto skinned = platform::skinnedDesktopEntry(textOf(copy ? copy->contents : *context.entrySource),
                                                       context.iconFile);
    if (!skinned) {
        throw SkinError(kMalformedEntry);
    }
    return DirectoryFile{Bytes(skinned->begin(), skinned->end()), copy ? copy->mode : kCreatedMode};
}

class DesktopEntryFacet final : public KeyFileFacet {
  public:
    DesktopEntryFacet() : KeyFileFacet(&DesktopIcon::entryFile, "entryFile", 59) {}

    void capture(const platform::ItemHandle& item, const IconContext& context, IconState& state) const override {
        if (context.entryId != nullptr) {
            fileOf(state) = readCopy(item, *context.entryId);
        }
    }

    void restore(const platform::ItemHandle& item, const IconContext& context, const BackupEntry& entry,
                 const IconState& current) const override {
        if (context.entryId == nullptr || fileOf(current) == fileOf(entry.original)) {
            return;
        }
        const std::string& id = *context.entryId;
        if (const auto& original = fileOf(entry.original)) {
            writeChildAtomically(item, id, temporaryName(id), original->contents, original->mode, kUnwritableCopy);
        } else if (const int err = item.unlinkChild(id); err != 0 && err != ENOENT) {
            throw SkinError(kUnwritableCopy);
        }
    }

    void skin(const platform::ItemHandle& item, const IconContext& context) const override {
        if (context.entryId == nullptr) {
            return;
        }
        const std::string& id = *context.entryId;
        const DirectoryFile skinned = skinnedCopy(readCopy(item, id), context);
        writeChildAtomically(item, id, temporaryName(id), skinned.contents, skinned.mode, kUnwritableCopy);
    }

    bool showsNewIcon(const IconState& after, const IconContext& context) const override {
        if (context.entryId == nullptr) {
            return true;
        }
        const auto& copy = fileOf(after);
        if (!copy) {
            return false;
        }
        const auto parsed = platform::KeyFile::parse(textOf(copy->contents));
        return parsed && parsed->value("Desktop Entry", "Icon") == context.iconFile;
    }

    // The rename was made durable by the folder's own flush; what remains is a temporary file
    // that a stopped write left.
    void flush(const platform::ItemHandle& item, const IconContext& context) const override {
        if (context.entryId != nullptr) {
            if (const int err = item.unlinkChild(temporaryName(*context.entryId)); err != 0 && err != ENOENT) {
                throw SkinError(kUnwritableCopy);
            }
        }
    }

    bool computesPrediction() const override { return true; }

    void predict(const IconState& original, bool, const IconContext& context, IconState& predicted) const override {
        if (context.entryId != nullptr) {
            fileOf(predicted) = skinnedCopy(fileOf(original), context);
        }
    }
};

}  // namespace

const IconFacet& desktopEntryFacet() {
    static const DesktopEntryFacet facet;
    return facet;
}

std::string desktopEntryDisplayName(const BackupEntry& entry) {
    for (const IconState* state : {&entry.applied, &entry.original}) {
        if (const auto& copy = copyOf(*state)) {
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
