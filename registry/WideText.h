// Windows' wide characters are UTF-16 code units, as char16_t are: the
// program keeps its text as char16_t, hands it to the wide (W) Windows
// functions and takes theirs back through these two casts.
// Windows code only: where wchar_t is wider (as on Linux), the header stops
// the compile.
#pragma once

namespace kz {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "a wide character is one UTF-16 code unit");

inline const wchar_t* AsWide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }

inline const char16_t* AsUtf16(const wchar_t* text) { return reinterpret_cast<const char16_t*>(text); }

}  // namespace kz
