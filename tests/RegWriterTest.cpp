// What RegWriter hands the platform: entry point, handle, kind, exact bytes
// and byte count, and what it does when a call fails.
#include <gtest/gtest.h>

#include <string>

#include "Hex.h"
#include "RecordingRegistry.h"
#include "registry/RegWriter.h"

namespace kz::test {
namespace {

using CodePage = RecordingRegistry::CodePage;

TEST(RegWriter, OpenCloseReachThePlatformWithPathAndHandle) {
    RecordingRegistry registry;
    {
        RegWriter writer(registry);
        EXPECT_EQ(writer.Open(RootKey::CurrentUser, u"Software\\A\\B"), win_error::kSuccess);
        EXPECT_TRUE(writer.IsOpen());
        EXPECT_EQ(writer.Close(), win_error::kSuccess);
        EXPECT_FALSE(writer.IsOpen());
    }  // already closed: the destructor must not close again

    const auto& calls = registry.calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].call, Call::CreateKeyA);
    EXPECT_EQ(calls[0].root, RootKey::CurrentUser);
    EXPECT_EQ(calls[0].path, "Software\\A\\B");
    EXPECT_EQ(calls[1].call, Call::CloseKey);
    EXPECT_EQ(calls[1].key, RecordingRegistry::kOpenedKey);
}

TEST(RegWriter, DestructorClosesAKeyLeftOpen) {
    RecordingRegistry registry;
    {
        RegWriter writer(registry);
        ASSERT_EQ(writer.Open(RootKey::CurrentUser, u"K"), win_error::kSuccess);
    }
    ASSERT_EQ(registry.calls().size(), 2u);
    EXPECT_EQ(registry.calls()[1].call, Call::CloseKey);
    EXPECT_EQ(registry.calls()[1].key, RecordingRegistry::kOpenedKey);
}

TEST(RegWriter, DwordIsFourLittleEndianBytes) {
    RecordingRegistry registry;
    RegWriter writer(registry);
    ASSERT_EQ(writer.Open(RootKey::CurrentUser, u"K"), win_error::kSuccess);
    EXPECT_EQ(writer.WriteDword(u"Level", 0x12345678u), win_error::kSuccess);

    const RecordedCall& set = registry.calls().at(1);
    EXPECT_EQ(set.call, Call::SetValueA);
    EXPECT_EQ(set.key, RecordingRegistry::kOpenedKey);
    EXPECT_EQ(set.name, "Level");
    EXPECT_EQ(set.kind, 4u);
    EXPECT_EQ(set.size, 4u);
    EXPECT_EQ(Hex(set.data), "78 56 34 12");
}

TEST(RegWriter, StringIsAnsiBytesAndOneNul) {
    RecordingRegistry registry(CodePage::Gbk936);
    RegWriter writer(registry);
    ASSERT_EQ(writer.Open(RootKey::CurrentUser, u"K"), win_error::kSuccess);
    EXPECT_EQ(writer.WriteString(u"Label", u"Y轴对刀偏移量"), win_error::kSuccess);
    EXPECT_EQ(writer.WriteString(u"Empty", u""), win_error::kSuccess);

    const RecordedCall& label = registry.calls().at(1);
    EXPECT_EQ(label.call, Call::SetValueA);
    EXPECT_EQ(label.kind, 1u);
    EXPECT_EQ(label.size, 14u);  // 1 + 6 * 2 bytes of GBK, then the NUL
    EXPECT_EQ(Hex(label.data), Hex(WithNul("Y\xD6\xE1\xB6\xD4\xB5\xB6\xC6\xAB\xD2\xC6\xC1\xBF")));

    const RecordedCall& empty = registry.calls().at(2);
    EXPECT_EQ(empty.size, 1u);
    EXPECT_EQ(Hex(empty.data), "00");
}

