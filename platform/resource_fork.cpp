#include "platform/resource_fork.h"

#include <algorithm>

namespace lumaro::platform {

namespace {

std::uint32_t read16(const Bytes& b, std::uint64_t at) {
    return (std::uint32_t{b[at]} << 8) | b[at + 1];
}

std::uint64_t read24(const Bytes& b, std::uint64_t at) {
    return (std::uint64_t{b[at]} << 16) | (std::uint64_t{b[at + 1]} << 8) | b[at + 2];
}

std::uint64_t read32(const Bytes& b, std::uint64_t at) {
    return (std::uint64_t{b[at]} << 24) | (std::uint64_t{b[at + 1]} << 16) | (std::uint64_t{b[at + 2]} << 8) |
           b[at + 3];
}

void put16(Bytes& b, std::uint32_t v) {
    b.push_back(static_cast<std::uint8_t>(v >> 8));
    b.push_back(static_cast<std::uint8_t>(v));
}

void put24(Bytes& b, std::uint64_t v) {
    b.push_back(static_cast<std::uint8_t>(v >> 16));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
    b.push_back(static_cast<std::uint8_t>(v));
}

void put32(Bytes& b, std::uint64_t v) {
    b.push_back(static_cast<std::uint8_t>(v >> 24));
    b.push_back(static_cast<std::uint8_t>(v >> 16));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
    b.push_back(static_cast<std::uint8_t>(v));
}

constexpr std::uint64_t kHeaderSize = 16;
constexpr std::uint64_t kMapFixedSize = 28;  // header copy, next map, file ref, attrs, two offsets

}  // namespace

namespace {

struct MapType {
    FourCharCode type{};
    std::uint64_t references = 0;  // where its reference list starts in the fork
    std::uint64_t count = 0;
};

struct MapLayout {
    std::uint64_t offset = 0;
    std::uint64_t end = 0;
    std::uint64_t nameListOffset = 0;  // from the map's start, not yet checked
    std::vector<MapType> types;
};

// The map alone: inside the fork, its type list and every type's references inside it. All
// arithmetic is in 64 bits on values read from 32- and 16-bit fields, so it cannot overflow.
std::optional<MapLayout> parseMap(const Bytes& fork) {
    const std::uint64_t n = fork.size();
    if (n < kHeaderSize) {
        return std::nullopt;
    }
    MapLayout map;
    map.offset = read32(fork, 4);
    const std::uint64_t mapLength = read32(fork, 12);
    if (map.offset < kHeaderSize || mapLength < kMapFixedSize + 2 || map.offset + mapLength > n) {
        return std::nullopt;
    }
    map.end = map.offset + mapLength;
    const std::uint64_t typeListOffset = read16(fork, map.offset + 24);
    map.nameListOffset = read16(fork, map.offset + 26);
    const std::uint64_t typeList = map.offset + typeListOffset;
    if (typeListOffset < kMapFixedSize || typeList + 2 > map.end) {
        return std::nullopt;
    }
    const std::uint32_t typeWord = read16(fork, typeList);
    const std::uint64_t typeCount = typeWord == 0xFFFF ? 0 : typeWord + 1u;
    if (typeList + 2 + 8 * typeCount > map.end) {
        return std::nullopt;
    }
    for (std::uint64_t i = 0; i < typeCount; ++i) {
        const std::uint64_t entry = typeList + 2 + 8 * i;
        MapType type;
        std::copy_n(fork.begin() + static_cast<std::ptrdiff_t>(entry), 4, type.type.begin());
        type.count = read16(fork, entry + 4) + 1u;
        type.references = typeList + read16(fork, entry + 6);
        if (type.references < typeList + 2 + 8 * typeCount || type.references + 12 * type.count > map.end) {
            return std::nullopt;
        }
        map.types.push_back(type);
    }
    return map;
}

}  // namespace

std::optional<std::vector<Resource>> parseResourceFork(const Bytes& fork) {
    const auto map = parseMap(fork);
    if (!map) {
        return std::nullopt;
    }
    const std::uint64_t n = fork.size();
    const std::uint64_t dataOffset = read32(fork, 0);
    const std::uint64_t dataLength = read32(fork, 8);
    if (dataOffset < kHeaderSize || dataOffset + dataLength > n) {
        return std::nullopt;
    }
    // The data area and the map must not overlap.
    if (!(dataOffset + dataLength <= map->offset || map->end <= dataOffset)) {
        return std::nullopt;
    }
    const std::uint64_t nameList = map->offset + map->nameListOffset;
    if (map->nameListOffset < kMapFixedSize || nameList > map->end) {
        return std::nullopt;
    }
    std::vector<Resource> resources;
    for (const MapType& type : map->types) {
        for (std::uint64_t j = 0; j < type.count; ++j) {
            const std::uint64_t ref = type.references + 12 * j;
            Resource resource;
            resource.type = type.type;
            resource.id = static_cast<std::int16_t>(read16(fork, ref));
            const std::uint32_t nameOffset = read16(fork, ref + 2);
            resource.attributes = fork[ref + 4];
            const std::uint64_t dataAt = dataOffset + read24(fork, ref + 5);
            if (nameOffset != 0xFFFF) {
                const std::uint64_t nameAt = nameList + nameOffset;
                if (nameAt + 1 > map->end || nameAt + 1 + fork[nameAt] > map->end) {
                    return std::nullopt;
                }
                const auto begin = fork.begin() + static_cast<std::ptrdiff_t>(nameAt + 1);
                resource.name = Bytes(begin, begin + fork[nameAt]);
            }
            if (dataAt + 4 > dataOffset + dataLength) {
                return std::nullopt;
            }
            const std::uint64_t length = read32(fork, dataAt);
            if (dataAt + 4 + length > dataOffset + dataLength) {
                return std::nullopt;
            }
            const auto begin = fork.begin() + static_cast<std::ptrdiff_t>(dataAt + 4);
            resource.data = Bytes(begin, begin + static_cast<std::ptrdiff_t>(length));
            resources.push_back(std::move(resource));
        }
    }
    return resources;
}

std::optional<std::vector<std::pair<std::uint64_t, std::uint64_t>>> resourceMapHandleRanges(
    const Bytes& fork) {
    const auto map = parseMap(fork);
    if (!map) {
        return std::nullopt;
    }
    std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges{{map->offset + 16, map->offset + 22}};
    for (const MapType& type : map->types) {
        for (std::uint64_t j = 0; j < type.count; ++j) {
            ranges.emplace_back(type.references + 12 * j + 8, type.references + 12 * j + 12);
        }
    }
    return ranges;
}

std::optional<Bytes> buildResourceFork(const std::vector<Resource>& resources) {
    // Group by type in order of first appearance, keeping each type's resources in order.
    std::vector<FourCharCode> types;
    std::vector<std::vector<const Resource*>> byType;
    for (const Resource& resource : resources) {
        const auto it = std::find(types.begin(), types.end(), resource.type);
        if (it == types.end()) {
            types.push_back(resource.type);
            byType.push_back({&resource});
        } else {
            byType[static_cast<std::size_t>(it - types.begin())].push_back(&resource);
        }
    }
    if (types.size() > 65536) {
        return std::nullopt;
    }
    Bytes data;
    Bytes names;
    Bytes references;
    Bytes typeList;
    put16(typeList, types.empty() ? 0xFFFF : static_cast<std::uint32_t>(types.size() - 1));
    const std::uint64_t referencesStart = 2 + 8 * types.size();
    std::uint64_t referenceCount = 0;
    for (std::size_t t = 0; t < types.size(); ++t) {
        const std::uint64_t refListOffset = referencesStart + 12 * referenceCount;
        if (byType[t].size() > 65536 || refListOffset > 0xFFFF) {
            return std::nullopt;
        }
        typeList.insert(typeList.end(), types[t].begin(), types[t].end());
        put16(typeList, static_cast<std::uint32_t>(byType[t].size() - 1));
        put16(typeList, static_cast<std::uint32_t>(refListOffset));
        for (const Resource* resource : byType[t]) {
            if (data.size() > 0xFFFFFF || resource->data.size() > 0xFFFFFFFFu) {
                return std::nullopt;
            }
            put16(references, static_cast<std::uint16_t>(resource->id));
            if (resource->name) {
                if (resource->name->size() > 255 || names.size() > 0xFFFE) {
                    return std::nullopt;
                }
                put16(references, static_cast<std::uint32_t>(names.size()));
                names.push_back(static_cast<std::uint8_t>(resource->name->size()));
                names.insert(names.end(), resource->name->begin(), resource->name->end());
            } else {
                put16(references, 0xFFFF);
            }
            references.push_back(resource->attributes);
            put24(references, data.size());
            put32(references, 0);
            put32(data, resource->data.size());
            data.insert(data.end(), resource->data.begin(), resource->data.end());
            ++referenceCount;
        }
    }
    const std::uint64_t nameListOffset = kMapFixedSize + typeList.size() + references.size();
    const std::uint64_t mapLength = nameListOffset + names.size();
    if (nameListOffset > 0xFFFF || data.size() > 0xFFFFFFFFu - 256 - mapLength) {
        return std::nullopt;
    }
    Bytes header;
    put32(header, 256);
    put32(header, 256 + data.size());
    put32(header, data.size());
    put32(header, mapLength);

    Bytes fork = header;
    fork.resize(256, 0);
    fork.insert(fork.end(), data.begin(), data.end());
    fork.insert(fork.end(), header.begin(), header.end());
    put32(fork, 0);  // next-map handle
    put16(fork, 0);  // file reference number
    put16(fork, 0);  // fork attributes
    put16(fork, kMapFixedSize);
    put16(fork, static_cast<std::uint32_t>(nameListOffset));
    fork.insert(fork.end(), typeList.begin(), typeList.end());
    fork.insert(fork.end(), references.begin(), references.end());
    fork.insert(fork.end(), names.begin(), names.end());
    return fork;
}

}  // namespace lumaro::platform
