// The one bound on a value read into memory or kept in a record: a file, an attribute's value or
// name list, a metadata value, a stored byte string. Checked before anything is allocated.
#pragma once

#include <cstdint>

namespace lumaro::platform {

inline constexpr std::uint64_t kMaxValueSize = 16'777'216;

}  // namespace lumaro::platform
