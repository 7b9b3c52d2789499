// The two kinds of registry value the user keys are made of, with the codes
// the registry itself uses for them (REG_SZ and REG_DWORD).
#pragma once

#include <cstdint>

namespace kz {

enum class RegValueKind : std::uint32_t {
    Sz = 1,     // REG_SZ: NUL-terminated text
    Dword = 4,  // REG_DWORD: 32-bit unsigned, little-endian
};

}  // namespace kz
