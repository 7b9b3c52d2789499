// Bytes as hex pairs, so that a failed comparison prints readable data.
#pragma once

#include <string>
#include <string_view>

namespace kz::test {

inline std::string Hex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (!text.empty()) {
            text += ' ';
        }
        text += kDigits[b >> 4];
        text += kDigits[b & 0xF];
    }
    return text;
}

// A string_view over a literal, its terminating NUL included.
template <std::size_t N>
std::string WithNul(const char (&literal)[N]) {
    return std::string(literal, N);
}

}  // namespace kz::test
