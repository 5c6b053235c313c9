// The operations the model runs.
#pragma once

#include <cstdint>

namespace lumaro {

enum class Operation : std::uint8_t {
    apply,     // the skin
    restore,   // puts the original icons back
    retry,     // the restore of the items skipped because they had gone
    setAside,  // the restore, then what it could not restore kept aside
};

// Whether the operation puts icons back: every one but the apply.
constexpr bool restores(Operation operation) {
    return operation != Operation::apply;
}

}  // namespace lumaro
