// The three user keys against the texts and numbers the MMI expects.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "userkeys/UserKeyTable.h"

namespace kz::test {
namespace {

struct ExpectedUserKey {
    char16_t axis;
    std::uint32_t levelWord;
    std::u16string_view label;
    std::u16string_view commandLine;
    std::u16string_view levelName;
    std::u16string_view labelName;
    std::u16string_view commandName;
};

constexpr ExpectedUserKey kExpected[] = {
    {u'X', 459520, u"X轴对刀偏移量", u"\"C:\\Program Files\\Power Automation\\Mmi\\PX.EXE\"",
     u"UserKeyLevel1", u"UserKey1", u"UserApplication1"},
    {u'Y', 459776, u"Y轴对刀偏移量", u"\"C:\\Program Files\\Power Automation\\Mmi\\PY.EXE\"",
     u"UserKeyLevel2", u"UserKey2", u"UserApplication2"},
    {u'Z', 460032, u"Z轴对刀偏移量", u"\"C:\\Program Files\\Power Automation\\Mmi\\PZ.EXE\"",
     u"UserKeyLevel3", u"UserKey3", u"UserApplication3"},
};

std::string Narrow(std::u16string_view text) {  // for messages only
    std::string out;
    for (const char16_t c : text) {
        out += c < 0x80 ? static_cast<char>(c) : '#';
    }
    return out;
}

TEST(UserKeyTable, RowsHoldTheMmiTextsAndNumbers) {
    ASSERT_EQ(UserKeyTable.size(), std::size(kExpected));
    for (std::size_t row = 0; row < UserKeyTable.size(); ++row) {
        const UserKeyEntry& entry = UserKeyTable[row];
        const ExpectedUserKey& expected = kExpected[row];
        SCOPED_TRACE("user key " + std::to_string(row + 1));
        EXPECT_EQ(entry.axisLetter, expected.axis);
        EXPECT_EQ(entry.levelWord, expected.levelWord);
        EXPECT_TRUE(entry.label.view() == expected.label) << Narrow(entry.label.view());
        EXPECT_TRUE(entry.commandLine.view() == expected.commandLine) << Narrow(entry.commandLine.view());
        EXPECT_TRUE(entry.levelName.view() == expected.levelName) << Narrow(entry.levelName.view());
        EXPECT_TRUE(entry.labelName.view() == expected.labelName) << Narrow(entry.labelName.view());
        EXPECT_TRUE(entry.commandName.view() == expected.commandName) << Narrow(entry.commandName.view());

        // The level word's bytes, lowest first, are 00, n + 2, 07, 00.
        EXPECT_EQ(entry.levelWord & 0xFFu, 0u);
        EXPECT_EQ((entry.levelWord >> 8) & 0xFFu, row + 3);
        EXPECT_EQ(entry.levelWord >> 16, 0x0007u);

        // Seven characters of label; 46 of command line, quotes included.
        EXPECT_EQ(entry.label.size(), 7u);
        EXPECT_EQ(entry.commandLine.size(), 46u);
        EXPECT_EQ(entry.commandLine.view().front(), u'"');
        EXPECT_EQ(entry.commandLine.view().back(), u'"');

        // What the registry calls receive must end where the text ends.
        EXPECT_EQ(entry.label.c_str()[entry.label.size()], u'\0');
        EXPECT_EQ(entry.commandLine.c_str()[entry.commandLine.size()], u'\0');
    }
}

TEST(UserKeyTable, ValueNamesFollowTheWriteOrder) {
    constexpr std::u16string_view kOrder[] = {
        u"UserKeyLevel1", u"UserKey1", u"UserApplication1", u"UserKeyLevel2", u"UserKey2",
        u"UserApplication2", u"UserKeyLevel3", u"UserKey3", u"UserApplication3",
    };
    static_assert(std::size(kOrder) == kUserKeyValueCount);
    for (int slot = 0; slot < kUserKeyValueCount; ++slot) {
        EXPECT_TRUE(UserKeyValueName(slot) == kOrder[slot]) << "slot " << slot;
    }
}

}  // namespace
}  // namespace kz::test
