// The conversions and byte counts behind RegWriter's operations.
#include "registry/RegWriter.h"

#include <array>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace kz {

namespace {

// Room for any text this program writes many times over: a path or name is
// short, and the longest value is a 46-character command line. Text that does
// not fit is never cut short; it goes through the wide call instead.
constexpr std::size_t kAnsiCapacity = 512;

// UTF-16 text converted to the ANSI code page, NUL-terminated. `usable` is
// false when the conversion failed or lost characters, so the wide call must
// carry the text instead.
class AnsiText {
public:
    AnsiText(RegistryApi& registry, const char16_t* text) {
        const std::u16string_view view(text);
        // Keep one byte back for the terminating NUL.
        const AnsiConversion converted =
            registry.ToAnsi(view, std::span<char>(bytes_.data(), bytes_.size() - 1));
        usable_ = converted.error == win_error::kSuccess && converted.exact &&
                  converted.length < bytes_.size();
        length_ = usable_ ? converted.length : 0;
        bytes_[length_] = '\0';
    }

    [[nodiscard]] bool usable() const { return usable_; }
    [[nodiscard]] const char* c_str() const { return bytes_.data(); }
    [[nodiscard]] std::size_t length() const { return length_; }

private:
    std::array<char, kAnsiCapacity> bytes_{};
    std::size_t length_ = 0;
    bool usable_ = false;
};

std::size_t Utf16Length(const char16_t* text) { return std::char_traits<char16_t>::length(text); }

const std::byte* AsBytes(const void* data) { return static_cast<const std::byte*>(data); }

}  // namespace

RegWriter::~RegWriter() {
    if (IsOpen()) {
        // Nobody is left to hear about a failed close on the way out.
        static_cast<void>(Close());
    }
}

WinError RegWriter::Open(RootKey root, const char16_t* path) {
    const AnsiText ansiPath(registry_, path);
    return ansiPath.usable() ? registry_.CreateKeyA(root, ansiPath.c_str(), key_)
                             : registry_.CreateKeyW(root, path, key_);
}

WinError RegWriter::WriteDword(const char16_t* name, std::uint32_t value) {
    // REG_DWORD is little-endian whatever the host: lowest byte first.
    const std::array<std::byte, 4> data = {
        static_cast<std::byte>(value & 0xFFu),
        static_cast<std::byte>((value >> 8) & 0xFFu),
        static_cast<std::byte>((value >> 16) & 0xFFu),
        static_cast<std::byte>((value >> 24) & 0xFFu),
    };
    const AnsiText ansiName(registry_, name);
    return ansiName.usable()
               ? registry_.SetValueA(key_, ansiName.c_str(), RegValueKind::Dword, data.data(), 4)
               : registry_.SetValueW(key_, name, RegValueKind::Dword, data.data(), 4);
}

WinError RegWriter::WriteString(const char16_t* name, const char16_t* text) {
    const AnsiText ansiName(registry_, name);
    const AnsiText ansiText(registry_, text);
    if (ansiName.usable() && ansiText.usable()) {
        // The byte count includes the one terminating NUL and nothing past it.
        const auto size = static_cast<std::uint32_t>(ansiText.length() + 1);
        return registry_.SetValueA(key_, ansiName.c_str(), RegValueKind::Sz, AsBytes(ansiText.c_str()),
                                   size);
    }
    // Two bytes a UTF-16 unit, terminating NUL included.
    const auto size = static_cast<std::uint32_t>((Utf16Length(text) + 1) * sizeof(char16_t));
    return registry_.SetValueW(key_, name, RegValueKind::Sz, AsBytes(text), size);
}

WinError RegWriter::Flush() { return registry_.FlushKey(key_); }

WinError RegWriter::Close() {
    const WinError result = registry_.CloseKey(key_);
    key_ = RegKeyHandle::Empty;
    return result;
}

}  // namespace kz
