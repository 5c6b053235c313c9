#include "records/identity.h"

#include <set>
#include <utility>
#include <vector>

#include "platform/paths.h"
#include "records/attributes.h"
#include "records/errors.h"

namespace lumaro {

FileIdentity identifyItem(platform::FileSystem& fs, const std::string& path) {
    platform::FileStatus st;
    if (fs.lstat(path, st) != 0) {
        throw SkinError("项目不存在或无法读取：" + platform::lastPathComponent(path));
    }
    if (!st.isRegular() && !st.isDirectory()) {
        throw SkinError("跳过符号链接或特殊文件：" + platform::lastPathComponent(path));
    }
    FileIdentity identity;
    identity.device = st.device;
    identity.inode = st.inode;
    identity.birthSeconds = st.birthSeconds;
    identity.birthNanos = st.birthNanos;
    identity.type = static_cast<std::uint16_t>(st.type());
    return identity;
}

bool hasCustomIconFlag(const std::optional<Bytes>& finder) {
    return finder && finder->size() == 32 && ((*finder)[8] & 0x04) != 0;
}

namespace {

std::uint32_t be16(const Bytes& b, std::size_t at) {
    return (std::uint32_t{b[at]} << 8) | b[at + 1];
}

std::uint64_t be32(const Bytes& b, std::size_t at) {
    return (std::uint64_t{b[at]} << 24) | (std::uint64_t{b[at + 1]} << 16) | (std::uint64_t{b[at + 2]} << 8) |
           b[at + 3];
}

// The byte ranges to clear, or nothing when the map does not parse. All arithmetic is in 64 bits
// on values read from 32- and 16-bit fields, so it cannot overflow.
std::optional<std::vector<std::pair<std::uint64_t, std::uint64_t>>> volatileRanges(const Bytes& f) {
    const std::uint64_t n = f.size();
    if (n < 16) {
        return std::nullopt;
    }
    const std::uint64_t m = be32(f, 4);
    const std::uint64_t l = be32(f, 12);
    if (m < 16 || l < 30 || n - l < m || l > n) {
        return std::nullopt;
    }
    const std::uint64_t mapEnd = m + l;
    const std::uint64_t t = be16(f, static_cast<std::size_t>(m + 24));
    if (t < 28) {
        return std::nullopt;
    }
    const std::uint64_t tl = m + t;
    if (tl + 2 > mapEnd) {
        return std::nullopt;
    }
    const std::uint64_t word = be16(f, static_cast<std::size_t>(tl));
    const std::uint64_t k = word == 0xFFFF ? 0 : word + 1;
    // l >= 30 and t may exceed l - 2; then no type fits.
    const std::uint64_t room = l >= t + 2 ? (l - t - 2) / 8 : 0;
    if (k > room) {
        return std::nullopt;
    }
    std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges{{m + 16, m + 22}};
    for (std::uint64_t i = 0; i < k; ++i) {
        const std::uint64_t e = tl + 2 + 8 * i;
        const std::uint64_t r = tl + be16(f, static_cast<std::size_t>(e + 6));
        if (r < tl + 2 + 8 * k || r > mapEnd) {
            return std::nullopt;
        }
        const std::uint64_t c = be16(f, static_cast<std::size_t>(e + 4));
        if ((mapEnd - r) / 12 <= c) {
            return std::nullopt;
        }
        for (std::uint64_t j = 0; j <= c; ++j) {
            ranges.emplace_back(r + 12 * j + 8, r + 12 * j + 12);
        }
    }
    return ranges;
}

}  // namespace

std::optional<Bytes> normalizedResourceFork(const std::optional<Bytes>& fork) {
    if (!fork) {
        return std::nullopt;
    }
    const auto ranges = volatileRanges(*fork);
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

namespace {

const Bytes* attributeValue(const std::optional<IconFile>& file, const std::string& name) {
    if (!file) {
        return nullptr;
    }
    const auto it = file->attributes.find(name);
    return it == file->attributes.end() ? nullptr : &it->second;
}

bool sameOptional(const Bytes* x, const Bytes* y) {
    if (!x || !y) {
        return !x && !y;
    }
    return *x == *y;
}

}  // namespace

bool iconFileMatchesEither(const std::optional<IconFile>& current, const std::optional<IconFile>& a,
                           const std::optional<IconFile>& b) {
    if (!current) {
        return !a || !b;
    }
    if ((a && *current == *a) || (b && *current == *b)) {
        return true;
    }
    if (!a && !b) {
        return false;
    }
    static const Bytes kEmpty;
    const Bytes& contentsA = a ? a->contents : kEmpty;
    const Bytes& contentsB = b ? b->contents : kEmpty;
    if (current->contents != contentsA && current->contents != contentsB) {
        return false;
    }
    const std::uint16_t expectedMode = a ? a->mode : b->mode;
    if (current->mode != expectedMode && !(b && current->mode == b->mode)) {
        return false;
    }
    std::set<std::string> names;
    for (const auto* file : {&current, &a, &b}) {
        if (*file) {
            for (const auto& [name, value] : (*file)->attributes) {
                names.insert(name);
            }
        }
    }
    for (const std::string& name : names) {
        const Bytes* v = attributeValue(current, name);
        const Bytes* va = attributeValue(a, name);
        const Bytes* vb = attributeValue(b, name);
        if (name == kResourceForkAttribute) {
            if (!v) {
                continue;
            }
            const auto normalized = normalizedResourceFork(*v);
            const bool matchesA = va && normalizedResourceFork(*va) == normalized;
            const bool matchesB = vb && normalizedResourceFork(*vb) == normalized;
            if (!matchesA && !matchesB) {
                return false;
            }
        } else if (!sameOptional(v, va) && !sameOptional(v, vb)) {
            return false;
        }
    }
    return true;
}

bool stateMatchesEither(const IconState& current, const IconState& a, const IconState& b) {
    if (current.fork && !forksMatch(current.fork, a.fork) && !forksMatch(current.fork, b.fork)) {
        return false;
    }
    const bool flag = hasCustomIconFlag(current.finder);
    if (flag != hasCustomIconFlag(a.finder) && flag != hasCustomIconFlag(b.finder)) {
        return false;
    }
    return iconFileMatchesEither(current.iconFile, a.iconFile, b.iconFile);
}

bool iconStateMatches(const IconState& a, const IconState& b) {
    return hasCustomIconFlag(a.finder) == hasCustomIconFlag(b.finder) && a.fork == b.fork &&
           a.iconFile == b.iconFile;
}

}  // namespace lumaro
