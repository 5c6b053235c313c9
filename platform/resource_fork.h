// The classic resource-fork layout, as macOS stores it in "com.apple.ResourceFork".
// All integers big-endian.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "platform/file_ops.h"

namespace lumaro::platform {

using FourCharCode = std::array<std::uint8_t, 4>;

struct Resource {
    FourCharCode type{};
    std::int16_t id = 0;
    std::uint8_t attributes = 0;
    std::optional<Bytes> name;  // Pascal string contents, at most 255 bytes
    Bytes data;

    friend bool operator==(const Resource&, const Resource&) = default;
};

// The resources of a fork in the order its map lists them (type by type), or nothing when the
// fork does not parse cleanly: every offset and length inside its area, no overlaps of the
// header, data area and map, and every name and data block complete.
std::optional<std::vector<Resource>> parseResourceFork(const Bytes& fork);

// The byte ranges [from, to) of a fork's map that the system rewrites on opening the fork: the
// next-map handle with the file reference number, and each reference's handle. Nothing when
// the map itself does not parse (the data area is not checked).
std::optional<std::vector<std::pair<std::uint64_t, std::uint64_t>>> resourceMapHandleRanges(
    const Bytes& fork);

// A fork holding `resources`: data at offset 256, the map after the data, types in order of
// first appearance, no names list unless some resource has a name. One resource gives a map of
// 50 bytes. Returns nothing when the resources cannot be represented (too much data for the
// 24-bit offsets, more than 65536 types or references).
std::optional<Bytes> buildResourceFork(const std::vector<Resource>& resources);

}  // namespace lumaro::platform
