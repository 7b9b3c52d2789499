// A registry that only listens: it records every call RegWriter makes, in
// order, with the exact bytes it was handed, and answers with whatever result
// a test has set for that call. Its code page is a choice of the test: 936
// knows the Chinese characters of the user-key labels, 1252 knows none.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "registry/RegistryApi.h"

namespace kz::test {

enum class Call { CreateKeyA, CreateKeyW, SetValueA, SetValueW, FlushKey, CloseKey };

const char* CallName(Call call);

struct RecordedCall {
    Call call = Call::CloseKey;
    RootKey root = RootKey::CurrentUser;
    RegKeyHandle key = RegKeyHandle::Empty;
    std::string path;  // CreateKey*: the bytes of the path (UTF-16 as little-endian pairs for W)
    std::string name;  // SetValue*: the bytes of the value name, likewise
    std::uint32_t kind = 0;
    std::string data;  // exactly `size` bytes from the data pointer
    std::uint32_t size = 0;
};

class RecordingRegistry final : public RegistryApi {
public:
    static constexpr RegKeyHandle kOpenedKey = static_cast<RegKeyHandle>(0x1234);

    enum class CodePage { Gbk936, Latin1252 };

    explicit RecordingRegistry(CodePage codePage = CodePage::Gbk936) : codePage_(codePage) {}

    // Results to hand back: for the open, for the n-th set (0-based, counting
    // both A and W calls), for the flush, for the close. Unset ones succeed,
    // except that setting, flushing or closing an empty handle fails as
    // Windows does.
    void FailOpen(WinError error) { openResult_ = error; }
    void FailSet(int index, WinError error) { setResults_[index] = error; }
    void FailFlush(WinError error) { flushResult_ = error; }
    void FailClose(WinError error) { closeResult_ = error; }
    void FailConversion(WinError error) { conversionError_ = error; }

    [[nodiscard]] const std::vector<RecordedCall>& calls() const { return calls_; }

    WinError CreateKeyA(RootKey root, const char* path, RegKeyHandle& key) override;
    WinError CreateKeyW(RootKey root, const char16_t* path, RegKeyHandle& key) override;
    WinError SetValueA(RegKeyHandle key, const char* name, RegValueKind kind, const std::byte* data,
                       std::uint32_t size) override;
    WinError SetValueW(RegKeyHandle key, const char16_t* name, RegValueKind kind, const std::byte* data,
                       std::uint32_t size) override;
    WinError FlushKey(RegKeyHandle key) override;
    WinError CloseKey(RegKeyHandle key) override;
    AnsiConversion ToAnsi(std::u16string_view text, std::span<char> out) override;

private:
    WinError CreateKey(Call call, RootKey root, std::string path, RegKeyHandle& key);
    WinError KeyCall(Call call, RegKeyHandle key, const std::optional<WinError>& preset);
    WinError SetValue(Call call, RegKeyHandle key, std::string name, RegValueKind kind,
                      const std::byte* data, std::uint32_t size);

    CodePage codePage_;
    std::optional<WinError> openResult_;
    std::map<int, WinError> setResults_;
    std::optional<WinError> flushResult_;
    std::optional<WinError> closeResult_;
    std::optional<WinError> conversionError_;
    int setCount_ = 0;
    std::vector<RecordedCall> calls_;
};

// The bytes of NUL-terminated UTF-16 text as the wide calls receive them.
std::string Utf16Bytes(std::u16string_view text);

}  // namespace kz::test
