// The restore against a real registry (Wine's advapi32 in a throwaway
// prefix): every value read back with the wide API, kind, size and exact
// data, and what the code page of the run does to the calls made.
//
// These tests rewrite HKEY_CURRENT_USER\Software\PowerAutomation, so they run
// only where the test run says the registry is a throwaway one.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "Hex.h"
#include "RecordingRegistry.h"
#include "registry/RegWriter.h"
#include "registry/Win32Registry.h"
#include "userkeys/RestoreUserKeys.h"

namespace kz::test {
namespace {

constexpr wchar_t kVendorKey[] = L"Software\\PowerAutomation";
constexpr wchar_t kUserKey[] = L"Software\\PowerAutomation\\Mmi\\User";

struct StoredValue {
    DWORD type = 0;
    std::string data;  // exactly the stored bytes

    bool operator==(const StoredValue&) const = default;
};

std::string Bytes(std::wstring_view text) {  // with the terminating NUL
    return Utf16Bytes(std::u16string_view(reinterpret_cast<const char16_t*>(text.data()), text.size() + 1));
}

// Every value of a key, read with RegEnumValueW into canary-filled buffers;
// `view` may ask for the 64-bit registry view.
std::map<std::wstring, StoredValue> ReadAllValues(const wchar_t* path, REGSAM view = 0) {
    std::map<std::wstring, StoredValue> values;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_READ | view, &key) != ERROR_SUCCESS) {
        return values;
    }
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD nameLength = 256;
        std::vector<BYTE> data(1024, 0xCC);
        DWORD size = static_cast<DWORD>(data.size());
        DWORD type = 0xFFFF;
        if (RegEnumValueW(key, index, name, &nameLength, nullptr, &type, data.data(), &size) != ERROR_SUCCESS) {
            break;
        }
        values[std::wstring(name, nameLength)] =
            StoredValue{type, std::string(reinterpret_cast<const char*>(data.data()), size)};
        EXPECT_EQ(data[size], 0xCC) << "read past the stored size";
    }
    RegCloseKey(key);
    return values;
}

void SetValue(HKEY key, const wchar_t* name, DWORD type, const std::string& data) {
    ASSERT_EQ(RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(data.data()),
                             static_cast<DWORD>(data.size())),
              ERROR_SUCCESS);
}

class RealRegistry : public ::testing::Test {
protected:
    void SetUp() override {
        const char* throwaway = std::getenv("KZ_THROWAWAY_REGISTRY");
        if (throwaway == nullptr || std::string(throwaway) != "1") {
            GTEST_SKIP() << "needs a throwaway registry (set KZ_THROWAWAY_REGISTRY=1)";
        }
        RegDeleteTreeW(HKEY_CURRENT_USER, kVendorKey);
    }
    void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, kVendorKey); }
};

std::map<std::wstring, StoredValue> TheNineValues() {
    const std::wstring axisOffset = L"轴对刀偏移量";
    const auto dword = [](std::uint32_t v) {
        return StoredValue{REG_DWORD, std::string(reinterpret_cast<const char*>(&v), 4)};
    };
    const auto sz = [](const std::wstring& text) { return StoredValue{REG_SZ, Bytes(text)}; };
    const auto command = [&](wchar_t axis) {
        return sz(std::wstring(L"\"C:\\Program Files\\Power Automation\\Mmi\\P") + axis + L".EXE\"");
    };
    return {
        {L"UserKeyLevel1", dword(459520)}, {L"UserKey1", sz(L"X" + axisOffset)},
        {L"UserApplication1", command(L'X')}, {L"UserKeyLevel2", dword(459776)},
        {L"UserKey2", sz(L"Y" + axisOffset)}, {L"UserApplication2", command(L'Y')},
        {L"UserKeyLevel3", dword(460032)}, {L"UserKey3", sz(L"Z" + axisOffset)},
        {L"UserApplication3", command(L'Z')},
    };
}

