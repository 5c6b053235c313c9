// The forms kept in one small file beside an item's names. The record holds the file whole; a
// skin and a restore change it only through platform/child_file.h, which never writes over or
// deletes what another program saved meanwhile.
#include <algorithm>
#include <cerrno>
#include <memory>

#include "platform/key_file.h"
#include "records/desktop_form.h"
#include "records/errors.h"
#include "records/json.h"
#include "records/json_members.h"

namespace lumaro {

using json_members::json;

void KeyFileFacet::capture(const platform::ItemHandle& item, const IconContext& context,
                           IconState& state) const {
    const std::string* name = fileName(item.isDirectory(), context);
    if (name == nullptr) {
        return;
    }
    DirectoryFile file;
    const int err = platform::readChild(item, *name, platform::kMaxValueSize, file);
    if (err == ENOENT) {
        fileOf(state) = std::nullopt;
        return;
    }
    if (err != 0) {
        throw SkinError(err == ELOOP || err == EINVAL || err == EFBIG ? texts_.unsafe : texts_.unreadable);
    }
    fileOf(state) = std::move(file);
}

void KeyFileFacet::fail(int err, bool restoring) const {
    switch (err) {
        case ESTALE:
            throw SkinError(restoring ? kChangedSinceSkin : kChangedSinceBackup);
        case ENOTSUP:
            throw SkinError(restoring ? "所在文件系统无法安全替换文件，已保留备份"
                                      : "所在文件系统无法安全替换文件，已跳过");
        case EPERM:
            throw SkinError(restoring ? "无法保留文件的所有者、权限或扩展属性，已保留备份"
                                      : "无法保留文件的所有者、权限或扩展属性，已跳过");
        default:
            throw SkinError(restoring ? texts_.unrestorable : texts_.unwritable);
    }
}

void KeyFileFacet::restore(const platform::ItemHandle& item, const IconContext& context,
                           const BackupEntry& entry, const IconState& current) const {
    const std::string* name = fileName(item.isDirectory(), context);
    const auto& now = fileOf(current);
    const auto& original = fileOf(entry.original);
    if (name == nullptr || !desktopRecorded(entry.original) || now == original) {
        return;
    }
    const int err = original ? platform::replaceChild(item, *name, now, *original, platform::kMaxValueSize)
                    : now    ? platform::removeChild(item, *name, *now, platform::kMaxValueSize)
                             : 0;
    if (err != 0) {
        fail(err, true);
    }
}

struct KeyFileFacet::StagedFile final : Staging::Part {
    explicit StagedFile(const KeyFileFacet& owner) : facet(owner) {}
    int fd() const override { return child.fd(); }
    void synced(int err) override {
        if (err != 0) {
            facet.fail(err, false);
        }
        durable = true;
    }

