// FixedText: UTF-16 text of a length fixed at compile time, always followed
// by a NUL so that it can be handed to the registry calls as it is. The user
// keys' names, labels and command lines are put together from it in constant
// evaluation; writing past N there is a compile error, not a silent overrun.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace kz {

template <std::size_t N>
class FixedText {
public:
    constexpr FixedText& operator+=(std::u16string_view text) {
        for (const char16_t c : text) {
            *this += c;
        }
        return *this;
    }

    constexpr FixedText& operator+=(char16_t c) {
        chars_.at(size_) = c;
        ++size_;
        return *this;
    }

    [[nodiscard]] constexpr std::size_t size() const { return size_; }
    [[nodiscard]] constexpr const char16_t* c_str() const { return chars_.data(); }
    [[nodiscard]] constexpr std::u16string_view view() const { return {chars_.data(), size_}; }

private:
    std::array<char16_t, N + 1> chars_{};  // zero-filled: the NUL after the text is already there
    std::size_t size_ = 0;
};

}  // namespace kz
