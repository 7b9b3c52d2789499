// The text of the error box shown when the user keys could not be restored:
// which key, which values did not reach it, and the first Windows error.
#pragma once

#include <string_view>

#include "app/TextBuilder.h"
#include "userkeys/RestoreUserKeys.h"

namespace kz {

using FailureText = TextBuilder<1024>;

// `systemText` is Windows' own description of result.firstError, or empty
// when there is none; the number is shown either way.
FailureText FailureMessage(const RestoreResult& result, std::u16string_view systemText);

}  // namespace kz