    const KeyFileFacet& facet;
    platform::StagedChild child;
    bool durable = false;
};

void KeyFileFacet::stage(const platform::ItemHandle& item, const IconContext& context,
                         const IconState& original, Staging& staging) const {
    const std::string* name = fileName(item.isDirectory(), context);
    if (name == nullptr) {
        return;
    }
    const auto& recorded = fileOf(original);
    const DirectoryFile skinned = skinnedFile(recorded, context);
    if (recorded == skinned) {
        return;  // already as the skin leaves it: nothing is written
    }
    auto staged = std::make_unique<StagedFile>(*this);
    const int err =
        platform::stageChild(item, *name, recorded, skinned, platform::kMaxValueSize, staged->child);
    if (err != 0) {
        fail(err, false);
    }
    staging.add(*this, std::move(staged));
}

void KeyFileFacet::skin(const platform::ItemHandle& item, const IconContext& context,
                        const IconState& original) const {
    const std::string* name = fileName(item.isDirectory(), context);
    if (name == nullptr) {
        return;
    }
    // The file as recorded is the one replaced: whatever another program saved since is kept.
    const auto& recorded = fileOf(original);
    int err = 0;
    if (auto part = context.staging != nullptr ? context.staging->take(*this) : nullptr) {
        // Never put in place before it is durable.
        auto& staged = static_cast<StagedFile&>(*part);
        err = staged.durable ? 0 : item.fs().fsync(staged.child.fd());
        err = err != 0 ? err : platform::commitChild(staged.child);
    } else if (const DirectoryFile skinned = skinnedFile(recorded, context); recorded != skinned) {
        err = platform::replaceChild(item, *name, recorded, skinned, platform::kMaxValueSize);
    } else {
        // Nothing to write, but the file must still be the one recorded, as an exchange would find.
        DirectoryFile now;
        err = platform::readChild(item, *name, platform::kMaxValueSize, now);
        err = err == 0                                                         ? (now == skinned ? 0 : ESTALE)
              : err == ENOENT || err == ELOOP || err == EINVAL || err == EFBIG ? ESTALE
                                                                               : err;
    }
    if (err != 0) {
        fail(err, false);
    }
}

void KeyFileFacet::tidy(const platform::ItemHandle& item, const IconContext& context,
                        const BackupEntry& entry, platform::FolderNames& names) const {
    const std::string* name = fileName(item.isDirectory(), context);
    if (name == nullptr) {
        return;
    }
    // A new file is made with mode 0600 and stopped at any point of its writing; a file swapped
    // out is whole. Another program's save swapped out with it is neither, and stays.
    const auto known = [&](const DirectoryFile& left) {
        for (const auto* state : {&entry.original, &entry.applied}) {
            const auto& file = fileOf(*state);
            if (file && (left == *file ||
                         (left.mode == 0600 && left.contents.size() <= file->contents.size() &&
                          std::equal(left.contents.begin(), left.contents.end(), file->contents.begin())))) {
                return true;
            }
        }
        return false;
    };
    platform::removeLeftovers(item, *name, platform::kMaxValueSize, known, names);
}

bool KeyFileFacet::showsNewIcon(const IconState& after, bool isDirectory, const IconContext& context) const {
    if (fileName(isDirectory, context) == nullptr) {
        return true;
    }
    const auto& file = fileOf(after);
    if (!file) {
        return false;
    }
    const auto parsed = platform::KeyFile::parse(
        std::string_view(reinterpret_cast<const char*>(file->contents.data()), file->contents.size()));
    return parsed && parsed->value("Desktop Entry", "Icon") == context.iconFile;
}

void KeyFileFacet::predict(const IconState& original, bool isDirectory, const IconContext& context,
                           IconState& predicted) const {
    if (fileName(isDirectory, context) != nullptr && desktopRecorded(original)) {
        fileOf(predicted) = skinnedFile(fileOf(original), context);
    }
}

std::optional<DirectoryFile>& KeyFileFacet::fileOf(IconState& state) const {
    recordDesktopForms(state);
    return fileIn(state);
}

bool KeyFileFacet::matches(const IconState& current, const IconState& expected) const {
    return !desktopRecorded(expected) || fileOf(current) == fileOf(expected);
}

bool KeyFileFacet::matchesEither(const IconState& current, const IconState& a, const IconState& b) const {
    const bool inA = desktopRecorded(a), inB = desktopRecorded(b);
    if (!inA && !inB) {
        return true;
    }
    return (inA && fileOf(current) == fileOf(a)) || (inB && fileOf(current) == fileOf(b));
}

void KeyFileFacet::encode(const IconState& state, json& object) const {
    if (!desktopRecorded(state)) {
        return;
    }
    json& desktop = desktopObject(object);
    if (const auto& file = fileOf(state)) {
        desktop[jsonName_] = {{"contents", encodeBase64(file->contents)}, {"mode", file->mode}};
    }
}

void KeyFileFacet::decode(const json& object, const std::string& parent, IconState& state) const {
    using namespace json_members;
    std::string path;
    const json* value = desktopMember(object, parent, jsonName_, state, path);
    if (value == nullptr) {
        return;
    }
    DirectoryFile file;
    file.contents = readBytes(require(*value, path, "contents"), path + ".contents");
    file.mode = readInteger<std::uint16_t>(require(*value, path, "mode"), path + ".mode");
    fileOf(state) = std::move(file);
}

bool KeyFileFacet::withinBounds(const IconState& state) const {
    const auto& file = fileOf(state);
    return !file || (file->contents.size() <= platform::kMaxValueSize && file->mode <= 0777);
}

std::uint64_t KeyFileFacet::hash(const IconState& state, std::uint64_t h) const {
    const auto& file = fileOf(state);
    return file ? mixHash(h, file->contents) ^ file->mode : h * absentFactor_;
}

}  // namespace lumaro
