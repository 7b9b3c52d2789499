// Windows system error codes as the registry and code-page calls return them.
// The core keeps every platform result in this form so that a failure can be
// reported with Windows' own number, even where <windows.h> is not available.
#pragma once

#include <cstdint>

namespace kz {

using WinError = std::uint32_t;

namespace win_error {
inline constexpr WinError kSuccess = 0;                 // ERROR_SUCCESS
inline constexpr WinError kAccessDenied = 5;            // ERROR_ACCESS_DENIED
inline constexpr WinError kInvalidHandle = 6;           // ERROR_INVALID_HANDLE
inline constexpr WinError kInvalidParameter = 87;       // ERROR_INVALID_PARAMETER
inline constexpr WinError kInsufficientBuffer = 122;    // ERROR_INSUFFICIENT_BUFFER
inline constexpr WinError kRegistryIo = 1016;           // ERROR_REGISTRY_IO_FAILED
}  // namespace win_error

}  // namespace kz
