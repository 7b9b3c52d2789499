// The restore as the platform sees it: one create, nine sets in the MMI's
// order with their exact bytes, one close; and what the result says when any
// of those fail.
#include <gtest/gtest.h>

#include <string>

#include "Hex.h"
#include "RecordingRegistry.h"
#include "userkeys/RestoreUserKeys.h"

namespace kz::test {
namespace {

using CodePage = RecordingRegistry::CodePage;

constexpr char kGbkAxisOffset[] = "\xD6\xE1\xB6\xD4\xB5\xB6\xC6\xAB\xD2\xC6\xC1\xBF";  // 轴对刀偏移量

struct ExpectedSet {
    const char* name;
    std::uint32_t kind;
    std::string data;  // NUL included for strings
};

std::string Sz(const std::string& text) { return text + '\0'; }
std::string Command(char axis) {
    return Sz(std::string("\"C:\\Program Files\\Power Automation\\Mmi\\P") + axis + ".EXE\"");
}

const ExpectedSet kNineSets[] = {
    {"UserKeyLevel1", 4, std::string("\x00\x03\x07\x00", 4)},
    {"UserKey1", 1, Sz(std::string("X") + kGbkAxisOffset)},
    {"UserApplication1", 1, Command('X')},
    {"UserKeyLevel2", 4, std::string("\x00\x04\x07\x00", 4)},
    {"UserKey2", 1, Sz(std::string("Y") + kGbkAxisOffset)},
    {"UserApplication2", 1, Command('Y')},
    {"UserKeyLevel3", 4, std::string("\x00\x05\x07\x00", 4)},
    {"UserKey3", 1, Sz(std::string("Z") + kGbkAxisOffset)},
    {"UserApplication3", 1, Command('Z')},
};

TEST(RestoreUserKeys, MakesOneCreateNineSetsAndOneClose) {
    RecordingRegistry registry(CodePage::Gbk936);
    const RestoreResult result = RestoreUserKeys(registry);
    EXPECT_TRUE(result.Clean());
    EXPECT_EQ(result.unwritten, 0u);

    const auto& calls = registry.calls();
    ASSERT_EQ(calls.size(), 11u);
    EXPECT_EQ(calls.front().call, Call::CreateKeyA);
    EXPECT_EQ(calls.front().root, RootKey::CurrentUser);
    EXPECT_EQ(calls.front().path, "Software\\PowerAutomation\\Mmi\\User");
    for (std::size_t i = 0; i < std::size(kNineSets); ++i) {
        const RecordedCall& set = calls[i + 1];
        const ExpectedSet& expected = kNineSets[i];
        SCOPED_TRACE(expected.name);
        EXPECT_EQ(set.call, Call::SetValueA);
        EXPECT_EQ(set.key, RecordingRegistry::kOpenedKey);
        EXPECT_EQ(set.name, expected.name);
        EXPECT_EQ(set.reserved, 0u);
        EXPECT_EQ(set.kind, expected.kind);
        EXPECT_EQ(set.size, expected.data.size());
        EXPECT_EQ(Hex(set.data), Hex(expected.data));
    }
    EXPECT_EQ(calls.back().call, Call::CloseKey);
    EXPECT_EQ(calls.back().key, RecordingRegistry::kOpenedKey);
}

TEST(RestoreUserKeys, PinsTheBytesTheMmiReads) {
    RecordingRegistry registry(CodePage::Gbk936);
    static_cast<void>(RestoreUserKeys(registry));
    const auto& calls = registry.calls();
    ASSERT_EQ(calls.size(), 11u);

    const RecordedCall& userKey3 = calls[8];
    EXPECT_EQ(userKey3.name, "UserKey3");
    EXPECT_EQ(userKey3.size, 14u);
    EXPECT_EQ(Hex(userKey3.data), "5A D6 E1 B6 D4 B5 B6 C6 AB D2 C6 C1 BF 00");

    const RecordedCall& application1 = calls[3];
    EXPECT_EQ(application1.name, "UserApplication1");
    EXPECT_EQ(application1.size, 47u);
    ASSERT_EQ(application1.data.size(), 47u);
    EXPECT_EQ(application1.data.front(), '"');
    EXPECT_EQ(application1.data[45], '"');
    EXPECT_EQ(application1.data[46], '\0');
    EXPECT_EQ(application1.data.substr(1, 44), "C:\\Program Files\\Power Automation\\Mmi\\PX.EXE");

    const RecordedCall& level2 = calls[4];
    EXPECT_EQ(level2.name, "UserKeyLevel2");
    EXPECT_EQ(level2.size, 4u);
    EXPECT_EQ(Hex(level2.data), "00 04 07 00");
}

TEST(RestoreUserKeys, FailedOpenStillMakesEveryCallAndReportsAllUnwritten) {
    RecordingRegistry registry;
    registry.FailOpen(win_error::kAccessDenied);
    const RestoreResult result = RestoreUserKeys(registry);

    ASSERT_EQ(registry.calls().size(), 11u);
    EXPECT_EQ(registry.calls().back().call, Call::CloseKey);
    EXPECT_FALSE(result.Clean());
    EXPECT_EQ(result.firstFailedStep, RestoreStep::Open);
    EXPECT_EQ(result.firstError, win_error::kAccessDenied);
    EXPECT_EQ(result.unwritten, 0x1FFu);
}

TEST(RestoreUserKeys, FailedWriteDoesNotStopTheOthers) {
    RecordingRegistry registry;
    registry.FailSet(4, win_error::kAccessDenied);  // UserKey2
    registry.FailSet(7, win_error::kInvalidParameter);  // UserKey3: a later failure
    const RestoreResult result = RestoreUserKeys(registry);

    ASSERT_EQ(registry.calls().size(), 11u);
    EXPECT_EQ(result.firstFailedStep, RestoreStep::Write);
    EXPECT_EQ(result.firstFailedSlot, 4);
    EXPECT_EQ(result.firstError, win_error::kAccessDenied);
    for (int slot = 0; slot < kUserKeyValueCount; ++slot) {
        EXPECT_EQ(result.Written(slot), slot != 4 && slot != 7) << "slot " << slot;
    }
}

TEST(RestoreUserKeys, FailedCloseIsNotCleanButEveryValueWasWritten) {
    RecordingRegistry registry;
    registry.FailClose(win_error::kInvalidHandle);
    const RestoreResult result = RestoreUserKeys(registry);
    EXPECT_FALSE(result.Clean());
    EXPECT_EQ(result.firstFailedStep, RestoreStep::Close);
    EXPECT_EQ(result.firstError, win_error::kInvalidHandle);
    EXPECT_EQ(result.unwritten, 0u);
}

TEST(RestoreUserKeys, LabelsGoWideWhereTheCodePageLacksChinese) {
    RecordingRegistry registry(CodePage::Latin1252);
    EXPECT_TRUE(RestoreUserKeys(registry).Clean());
    const auto& calls = registry.calls();
    ASSERT_EQ(calls.size(), 11u);
    EXPECT_EQ(calls[0].call, Call::CreateKeyA);
    for (std::size_t i = 1; i <= 9; ++i) {
        const bool label = i % 3 == 2;
        SCOPED_TRACE(i);
        EXPECT_EQ(calls[i].call, label ? Call::SetValueW : Call::SetValueA);
    }
    EXPECT_EQ(calls[2].name, Utf16Bytes(u"UserKey1"));
    EXPECT_EQ(Hex(calls[2].data), Hex(Utf16Bytes(std::u16string_view(u"X轴对刀偏移量", 8))));
    EXPECT_EQ(calls[2].size, 16u);
}

}  // namespace
}  // namespace kz::test