void ExpectSameValues(const std::map<std::wstring, StoredValue>& actual,
                      const std::map<std::wstring, StoredValue>& expected) {
    EXPECT_EQ(actual.size(), expected.size());
    for (const auto& [name, value] : expected) {
        const std::string printable(name.begin(), name.end());
        const auto found = actual.find(name);
        if (found == actual.end()) {
            ADD_FAILURE() << "missing value " << printable;
            continue;
        }
        EXPECT_EQ(found->second.type, value.type) << printable;
        EXPECT_EQ(found->second.data.size(), value.data.size()) << printable;
        EXPECT_EQ(Hex(found->second.data), Hex(value.data)) << printable;
    }
}

TEST_F(RealRegistry, RestoreCreatesTheKeyWithExactlyTheNineValues) {
    const RestoreResult result = RestoreUserKeys(SystemRegistry());
    EXPECT_TRUE(result.Clean()) << "error " << result.firstError;
    ExpectSameValues(ReadAllValues(kUserKey), TheNineValues());
}

TEST_F(RealRegistry, SixtyFourBitProgramsReadWhatTheRestoreWrote) {
    // On 64-bit Windows a 32-bit program's HKEY_CURRENT_USER\Software is not
    // redirected: read through the 64-bit view, the key holds what either
    // build wrote, so the MMI finds it whichever build it is.
    EXPECT_TRUE(RestoreUserKeys(SystemRegistry()).Clean());
    ExpectSameValues(ReadAllValues(kUserKey, KEY_WOW64_64KEY), TheNineValues());
}

TEST_F(RealRegistry, RestoreOverwritesItsOwnValuesOnlyAndTwiceIsLikeOnce) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyW(HKEY_CURRENT_USER, kUserKey, &key), ERROR_SUCCESS);
    SetValue(key, L"UserKey1", REG_DWORD, std::string("\x01\x00\x00\x00", 4));  // other kind
    SetValue(key, L"UserKeyLevel2", REG_SZ, Bytes(L"stale"));
    SetValue(key, L"UserKeyLevel4", REG_DWORD, std::string("\x00\x06\x07\x00", 4));
    SetValue(key, L"UserKey4", REG_SZ, Bytes(L"W轴"));
    SetValue(key, L"UserApplication4", REG_SZ, Bytes(L"\"C:\\PW.EXE\""));
    HKEY subkey = nullptr;
    ASSERT_EQ(RegCreateKeyW(key, L"Keep", &subkey), ERROR_SUCCESS);
    SetValue(subkey, L"Inside", REG_SZ, Bytes(L"kept"));
    RegCloseKey(subkey);
    RegCloseKey(key);
    const auto fourthKey = ReadAllValues(kUserKey);

    EXPECT_TRUE(RestoreUserKeys(SystemRegistry()).Clean());
    auto expected = TheNineValues();
    for (const wchar_t* name : {L"UserKeyLevel4", L"UserKey4", L"UserApplication4"}) {
        expected[name] = fourthKey.at(name);
    }
    const auto once = ReadAllValues(kUserKey);
    ExpectSameValues(once, expected);

    EXPECT_TRUE(RestoreUserKeys(SystemRegistry()).Clean());
    EXPECT_TRUE(ReadAllValues(kUserKey) == once) << "a second run changed the key";

    const auto inside = ReadAllValues(L"Software\\PowerAutomation\\Mmi\\User\\Keep");
    ASSERT_EQ(inside.size(), 1u);
    EXPECT_EQ(inside.at(L"Inside").data, Bytes(L"kept"));
}

