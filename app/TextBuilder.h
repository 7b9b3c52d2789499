// Builds a UTF-16 message in a fixed buffer: no heap, and text that would
// not fit is cut off at the end of the buffer instead of overrunning it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kz {

template <std::size_t Capacity>
class TextBuilder {
public:
    TextBuilder& operator<<(std::u16string_view text) {
        for (const char16_t c : text) {
            if (size_ + 1 >= chars_.size()) {
                break;
            }
            chars_[size_++] = c;
        }
        chars_[size_] = u'\0';
        return *this;
    }

    TextBuilder& operator<<(std::uint32_t number) {
        std::array<char16_t, 10> digits{};
        std::size_t count = 0;
        do {
            digits[count++] = static_cast<char16_t>(u'0' + number % 10);
            number /= 10;
        } while (number != 0);
        while (count > 0) {
            *this << std::u16string_view(&digits[--count], 1);
        }
        return *this;
    }

    [[nodiscard]] const char16_t* c_str() const { return chars_.data(); }
    [[nodiscard]] std::u16string_view view() const { return {chars_.data(), size_}; }

private:
    std::array<char16_t, Capacity> chars_{};
    std::size_t size_ = 0;
};

}  // namespace kz
