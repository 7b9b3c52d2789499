// Windows' own description of a system error code, in the user's language.
#pragma once

#include <cstdint>
#include <string_view>

#include "app/TextBuilder.h"

namespace kz {

using SystemErrorText = TextBuilder<512>;

// Empty when Windows has no text for the code.
SystemErrorText DescribeSystemError(std::uint32_t error);

}  // namespace kz
