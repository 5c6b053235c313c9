// The desktop metadata store's two keys of an item's path. The store is keyed by path, so every
// call names the path of an item the caller holds open and checked; the engine checks again,
// after the flush, that the item is still there.
#include <cerrno>

#include "platform/text.h"
#include "records/desktop_form.h"
#include "records/errors.h"
#include "records/json.h"
#include "records/json_members.h"

namespace lumaro {

namespace {

using json_members::json;
using platform::IconMetadata;

const std::optional<IconMetadata>& metadataOf(const IconState& state) {
    return state.get<MetadataKeys>().keys;
}

bool keyIsEither(const std::optional<std::string>& key, const std::optional<std::string>& a,
                 const std::optional<std::string>& b) {
    return key == a || key == b;
}

class DesktopMetadataFacet final : public IconFacet {
  public:
    void capture(const platform::ItemHandle& item, const IconContext& context,
                 IconState& state) const override {
        if (context.metadata == nullptr) {
            return;
        }
        IconMetadata keys;
        if (const int err = context.metadata->read(item.path(), keys); err != 0) {
            throwMetadataError(err, "无法读取桌面元数据");
        }
        // The records hold text; a value that is no UTF-8 could not be kept exactly.
        for (const auto* key : {&keys.customIcon, &keys.customIconName}) {
            if (*key && !platform::isValidUtf8(**key)) {
                throwMetadataError(EINVAL, "");
            }
        }
        editDesktopForm<MetadataKeys>(state).keys = std::move(keys);
    }

    bool matches(const IconState& current, const IconState& expected) const override {
        const auto& want = metadataOf(expected);
        return !want || metadataOf(current) == want;
    }

    bool matchesEither(const IconState& current, const IconState& a, const IconState& b) const override {
        const auto& ma = metadataOf(a);
        const auto& mb = metadataOf(b);
        if (!ma && !mb) {
            return true;
        }
        const auto& c = metadataOf(current);
        if (!c || !ma || !mb) {
            return c && (c == ma || c == mb);
        }
        // The two keys may reach the store one at a time.
        return keyIsEither(c->customIcon, ma->customIcon, mb->customIcon) &&
               keyIsEither(c->customIconName, ma->customIconName, mb->customIconName);
    }

    bool decidesAlone() const override { return true; }

    FormCheck check(const IconState& current, const BackupEntry& entry) const override {
        if (!metadataOf(current)) {
            return FormCheck::original;  // not seen here; requireRestorable keeps the entry
        }
        FormCheck found = IconFacet::check(current, entry);
        if (found == FormCheck::changed && entry.phase == kPhaseClearing && metadataOf(entry.applied)) {
            // Our key may already have been taken off the path.
            IconMetadata cleared = *metadataOf(entry.applied);
            cleared.customIcon.reset();
            found = metadataOf(current) == cleared ? FormCheck::skinned : found;
        }
        return found;
    }

    bool keepsByPath(const BackupEntry& entry, const IconContext& context) const override {
        return context.metadata != nullptr && skinnedCustomIcon(entry) != nullptr;
    }

    bool clearAtPath(const std::string& path, const BackupEntry& entry, const IconContext& context,
                     bool vanished) const override {
        const std::string* ours = skinnedCustomIcon(entry);
        if (context.metadata == nullptr || ours == nullptr) {
            return false;
        }
        if (vanished) {
            // A failure leaves the key; the entry's phase lets the next restore or retry try again.
            return context.metadata->clearIfOurs(path, *ours) == 0;
        }
        // Another object stands at the path: the store is keyed by path, so it shows our icon.
        IconMetadata keys;
        if (context.metadata->read(path, keys) != 0 || keys.customIcon != *ours) {
            return false;
        }
        keys.customIcon.reset();
        return context.metadata->write(path, keys) == 0;
    }

    void requireRestorable(const BackupEntry& entry, const IconContext& context) const override {
        if (metadataOf(entry.original) && context.metadata == nullptr) {
            throw SkinError(kRestoreInDesktopSession);
        }
    }

    void restore(const platform::ItemHandle& item, const IconContext& context, const BackupEntry& entry,
                 const IconState& current) const override {
        const auto& original = metadataOf(entry.original);
        if (!original || metadataOf(current) == original) {
            return;
        }
        requireRestorable(entry, context);
        if (const int err = context.metadata->write(item.path(), *original); err != 0) {
            throwMetadataError(err, "无法还原桌面元数据");
        }
    }

    void restoreAhead(const platform::ItemHandle& item, const IconContext& context, const BackupEntry& entry,
                      const IconState& current) const override {
        restore(item, context, entry, current);
    }

