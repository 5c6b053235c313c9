// The Mac form of an icon: the item's Finder information and resource fork, and a folder's
// "Icon\r" file. Two facets, and the comparisons they share.
#pragma once

#include <cstdint>
#include <optional>

#include "records/icon_facet.h"
#include "records/records.h"

namespace lumaro {

// The item's own Mac attributes, the part of `macAttributesFacet()`.
struct MacAttributes {
    std::optional<Bytes> finder;  // "com.apple.FinderInfo", 32 bytes when present
    std::optional<Bytes> fork;    // "com.apple.ResourceFork"

    friend bool operator==(const MacAttributes&, const MacAttributes&) = default;
};

// A folder's captured "Icon\r" file.
struct IconFile {
    Bytes contents;
    AttributeMap attributes;
    std::uint16_t mode = 0;  // permission bits only (st_mode & 0777)

    friend bool operator==(const IconFile&, const IconFile&) = default;
};

// The part of `folderIconFileFacet()`: absent for a file, or a folder without one.
struct FolderIconFile {
    std::optional<IconFile> file;

    friend bool operator==(const FolderIconFile&, const FolderIconFile&) = default;
};

const IconFacet& macAttributesFacet();
const IconFacet& folderIconFileFacet();

// Bit 0x04 of byte 8 of a 32-byte Finder information value.
bool hasCustomIconFlag(const std::optional<Bytes>& finder);

// The fork with its volatile bookkeeping (next-map handle, file reference number, every
// reference's handle) zeroed; unchanged when its map does not parse.
std::optional<Bytes> normalizedResourceFork(const std::optional<Bytes>& fork);

bool forksMatch(const std::optional<Bytes>& a, const std::optional<Bytes>& b);

bool iconFileMatchesEither(const std::optional<IconFile>& current, const std::optional<IconFile>& a,
                           const std::optional<IconFile>& b);

}  // namespace lumaro
