// The error box's text: what the operator or technician reads when the user
// keys did not go back.
#include <gtest/gtest.h>

#include <string>

#include "Utf8.h"
#include "app/FailureMessage.h"

namespace kz::test {
namespace {

RestoreResult Failed(RestoreStep step, int slot, WinError error, std::uint16_t unwritten) {
    RestoreResult result;
    result.firstFailedStep = step;
    result.firstFailedSlot = slot;
    result.firstError = error;
    result.unwritten = unwritten;
    return result;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(FailureMessage, FailedOpenNamesTheKeyEveryValueAndWindowsOwnText) {
    const std::string text =
        Utf8(FailureMessage(Failed(RestoreStep::Open, -1, 1021, 0x1FF), u"子项必须为可变。").view());
    for (const char* part : {
             "MMI 用户键未能恢复。",
             "注册表项：HKEY_CURRENT_USER\\Software\\PowerAutomation\\Mmi\\User\n",
             "未写入的值：UserKeyLevel1、UserKey1、UserApplication1、UserKeyLevel2、UserKey2、"
             "UserApplication2、UserKeyLevel3、UserKey3、UserApplication3\n",
             "出错步骤：打开或创建注册表项\n",
             "错误 1021：子项必须为可变。\n",
         }) {
        EXPECT_TRUE(Contains(text, part)) << "missing [" << part << "] in:\n" << text;
    }
}

TEST(FailureMessage, FailedWriteNamesOnlyTheValuesThatDidNotGoIn) {
    const std::string text =
        Utf8(FailureMessage(Failed(RestoreStep::Write, 4, 5, 1u << 4 | 1u << 8), u"").view());
    EXPECT_TRUE(Contains(text, "未写入的值：UserKey2、UserApplication3\n")) << text;
    EXPECT_TRUE(Contains(text, "出错步骤：写入值 UserKey2\n")) << text;
    // Without Windows' text the number still stands, with nothing after it.
    EXPECT_TRUE(Contains(text, "错误 5\n")) << text;
}

TEST(FailureMessage, FailedCloseSaysNothingWasLeftUnwritten) {
    const std::string text = Utf8(FailureMessage(Failed(RestoreStep::Close, -1, 6, 0), u"句柄无效。").view());
    EXPECT_TRUE(Contains(text, "未写入的值：无\n")) << text;
    EXPECT_TRUE(Contains(text, "出错步骤：关闭注册表项\n")) << text;
    EXPECT_TRUE(Contains(text, "错误 6：句柄无效。")) << text;
}

TEST(FailureMessage, FailedFlushSaysTheValuesMayNotBeOnTheDisk) {
    const std::string text = Utf8(FailureMessage(Failed(RestoreStep::Flush, -1, 1016, 0), u"").view());
    EXPECT_TRUE(Contains(text, "出错步骤：将注册表项保存到磁盘（各值已写入，但可能尚未保存到磁盘")) << text;
}

TEST(FailureMessage, OverlongSystemTextIsCutNotOverrun) {
    const std::u16string flood(5000, u'x');
    const FailureText text = FailureMessage(Failed(RestoreStep::Open, -1, 4294967295u, 0x1FF), flood);
    EXPECT_EQ(text.view().size(), 1023u);
    EXPECT_EQ(text.c_str()[text.view().size()], u'\0');
    EXPECT_TRUE(Contains(Utf8(text.view()), "错误 4294967295：xxx"));
}

}  // namespace
}  // namespace kz::test