TEST(RegWriter, TextWithoutAnExactAnsiFormGoesThroughTheWideCall) {
    RecordingRegistry registry(CodePage::Latin1252);
    RegWriter writer(registry);
    ASSERT_EQ(writer.Open(RootKey::CurrentUser, u"K"), win_error::kSuccess);
    EXPECT_EQ(writer.WriteString(u"Label", u"Z轴对刀偏移量"), win_error::kSuccess);
    EXPECT_EQ(writer.WriteString(u"Plain", u"Z"), win_error::kSuccess);

    const RecordedCall& wide = registry.calls().at(1);
    EXPECT_EQ(wide.call, Call::SetValueW);
    EXPECT_EQ(wide.name, Utf16Bytes(u"Label"));
    EXPECT_EQ(wide.kind, 1u);
    EXPECT_EQ(wide.size, 16u);  // 7 UTF-16 units and the NUL, two bytes each
    EXPECT_EQ(Hex(wide.data), Hex(Utf16Bytes(std::u16string_view(u"Z轴对刀偏移量", 8))));

    // Text the code page does hold still takes the ANSI call.
    EXPECT_EQ(registry.calls().at(2).call, Call::SetValueA);
}

TEST(RegWriter, NameOrPathWithoutAnExactAnsiFormGoesThroughTheWideCall) {
    RecordingRegistry registry(CodePage::Latin1252);
    RegWriter writer(registry);
    ASSERT_EQ(writer.Open(RootKey::CurrentUser, u"Software\\偏移"), win_error::kSuccess);
    EXPECT_EQ(writer.WriteDword(u"偏移", 7), win_error::kSuccess);
    EXPECT_EQ(writer.WriteString(u"偏移", u"ascii"), win_error::kSuccess);

    const auto& calls = registry.calls();
    EXPECT_EQ(calls.at(0).call, Call::CreateKeyW);
    EXPECT_EQ(calls.at(0).path, Utf16Bytes(u"Software\\偏移"));
    EXPECT_EQ(calls.at(1).call, Call::SetValueW);
    EXPECT_EQ(Hex(calls.at(1).data), "07 00 00 00");
    EXPECT_EQ(calls.at(2).call, Call::SetValueW);
    EXPECT_EQ(calls.at(2).size, 12u);
}

TEST(RegWriter, FailedConversionNeverTruncatesTheText) {
    // Longer than any buffer the ANSI path keeps: it must arrive whole.
    const std::u16string longText(2000, u'x');
    RecordingRegistry registry;
    RegWriter writer(registry);
    ASSERT_EQ(writer.Open(RootKey::CurrentUser, u"K"), win_error::kSuccess);
    EXPECT_EQ(writer.WriteString(u"Long", longText.c_str()), win_error::kSuccess);
    const RecordedCall& set = registry.calls().at(1);
    EXPECT_EQ(set.call, Call::SetValueW);
    EXPECT_EQ(set.size, 2u * 2001u);

    registry.FailConversion(win_error::kInvalidParameter);
    EXPECT_EQ(writer.WriteString(u"Short", u"x"), win_error::kSuccess);
    EXPECT_EQ(registry.calls().at(2).call, Call::SetValueW);
    EXPECT_EQ(Hex(registry.calls().at(2).data), "78 00 00 00");
}

TEST(RegWriter, AfterAFailedOpenEveryCallIsStillMadeAndFails) {
    RecordingRegistry registry;
    registry.FailOpen(win_error::kAccessDenied);
    RegWriter writer(registry);
    EXPECT_EQ(writer.Open(RootKey::CurrentUser, u"K"), win_error::kAccessDenied);
    EXPECT_FALSE(writer.IsOpen());
    EXPECT_EQ(writer.WriteDword(u"D", 1), win_error::kInvalidHandle);
    EXPECT_EQ(writer.WriteString(u"S", u"s"), win_error::kInvalidHandle);
    EXPECT_EQ(writer.Close(), win_error::kInvalidHandle);

    const auto& calls = registry.calls();
    ASSERT_EQ(calls.size(), 4u);
    for (std::size_t i = 1; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].key, RegKeyHandle::Empty) << CallName(calls[i].call);
    }
}

TEST(RegWriter, ReportsEachCallsOwnError) {
    RecordingRegistry registry;
    registry.FailSet(0, win_error::kAccessDenied);
    registry.FailClose(win_error::kInvalidHandle);
    RegWriter writer(registry);
    EXPECT_EQ(writer.Open(RootKey::CurrentUser, u"K"), win_error::kSuccess);
    EXPECT_EQ(writer.WriteDword(u"A", 1), win_error::kAccessDenied);
    EXPECT_EQ(writer.WriteDword(u"B", 2), win_error::kSuccess);
    EXPECT_EQ(writer.Close(), win_error::kInvalidHandle);
    EXPECT_FALSE(writer.IsOpen());  // a failed close still lets go of the handle
}

}  // namespace
}  // namespace kz::test