// Forwards to the real registry and notes which entry points were used.
class CountingRegistry final : public RegistryApi {
public:
    WinError CreateKeyA(RootKey root, const char* path, RegKeyHandle& key) override {
        calls.push_back("CreateKeyA");
        return SystemRegistry().CreateKeyA(root, path, key);
    }
    WinError CreateKeyW(RootKey root, const char16_t* path, RegKeyHandle& key) override {
        calls.push_back("CreateKeyW");
        return SystemRegistry().CreateKeyW(root, path, key);
    }
    WinError SetValueA(RegKeyHandle key, const char* name, RegValueKind kind, const std::byte* data,
                       std::uint32_t size) override {
        calls.push_back("SetValueA:" + std::to_string(size));
        return SystemRegistry().SetValueA(key, name, kind, data, size);
    }
    WinError SetValueW(RegKeyHandle key, const char16_t* name, RegValueKind kind, const std::byte* data,
                       std::uint32_t size) override {
        calls.push_back("SetValueW:" + std::to_string(size));
        return SystemRegistry().SetValueW(key, name, kind, data, size);
    }
    WinError FlushKey(RegKeyHandle key) override {
        calls.push_back("FlushKey");
        return SystemRegistry().FlushKey(key);
    }
    WinError CloseKey(RegKeyHandle key) override {
        calls.push_back("CloseKey");
        return SystemRegistry().CloseKey(key);
    }
    AnsiConversion ToAnsi(std::u16string_view text, std::span<char> out) override {
        return SystemRegistry().ToAnsi(text, out);
    }

    std::vector<std::string> calls;
};

TEST_F(RealRegistry, CodePageDecidesTheEntryPointButNotWhatIsStored) {
    CountingRegistry counting;
    EXPECT_TRUE(RestoreUserKeys(counting).Clean());
    ExpectSameValues(ReadAllValues(kUserKey), TheNineValues());

    const std::string label = GetACP() == 936 ? "SetValueA:14" : "SetValueW:16";
    const std::vector<std::string> expected = {
        "CreateKeyA",    "SetValueA:4", label, "SetValueA:47", "SetValueA:4", label,
        "SetValueA:47",  "SetValueA:4", label, "SetValueA:47", "FlushKey", "CloseKey",
    };
    EXPECT_EQ(counting.calls, expected) << "code page " << GetACP();
}

TEST_F(RealRegistry, ConversionIsExactOnlyWhereTheCodePageHoldsTheText) {
    // The run names the code page its locale should give; a mismatch would
    // make the other checks here test the wrong thing.
    if (const char* expectedAcp = std::getenv("KZ_EXPECTED_ACP")) {
        ASSERT_EQ(std::to_string(GetACP()), expectedAcp);
    }
    char out[64];
    const AnsiConversion ascii = SystemRegistry().ToAnsi(u"UserKey1", out);
    EXPECT_EQ(ascii.error, win_error::kSuccess);
    EXPECT_TRUE(ascii.exact);
    EXPECT_EQ(std::string(out, ascii.length), "UserKey1");

    const AnsiConversion label = SystemRegistry().ToAnsi(u"X轴对刀偏移量", out);
    EXPECT_EQ(label.error, win_error::kSuccess);
    if (GetACP() == 936) {
        EXPECT_TRUE(label.exact);
        EXPECT_EQ(Hex(std::string(out, label.length)), "58 D6 E1 B6 D4 B5 B6 C6 AB D2 C6 C1 BF");
    } else {
        EXPECT_FALSE(label.exact) << "code page " << GetACP();
    }
}

TEST_F(RealRegistry, KeyThatCannotBeCreatedLeavesEveryValueUnwritten) {
    // A volatile parent refuses the lasting child the restore asks for.
    HKEY vendor = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kVendorKey, 0, nullptr, REG_OPTION_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &vendor, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(vendor);

    const RestoreResult result = RestoreUserKeys(SystemRegistry());
    EXPECT_EQ(result.firstFailedStep, RestoreStep::Open);
    EXPECT_EQ(result.firstError, static_cast<WinError>(ERROR_CHILD_MUST_BE_VOLATILE));
    EXPECT_EQ(result.unwritten, 0x1FFu);
    EXPECT_TRUE(ReadAllValues(kUserKey).empty());
    // The flush that follows has no key either: advapi32's refusal comes back.
    EXPECT_EQ(SystemRegistry().FlushKey(RegKeyHandle::Empty), static_cast<WinError>(ERROR_INVALID_HANDLE));
}

}  // namespace
}  // namespace kz::test
