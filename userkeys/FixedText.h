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
    consteval FixedText& operator+=(std::u16string_view text) {
        for (const char16_t c : text) {
            *this += c;
        }
        return *this;
    }

    consteval FixedText& operator+=(char16_t c) {
        // Index N holds the terminating NUL: text may fill up to it, not onto it.
        if (size_ >= N) {
            TextLongerThanItsFixedLength();
        }
        chars_[size_++] = c;
        return *this;
    }

    [[nodiscard]] constexpr std::size_t size() const { return size_; }
    [[nodiscard]] constexpr const char16_t* c_str() const { return chars_.data(); }
    [[nodiscard]] constexpr std::u16string_view view() const { return {chars_.data(), size_}; }

private:
    // Not constexpr: reaching it stops the compile with the name as the reason.
    static void TextLongerThanItsFixedLength() {}

    std::array<char16_t, N + 1> chars_{};  // zero-filled: the NUL after the text is already there
    std::size_t size_ = 0;
};

}  // namespace kz
