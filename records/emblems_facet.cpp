// The store's emblem list of an item's path, drawn as a badge by the file managers and desktops
// that draw no custom icon (Thunar, xfdesktop, PCManFM). The skin appends the furball emblem and
// keeps the others in order; the restore puts the recorded list back.
#include <algorithm>
#include <cerrno>

#include "platform/text.h"
#include "records/desktop_form.h"
#include "records/errors.h"
#include "records/json.h"
#include "records/json_members.h"

namespace lumaro {

namespace {

using json_members::json;
using Emblems = std::vector<std::string>;

constexpr std::size_t kMaxEmblems = 4096;

const std::optional<Emblems>& emblemsOf(const IconState& state) {
    return state.get<EmblemList>().names;
}

Emblems withFurball(Emblems names) {
    if (std::find(names.begin(), names.end(), platform::kFurballEmblemName) == names.end()) {
        names.emplace_back(platform::kFurballEmblemName);
    }
    return names;
}

bool inUse(const IconContext& context) {
    return context.emblems && context.metadata != nullptr;
}

class EmblemsFacet final : public IconFacet {
  public:
    void capture(const platform::ItemHandle& item, const IconContext& context,
                 IconState& state) const override {
        if (!inUse(context)) {
            return;
        }
        Emblems names;
        if (const int err = context.metadata->readEmblems(item.path(), names); err != 0) {
            throwMetadataError(err, "无法读取桌面元数据");
        }
        // The records hold text; a list that could not be kept exactly is refused.
        if (names.size() > kMaxEmblems || std::any_of(names.begin(), names.end(), [](const std::string& n) {
                return !platform::isValidUtf8(n);
            })) {
            throwMetadataError(EINVAL, "");
        }
        editDesktopForm<EmblemList>(state).names = std::move(names);
    }

    bool matches(const IconState& current, const IconState& expected) const override {
        const auto& want = emblemsOf(expected);
        return !want || emblemsOf(current) == want;
    }

    bool matchesEither(const IconState& current, const IconState& a, const IconState& b) const override {
        const auto& ea = emblemsOf(a);
        const auto& eb = emblemsOf(b);
        if (!ea && !eb) {
            return true;
        }
        const auto& c = emblemsOf(current);
        return c && (c == ea || c == eb);
    }

    bool decidesAlone() const override { return true; }

    FormCheck check(const IconState& current, const BackupEntry& entry) const override {
        if (!emblemsOf(current)) {
            return FormCheck::original;  // not seen here; requireRestorable keeps the entry
        }
        return IconFacet::check(current, entry);
    }

    // The skin added our emblem to a list the store keeps by path.
    bool keepsByPath(const BackupEntry& entry, const IconContext& context) const override {
        const auto& added = emblemsOf(entry.applied);
        const auto& had = emblemsOf(entry.original);
        return context.metadata != nullptr && added && withFurball(*added) == *added &&
               !(had && withFurball(*had) == *had);
    }

    // Our badge left at the path: ours alone leaves its list, through the service where nothing
    // stands there, else as read and written for the object that does.
    bool clearAtPath(const std::string& path, const BackupEntry& entry, const IconContext& context,
                     bool vanished) const override {
        if (!keepsByPath(entry, context)) {
            return false;
        }
        if (vanished) {
            return context.metadata->clearEmblem(path, platform::kFurballEmblemName) == 0;
        }
        Emblems names;
        if (context.metadata->readEmblems(path, names) != 0) {
            return false;
        }
        const auto ours = std::find(names.begin(), names.end(), platform::kFurballEmblemName);
        if (ours == names.end()) {
            return false;
        }
        names.erase(ours);
        return context.metadata->writeEmblems(path, names) == 0;
    }

    void requireRestorable(const BackupEntry& entry, const IconContext& context) const override {
        if (emblemsOf(entry.original) && context.metadata == nullptr) {
            throw SkinError(kRestoreInDesktopSession);
        }
    }

    void restore(const platform::ItemHandle& item, const IconContext& context, const BackupEntry& entry,
                 const IconState& current) const override {
        const auto& original = emblemsOf(entry.original);
        if (!original || emblemsOf(current) == original) {
            return;
        }
        requireRestorable(entry, context);
        if (const int err = context.metadata->writeEmblems(item.path(), *original); err != 0) {
            throwMetadataError(err, "无法还原桌面元数据");
        }
    }

    // The list as recorded, checked to be the item's, gets the furball.
    void skin(const platform::ItemHandle& item, const IconContext& context,
              const IconState& original) const override {
        const auto& names = emblemsOf(original);
        if (!inUse(context) || !names) {
            return;
        }
        const Emblems skinned = withFurball(*names);
        if (skinned == *names) {
            return;
        }
        if (const int err = context.metadata->writeEmblems(item.path(), skinned); err != 0) {
            throwMetadataError(err, "无法写入桌面元数据");
        }
    }

    bool showsNewIcon(const IconState& after, bool, const IconContext& context) const override {
        const auto& names = emblemsOf(after);
        return !inUse(context) || (names && std::find(names->begin(), names->end(),
                                                      platform::kFurballEmblemName) != names->end());
    }

    bool computesPrediction() const override { return true; }

    void predict(const IconState& original, bool, const IconContext&, IconState& predicted) const override {
        if (const auto& names = emblemsOf(original)) {
            editDesktopForm<EmblemList>(predicted).names = withFurball(*names);
        }
    }

    void encode(const IconState& state, json& object) const override {
        if (const auto& names = emblemsOf(state)) {
            desktopObject(object)["emblems"] = *names;
        }
    }

    void decode(const json& object, const std::string& parent, IconState& state) const override {
        using namespace json_members;
        const json* desktop = optionalMember(object, "desktop");
        const json* value =
            desktop != nullptr && desktop->is_object() ? optionalMember(*desktop, "emblems") : nullptr;
        if (value == nullptr) {
            return;
        }
        const std::string path = parent + ".desktop.emblems";
        if (!value->is_array()) {
            throw DecodingError(path + ": expected an array");
        }
        Emblems names;
        for (std::size_t i = 0; i < value->size(); ++i) {
            names.push_back(readString((*value)[i], path + "[" + std::to_string(i) + "]"));
        }
        editDesktopForm<EmblemList>(state).names = std::move(names);
    }

    bool withinBounds(const IconState& state) const override {
        const auto& names = emblemsOf(state);
        if (!names) {
            return true;
        }
        std::size_t total = 0;
        for (const std::string& name : *names) {
            total += name.size() + 1;
        }
        return names->size() <= kMaxEmblems && total <= platform::kMaxValueSize;
    }

    std::uint64_t hash(const IconState& state, std::uint64_t h) const override {
        const auto& names = emblemsOf(state);
        if (!names) {
            return h * 59;
        }
        for (const std::string& name : *names) {
            h = mixHash(h, Bytes(name.begin(), name.end()));
        }
        return h ^ names->size();
    }

    bool beyondFirstSchema(const IconState& state) const override { return desktopRecorded(state); }
};

}  // namespace

const IconFacet& emblemsFacet() {
    static const EmblemsFacet facet;
    return facet;
}

bool holdsEmblems(const IconState& state) {
    return emblemsOf(state).has_value();
}

bool leftFurballEmblem(const BackupEntry& entry) {
    const auto& names = emblemsOf(entry.applied);
    return names && std::find(names->begin(), names->end(), platform::kFurballEmblemName) != names->end();
}

}  // namespace lumaro
