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

class MacAttributesFacet final : public IconFacet {
  public:
    void capture(const platform::ItemHandle& item, const IconContext&, IconState& state) const override {
        const std::string name = platform::lastPathComponent(item.path());
        state.finder = readIconAttribute(item.fs(), item.fd(), kFinderInfoAttribute, name);
        if (state.finder && state.finder->size() != kFinderInfoSize) {
            throw SkinError("Finder 图标属性格式不受支持");
        }
        state.fork = readIconAttribute(item.fs(), item.fd(), kResourceForkAttribute, name);
    }

    bool matches(const IconState& current, const IconState& expected) const override {
        return hasCustomIconFlag(current.finder) == hasCustomIconFlag(expected.finder) &&
               current.fork == expected.fork;
    }

    bool matchesEither(const IconState& current, const IconState& a, const IconState& b) const override {
        if (current.fork && !forksMatch(current.fork, a.fork) && !forksMatch(current.fork, b.fork)) {
            return false;
        }
        const bool flag = hasCustomIconFlag(current.finder);
        return flag == hasCustomIconFlag(a.finder) || flag == hasCustomIconFlag(b.finder);
    }

    void writeExact(const platform::ItemHandle& item, const IconState& state) const override {
        const std::string name = platform::lastPathComponent(item.path());
        writeIconAttribute(item.fs(), item.fd(), kFinderInfoAttribute, state.finder, name);
        writeIconAttribute(item.fs(), item.fd(), kResourceForkAttribute, state.fork, name);
    }

    void restore(const platform::ItemHandle& item, const IconContext&, const BackupEntry& entry,
                 const IconState& current) const override {
        const std::string name = platform::lastPathComponent(item.path());
        writeIconAttribute(item.fs(), item.fd(), kResourceForkAttribute, entry.original.fork, name);
        // Only the bits the skin changed go back; every other bit keeps its current value.
        const Bytes c = finderOrZeros(current.finder);
        const Bytes o = finderOrZeros(entry.original.finder);
        const Bytes a = finderOrZeros(entry.applied.finder);
        Bytes merged(kFinderInfoSize);
        for (std::size_t i = 0; i < kFinderInfoSize; ++i) {
            const auto mask = static_cast<std::uint8_t>(o[i] ^ a[i]);
            merged[i] = static_cast<std::uint8_t>((c[i] & ~mask) | (o[i] & mask));
        }
        const bool allZero = std::all_of(merged.begin(), merged.end(), [](std::uint8_t b) { return b == 0; });
        writeIconAttribute(item.fs(), item.fd(), kFinderInfoAttribute,
                           !entry.original.finder && allZero ? std::nullopt : std::optional<Bytes>(merged),
                           name);
    }

    void skin(const platform::ItemHandle& item, const IconContext& context, const IconState&) const override {
        if (context.writer->markCustomIcon(item) != 0) {
            throw SkinError("系统未允许更改图标，请检查文件夹权限");
        }
    }

    bool showsNewIcon(const IconState& after, bool, const IconContext&) const override { return hasCustomIconFlag(after.finder); }

    void encode(const IconState& state, json& object) const override {
        if (state.finder) {
            object["finder"] = encodeBase64(*state.finder);
        }
        if (state.fork) {
            object["fork"] = encodeBase64(*state.fork);
        }
    }

    void decode(const json& object, const std::string& path, IconState& state) const override {
        if (const json* finder = json_members::optionalMember(object, "finder")) {
            state.finder = json_members::readBytes(*finder, path + ".finder");
        }
        if (const json* fork = json_members::optionalMember(object, "fork")) {
            state.fork = json_members::readBytes(*fork, path + ".fork");
        }
    }

    bool withinBounds(const IconState& state) const override {
        return (!state.finder || state.finder->size() == kFinderInfoSize) &&
               (!state.fork || state.fork->size() <= platform::kMaxValueSize);
    }

    std::uint64_t hash(const IconState& state, std::uint64_t h) const override {
        h = state.finder ? mixHash(h, *state.finder) : h * 31;
        return state.fork ? mixHash(h, *state.fork) : h * 37;
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
