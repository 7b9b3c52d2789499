// RestoreUserKeys: writes the three user keys of the table into the MMI's
// user key under HKEY_CURRENT_USER, nine values in a fixed order, flushes the
// key to the disk and closes it before it returns. The operator is told to
// restart the MMI, which on a machine tool often means switching it off: the
// values must be on the disk by then, not only in memory.
//
// Nothing stops the run half-way: after a failed open the writes, the flush
// and the close are still made, and a failed write does not stop those after
// it. What comes back says which values did not reach the registry and the
// first Windows error with the step it came from, so that the window never
// confirms a restore that did not happen, or one that may not be on the disk.
#pragma once

#include <cstdint>

#include "registry/RegistryApi.h"
#include "registry/WinError.h"
#include "userkeys/UserKeyTable.h"

namespace kz {

enum class RestoreStep : std::uint8_t { None, Open, Write, Flush, Close };

struct RestoreResult {
    std::uint16_t unwritten = 0;  // bit `slot` set: that value was not written
    RestoreStep firstFailedStep = RestoreStep::None;
    int firstFailedSlot = -1;  // the value's slot when the first failure was a write
    WinError firstError = win_error::kSuccess;

    [[nodiscard]] constexpr bool Clean() const { return firstFailedStep == RestoreStep::None; }
    [[nodiscard]] constexpr bool Written(int slot) const { return ((unwritten >> slot) & 1u) == 0; }
};

RestoreResult RestoreUserKeys(RegistryApi& registry);

}  // namespace kz
