#include "RecordingRegistry.h"

#include <cstring>
#include <utility>

namespace kz::test {

namespace {

// GBK (code page 936) forms of the Chinese characters the user keys carry.
struct GbkChar {
    char16_t utf16;
    char bytes[2];
};
constexpr GbkChar kGbk[] = {
    {u'轴', {'\xD6', '\xE1'}}, {u'对', {'\xB6', '\xD4'}}, {u'刀', {'\xB5', '\xB6'}},
    {u'偏', {'\xC6', '\xAB'}}, {u'移', {'\xD2', '\xC6'}}, {u'量', {'\xC1', '\xBF'}},
};

}  // namespace

const char* CallName(Call call) {
    switch (call) {
    case Call::CreateKeyA: return "RegCreateKeyA";
    case Call::CreateKeyW: return "RegCreateKeyW";
    case Call::SetValueA: return "RegSetValueExA";
    case Call::SetValueW: return "RegSetValueExW";
    case Call::FlushKey: return "RegFlushKey";
    case Call::CloseKey: return "RegCloseKey";
    }
    return "?";
}

std::string Utf16Bytes(std::u16string_view text) {
    std::string bytes;
    for (const char16_t c : text) {
        bytes += static_cast<char>(c & 0xFF);
        bytes += static_cast<char>(c >> 8);
    }
    return bytes;
}

WinError RecordingRegistry::CreateKey(Call call, RootKey root, std::string path, RegKeyHandle& key) {
    RecordedCall recorded;
    recorded.call = call;
    recorded.root = root;
    recorded.path = std::move(path);
    calls_.push_back(std::move(recorded));
    const WinError result = openResult_.value_or(win_error::kSuccess);
    if (result == win_error::kSuccess) {
        key = kOpenedKey;
    }
    return result;
}

WinError RecordingRegistry::CreateKeyA(RootKey root, const char* path, RegKeyHandle& key) {
    return CreateKey(Call::CreateKeyA, root, path, key);
}

WinError RecordingRegistry::CreateKeyW(RootKey root, const char16_t* path, RegKeyHandle& key) {
    return CreateKey(Call::CreateKeyW, root, Utf16Bytes(path), key);
}

WinError RecordingRegistry::SetValue(Call call, RegKeyHandle key, std::string name, RegValueKind kind,
                                     const std::byte* data, std::uint32_t size) {
    RecordedCall recorded;
    recorded.call = call;
    recorded.key = key;
    recorded.name = std::move(name);
    recorded.kind = static_cast<std::uint32_t>(kind);
    recorded.data.assign(reinterpret_cast<const char*>(data), size);
    recorded.size = size;
    calls_.push_back(std::move(recorded));

    const int index = setCount_++;
    if (const auto preset = setResults_.find(index); preset != setResults_.end()) {
        return preset->second;
    }
    return key == RegKeyHandle::Empty ? win_error::kInvalidHandle : win_error::kSuccess;
}

WinError RecordingRegistry::SetValueA(RegKeyHandle key, const char* name, RegValueKind kind,
                                      const std::byte* data, std::uint32_t size) {
    return SetValue(Call::SetValueA, key, name, kind, data, size);
}

WinError RecordingRegistry::SetValueW(RegKeyHandle key, const char16_t* name, RegValueKind kind,
                                      const std::byte* data, std::uint32_t size) {
    return SetValue(Call::SetValueW, key, Utf16Bytes(name), kind, data, size);
}

WinError RecordingRegistry::KeyCall(Call call, RegKeyHandle key, const std::optional<WinError>& preset) {
    RecordedCall recorded;
    recorded.call = call;
    recorded.key = key;
    calls_.push_back(std::move(recorded));
    if (preset) {
        return *preset;
    }
    return key == RegKeyHandle::Empty ? win_error::kInvalidHandle : win_error::kSuccess;
}

WinError RecordingRegistry::FlushKey(RegKeyHandle key) { return KeyCall(Call::FlushKey, key, flushResult_); }

WinError RecordingRegistry::CloseKey(RegKeyHandle key) { return KeyCall(Call::CloseKey, key, closeResult_); }

AnsiConversion RecordingRegistry::ToAnsi(std::u16string_view text, std::span<char> out) {
    if (conversionError_) {
        return {*conversionError_, 0, false};
    }
    std::string converted;
    bool exact = true;
    for (const char16_t c : text) {
        if (c < 0x80) {
            converted += static_cast<char>(c);
            continue;
        }
        const GbkChar* known = nullptr;
        if (codePage_ == CodePage::Gbk936) {
            for (const GbkChar& gbk : kGbk) {
                if (gbk.utf16 == c) {
                    known = &gbk;
                }
            }
        }
        if (known != nullptr) {
            converted.append(known->bytes, 2);
        } else {
            converted += '?';  // the code page's default character
            exact = false;
        }
    }
    if (converted.size() > out.size()) {
        return {win_error::kInsufficientBuffer, 0, false};
    }
    std::memcpy(out.data(), converted.data(), converted.size());
    return {win_error::kSuccess, converted.size(), exact};
}

}  // namespace kz::test
