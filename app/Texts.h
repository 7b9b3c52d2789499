// Every text the program shows, in Simplified Chinese for the operators.
// They are handed to the wide (UTF-16) window functions, so they show the
// same whatever the system's ANSI code page.
#pragma once

namespace kz::text {

inline constexpr char16_t kFrmMainCaption[] = u"柯舟软件    viVIVaru";  // four spaces
inline constexpr char16_t kCmdOKCaption[] = u"开  始";                  // two spaces
inline constexpr char16_t kCmdOKFontFace[] = u"宋体";                   // SimSun

inline constexpr char16_t kRestartTitle[] = u"提示";
inline constexpr char16_t kRestartMessage[] = u"重启MMI生效！";  // full-width exclamation mark

inline constexpr char16_t kFailureTitle[] = u"用户键恢复失败";
inline constexpr char16_t kFailureHeadline[] = u"MMI 用户键未能恢复。";
inline constexpr char16_t kFailureKey[] = u"注册表项：HKEY_CURRENT_USER\\";
inline constexpr char16_t kFailureUnwritten[] = u"未写入的值：";
inline constexpr char16_t kFailureNone[] = u"无";
inline constexpr char16_t kFailureListSeparator[] = u"、";
inline constexpr char16_t kFailureStep[] = u"出错步骤：";
inline constexpr char16_t kFailureStepOpen[] = u"打开或创建注册表项";
inline constexpr char16_t kFailureStepWrite[] = u"写入值 ";
inline constexpr char16_t kFailureStepFlush[] =
    u"将注册表项保存到磁盘（各值已写入，但可能尚未保存到磁盘，断电或重启后可能丢失）";
inline constexpr char16_t kFailureStepClose[] = u"关闭注册表项";
inline constexpr char16_t kFailureError[] = u"错误 ";
inline constexpr char16_t kFailureErrorTextLead[] = u"：";
inline constexpr char16_t kFailureAdvice[] =
    u"请确认当前用户可以写入该注册表项，然后再次运行本程序。";

}  // namespace kz::text