    void skin(const platform::ItemHandle& item, const IconContext& context, const IconState&) const override {
        if (context.metadata == nullptr) {
            return;
        }
        if (const int err =
                context.metadata->write(item.path(), platform::skinnedIconMetadata(context.iconFile));
            err != 0) {
            throwMetadataError(err, "无法写入桌面元数据");
        }
    }

    void skinAhead(const platform::ItemHandle& item, const IconContext& context,
                   const IconState& original) const override {
        skin(item, context, original);
    }

    bool showsNewIcon(const IconState& after, bool, const IconContext& context) const override {
        return context.metadata == nullptr ||
               metadataOf(after) == platform::skinnedIconMetadata(context.iconFile);
    }

    bool computesPrediction() const override { return true; }

    void predict(const IconState& original, bool, const IconContext& context,
                 IconState& predicted) const override {
        if (metadataOf(original)) {
            editDesktopForm<MetadataKeys>(predicted).keys = platform::skinnedIconMetadata(context.iconFile);
        }
    }

    void flushShared(const IconContext& context) const override {
        if (context.metadata != nullptr && context.metadata->flush() != 0) {
            throw SkinError("无法同步桌面元数据");
        }
    }

    void encode(const IconState& state, json& object) const override {
        if (!desktopRecorded(state)) {
            return;
        }
        json& desktop = desktopObject(object);
        if (const auto& keys = metadataOf(state)) {
            json value = json::object();
            if (keys->customIcon) {
                value["customIcon"] = *keys->customIcon;
            }
            if (keys->customIconName) {
                value["customIconName"] = *keys->customIconName;
            }
            desktop["metadata"] = std::move(value);
        }
    }

    void decode(const json& object, const std::string& parent, IconState& state) const override {
        using namespace json_members;
        std::string path;
        const json* value = desktopMember(object, parent, "metadata", state, path);
        if (value == nullptr) {
            return;
        }
        IconMetadata keys;
        if (const json* icon = optionalMember(*value, "customIcon")) {
            keys.customIcon = readString(*icon, path + ".customIcon");
        }
        if (const json* name = optionalMember(*value, "customIconName")) {
            keys.customIconName = readString(*name, path + ".customIconName");
        }
        editDesktopForm<MetadataKeys>(state).keys = std::move(keys);
    }

    bool withinBounds(const IconState& state) const override {
        const auto& keys = metadataOf(state);
        return !keys || ((!keys->customIcon || keys->customIcon->size() <= platform::kMaxValueSize) &&
                         (!keys->customIconName || keys->customIconName->size() <= platform::kMaxValueSize));
    }

    std::uint64_t hash(const IconState& state, std::uint64_t h) const override {
        const auto& keys = metadataOf(state);
        if (!keys) {
            return h * 43;
        }
        for (const auto* key : {&keys->customIcon, &keys->customIconName}) {
            h = *key ? mixHash(h, Bytes((*key)->begin(), (*key)->end())) : h * 47;
        }
        return h;
    }

    bool beyondFirstSchema(const IconState& state) const override { return desktopRecorded(state); }
};

}  // namespace

void throwMetadataError(int err, const char* otherwise) {
    if (err == ETIMEDOUT) {
        throw SkinError("桌面元数据服务没有响应");
    }
    if (err == EFBIG || err == EINVAL) {
        throw SkinError("项目的桌面元数据无法安全处理");
    }
    throw SkinError(otherwise);
}

const IconFacet& desktopMetadataFacet() {
    static const DesktopMetadataFacet facet;
    return facet;
}

bool desktopRecorded(const IconState& state) {
    return state.get<DesktopForms>().recorded;
}

void recordDesktopForms(IconState& state) {
    if (!desktopRecorded(state)) {
        state.edit<DesktopForms>().recorded = true;
    }
}

json& desktopObject(json& object) {
    json& desktop = object["desktop"];
    if (!desktop.is_object()) {
        desktop = json::object();
    }
    return desktop;
}

const json* desktopMember(const json& object, const std::string& parent, const char* name, IconState& state,
                          std::string& path) {
    const json* desktop = json_members::optionalMember(object, "desktop");
    if (desktop == nullptr) {
        return nullptr;
    }
    json_members::requireObject(*desktop, parent + ".desktop");
    recordDesktopForms(state);
    path = parent + ".desktop." + name;
    const json* value = json_members::optionalMember(*desktop, name);
    return value == nullptr ? nullptr : &json_members::requireObject(*value, path);
}

const std::string* skinnedCustomIcon(const BackupEntry& entry) {
    const auto& keys = metadataOf(entry.applied);
    return keys && keys->customIcon ? &*keys->customIcon : nullptr;
}

}  // namespace lumaro
