#include "app/SystemErrorText.h"

#include <windows.h>

#include <array>

#include "registry/WideText.h"

namespace kz {

SystemErrorText DescribeSystemError(std::uint32_t error) {
    std::array<wchar_t, 512> buffer{};
    // MAX_WIDTH_MASK folds the text onto one line; inserts are never filled in.
    DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
        nullptr, error, 0, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr);
    while (length > 0 && (buffer[length - 1] == L' ' || buffer[length - 1] == L'\r' ||
                          buffer[length - 1] == L'\n')) {
        --length;
    }
    SystemErrorText text;
    text << std::u16string_view(AsUtf16(buffer.data()), length);
    return text;
}

}  // namespace kz
