// The JSON reading rules shared by the records' decoders and the icon facets' members.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <type_traits>

#include "records/errors.h"
#include "records/records.h"

namespace lumaro::json_members {

using nlohmann::json;

std::string memberPath(const std::string& parent, const char* name);
// The member; DecodingError when missing.
const json& require(const json& object, const std::string& parent, const char* name);
// The member, or nullptr when it is missing or null.
const json* optionalMember(const json& object, const char* name);
const json& requireObject(const json& value, const std::string& path);
std::string readString(const json& value, const std::string& path);
// Strict Base64.
Bytes readBytes(const json& value, const std::string& path);

// An integer exactly representable in T; DecodingError otherwise.
template <typename T>
T readInteger(const json& value, const std::string& path) {
    static_assert(std::is_integral_v<T>);
    using Limits = std::numeric_limits<T>;
    if (value.is_number_unsigned()) {
        const auto v = value.get<std::uint64_t>();
        if (v > static_cast<std::uint64_t>(Limits::max())) {
            throw DecodingError(path + ": integer out of range");
        }
        return static_cast<T>(v);
    }
    if (value.is_number_integer()) {
        const auto v = value.get<std::int64_t>();
        if constexpr (std::is_unsigned_v<T>) {
            if (v < 0 || static_cast<std::uint64_t>(v) > static_cast<std::uint64_t>(Limits::max())) {
                throw DecodingError(path + ": integer out of range");
            }
        } else {
            if (v < static_cast<std::int64_t>(Limits::min()) ||
                v > static_cast<std::int64_t>(Limits::max())) {
                throw DecodingError(path + ": integer out of range");
            }
        }
        return static_cast<T>(v);
    }
    if (value.is_number_float()) {
        // Accept a float only where it names an integer exactly. From 2^53 on, the parsed double
        // may already be a rounded neighbour of the written number.
        const double d = value.get<double>();
        constexpr double kExactLimit = 9007199254740992.0;  // 2^53
        if (!std::isfinite(d) || std::trunc(d) != d || std::fabs(d) >= kExactLimit) {
            throw DecodingError(path + ": not an exact integer");
        }
        if (d < static_cast<double>(Limits::min()) || d > static_cast<double>(Limits::max())) {
            throw DecodingError(path + ": integer out of range");
        }
        return static_cast<T>(d);
    }
    throw DecodingError(path + ": expected an integer");
}

}  // namespace lumaro::json_members
