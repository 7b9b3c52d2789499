// The restore as the platform sees it: one create, nine sets in the MMI's
// order with their exact bytes, one flush, one close; and what the result
// says when any of those fail.
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
    std::uint32_t size;  // the byte count the MMI's reader sees, NUL included
    std::string data;
};

std::string Sz(const std::string& text) { return text + '\0'; }
std::string Command(char axis) {
    return Sz(std::string("\"C:\\Program Files\\Power Automation\\Mmi\\P") + axis + ".EXE\"");
}

const ExpectedSet kNineSets[] = {
    {"UserKeyLevel1", 4, 4, std::string("\x00\x03\x07\x00", 4)},
    {"UserKey1", 1, 14, Sz(std::string("X") + kGbkAxisOffset)},
    {"UserApplication1", 1, 47, Command('X')},
    {"UserKeyLevel2", 4, 4, std::string("\x00\x04\x07\x00", 4)},
    {"UserKey2", 1, 14, Sz(std::string("Y") + kGbkAxisOffset)},
    {"UserApplication2", 1, 47, Command('Y')},
    {"UserKeyLevel3", 4, 4, std::string("\x00\x05\x07\x00", 4)},
    {"UserKey3", 1, 14, Sz(std::string("Z") + kGbkAxisOffset)},
    {"UserApplication3", 1, 47, Command('Z')},
};

TEST(RestoreUserKeys, MakesOneCreateNineSetsThenFlushesAndCloses) {
    RecordingRegistry registry(CodePage::Gbk936);
    const RestoreResult result = RestoreUserKeys(registry);
    EXPECT_TRUE(result.Clean());
    EXPECT_EQ(result.unwritten, 0u);

    const auto& calls = registry.calls();
    ASSERT_EQ(calls.size(), 12u);
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
        EXPECT_EQ(set.kind, expected.kind);
        EXPECT_EQ(set.size, expected.size);
        EXPECT_EQ(Hex(set.data), Hex(expected.data));
    }
    // The flush comes after the ninth write and before the close, on the one
    // key handle: the confirmation may follow only once the values are on disk.
    EXPECT_EQ(calls[10].call, Call::FlushKey);
    EXPECT_EQ(calls[10].key, RecordingRegistry::kOpenedKey);
    EXPECT_EQ(calls[11].call, Call::CloseKey);
    EXPECT_EQ(calls[11].key, RecordingRegistry::kOpenedKey);
}

TEST(RestoreUserKeys, FailedOpenStillMakesEveryCallAndReportsAllUnwritten) {
    RecordingRegistry registry;
    registry.FailOpen(win_error::kAccessDenied);
    const RestoreResult result = RestoreUserKeys(registry);

    ASSERT_EQ(registry.calls().size(), 12u);
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

    ASSERT_EQ(registry.calls().size(), 12u);
    EXPECT_EQ(result.firstFailedStep, RestoreStep::Write);
    EXPECT_EQ(result.firstFailedSlot, 4);
    EXPECT_EQ(result.firstError, win_error::kAccessDenied);
    for (int slot = 0; slot < kUserKeyValueCount; ++slot) {
        EXPECT_EQ(result.Written(slot), slot != 4 && slot != 7) << "slot " << slot;
    }
}

TEST(RestoreUserKeys, FailedFlushOrCloseIsNotCleanButEveryValueWasWritten) {
    // After a failed flush the values may not be on the disk: no confirmation.
    for (const RestoreStep step : {RestoreStep::Flush, RestoreStep::Close}) {
        RecordingRegistry registry;
        step == RestoreStep::Flush ? registry.FailFlush(win_error::kRegistryIo)
                                   : registry.FailClose(win_error::kRegistryIo);
        const RestoreResult result = RestoreUserKeys(registry);
        EXPECT_EQ(result.firstFailedStep, step);
        EXPECT_EQ(result.firstError, win_error::kRegistryIo);
        EXPECT_EQ(result.unwritten, 0u);
        EXPECT_EQ(registry.calls().back().call, Call::CloseKey);
    }
}

TEST(RestoreUserKeys, LabelsGoWideWhereTheCodePageLacksChinese) {
    RecordingRegistry registry(CodePage::Latin1252);
    EXPECT_TRUE(RestoreUserKeys(registry).Clean());
    const auto& calls = registry.calls();
    ASSERT_EQ(calls.size(), 12u);
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
