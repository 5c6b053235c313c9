// The Mac form of an icon: the item's Finder information and resource fork, and a folder's
// "Icon\r" file. Two facets, and the comparisons they share.
#pragma once

#include <optional>

#include "records/icon_facet.h"
#include "records/records.h"

namespace lumaro {

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
