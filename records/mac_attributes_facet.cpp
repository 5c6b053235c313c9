// The item's own Mac attributes: "com.apple.FinderInfo" and "com.apple.ResourceFork".
#include <algorithm>
#include <cerrno>
#include <utility>
#include <vector>

#include "platform/paths.h"
#include "platform/resource_fork.h"
#include "records/attributes.h"
#include "records/errors.h"
#include "records/json.h"
#include "records/json_members.h"
#include "records/mac_form.h"

namespace lumaro {

namespace {

using json_members::json;

Bytes finderOrZeros(const std::optional<Bytes>& finder) {
    return finder && finder->size() == kFinderInfoSize ? *finder : Bytes(kFinderInfoSize, 0);
}

const MacAttributes& macOf(const IconState& state) {
    return state.get<MacAttributes>();
}

class MacAttributesFacet final : public IconFacet {
  public:
    void capture(const platform::ItemHandle& item, const IconContext&, IconState& state) const override {
        const std::string name = platform::lastPathComponent(item.path());
        MacAttributes& mac = state.edit<MacAttributes>();
        mac.finder = readIconAttribute(item.fs(), item.fd(), kFinderInfoAttribute, name);
        if (mac.finder && mac.finder->size() != kFinderInfoSize) {
            throw SkinError("Finder 图标属性格式不受支持");
        }
        mac.fork = readIconAttribute(item.fs(), item.fd(), kResourceForkAttribute, name);
    }

    bool matches(const IconState& current, const IconState& expected) const override {
        const MacAttributes &c = macOf(current), &e = macOf(expected);
        return hasCustomIconFlag(c.finder) == hasCustomIconFlag(e.finder) && c.fork == e.fork;
    }

    bool matchesEither(const IconState& current, const IconState& a, const IconState& b) const override {
        const MacAttributes &c = macOf(current), &ma = macOf(a), &mb = macOf(b);
        if (c.fork && !forksMatch(c.fork, ma.fork) && !forksMatch(c.fork, mb.fork)) {
            return false;
        }
        const bool flag = hasCustomIconFlag(c.finder);
        return flag == hasCustomIconFlag(ma.finder) || flag == hasCustomIconFlag(mb.finder);
    }

    void writeExact(const platform::ItemHandle& item, const IconState& state) const override {
        const std::string name = platform::lastPathComponent(item.path());
        writeIconAttribute(item.fs(), item.fd(), kFinderInfoAttribute, macOf(state).finder, name);
        writeIconAttribute(item.fs(), item.fd(), kResourceForkAttribute, macOf(state).fork, name);
    }

    void restore(const platform::ItemHandle& item, const IconContext&, const BackupEntry& entry,
                 const IconState& current) const override {
        const std::string name = platform::lastPathComponent(item.path());
        const MacAttributes& original = macOf(entry.original);
        writeIconAttribute(item.fs(), item.fd(), kResourceForkAttribute, original.fork, name);
        // Only the bits the skin changed go back; every other bit keeps its current value.
        const Bytes c = finderOrZeros(macOf(current).finder);
        const Bytes o = finderOrZeros(original.finder);
        const Bytes a = finderOrZeros(macOf(entry.applied).finder);
        Bytes merged(kFinderInfoSize);
        for (std::size_t i = 0; i < kFinderInfoSize; ++i) {
            const auto mask = static_cast<std::uint8_t>(o[i] ^ a[i]);
            merged[i] = static_cast<std::uint8_t>((c[i] & ~mask) | (o[i] & mask));
        }
        const bool allZero = std::all_of(merged.begin(), merged.end(), [](std::uint8_t b) { return b == 0; });
        writeIconAttribute(item.fs(), item.fd(), kFinderInfoAttribute,
                           !original.finder && allZero ? std::nullopt : std::optional<Bytes>(merged), name);
    }

    void skin(const platform::ItemHandle& item, const IconContext& context, const IconState&) const override {
        if (context.writer->markCustomIcon(item) != 0) {
            throw SkinError("系统未允许更改图标，请检查文件夹权限");
        }
    }

    bool showsNewIcon(const IconState& after, bool, const IconContext&) const override {
        return hasCustomIconFlag(macOf(after).finder);
    }

    void encode(const IconState& state, json& object) const override {
        const MacAttributes& mac = macOf(state);
        if (mac.finder) {
            object["finder"] = encodeBase64(*mac.finder);
        }
        if (mac.fork) {
            object["fork"] = encodeBase64(*mac.fork);
        }
    }

    void decode(const json& object, const std::string& path, IconState& state) const override {
        if (const json* finder = json_members::optionalMember(object, "finder")) {
            state.edit<MacAttributes>().finder = json_members::readBytes(*finder, path + ".finder");
        }
        if (const json* fork = json_members::optionalMember(object, "fork")) {
            state.edit<MacAttributes>().fork = json_members::readBytes(*fork, path + ".fork");
        }
    }

    bool withinBounds(const IconState& state) const override {
        const MacAttributes& mac = macOf(state);
        return (!mac.finder || mac.finder->size() == kFinderInfoSize) &&
               (!mac.fork || mac.fork->size() <= platform::kMaxValueSize);
    }

    std::uint64_t hash(const IconState& state, std::uint64_t h) const override {
        const MacAttributes& mac = macOf(state);
        h = mac.finder ? mixHash(h, *mac.finder) : h * 31;
        return mac.fork ? mixHash(h, *mac.fork) : h * 37;
    }
};

}  // namespace

const IconFacet& macAttributesFacet() {
    static const MacAttributesFacet facet;
    return facet;
}

bool hasCustomIconFlag(const std::optional<Bytes>& finder) {
    return finder && finder->size() == kFinderInfoSize &&
           ((*finder)[platform::kCustomIconFlagByte] & platform::kCustomIconFlag) != 0;
}

std::optional<Bytes> normalizedResourceFork(const std::optional<Bytes>& fork) {
    if (!fork) {
        return std::nullopt;
    }
    const auto ranges = platform::resourceMapHandleRanges(*fork);
    if (!ranges) {
        return fork;
    }
    Bytes result = *fork;
    for (const auto& [from, to] : *ranges) {
        for (std::uint64_t i = from; i < to; ++i) {
            result[static_cast<std::size_t>(i)] = 0;
        }
    }
    return result;
}

bool forksMatch(const std::optional<Bytes>& a, const std::optional<Bytes>& b) {
    if (!a || !b) {
        return !a && !b;
    }
    return normalizedResourceFork(a) == normalizedResourceFork(b);
}

}  // namespace lumaro
