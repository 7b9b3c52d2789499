// The three user keys the MMI gets back, one per machine axis X, Y and Z.
//
// Every field follows from the key's index n (1 to 3), and the table is
// worked out from n at compile time so that no row can drift from the rule:
// the axis letter is the character 87 + n, the level word n * 256 + 0x70200,
// the label the axis letter followed by "轴对刀偏移量" (axis tool-setting
// offset), and the command line the quoted path of P<axis>.EXE in the MMI's
// folder, which is fixed text and never looked up.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "userkeys/FixedText.h"

namespace kz {

inline constexpr char16_t kMmiUserKeyPath[] = u"Software\\PowerAutomation\\Mmi\\User";

inline constexpr int kUserKeyCount = 3;
inline constexpr int kValuesPerUserKey = 3;  // level word, label, command line
inline constexpr int kUserKeyValueCount = kUserKeyCount * kValuesPerUserKey;

inline constexpr std::u16string_view kLevelStem = u"UserKeyLevel";
inline constexpr std::u16string_view kLabelStem = u"UserKey";
inline constexpr std::u16string_view kCommandStem = u"UserApplication";
inline constexpr std::u16string_view kLabelSuffix = u"轴对刀偏移量";
inline constexpr std::u16string_view kMmiProgramPrefix = u"C:\\Program Files\\Power Automation\\Mmi\\P";
inline constexpr std::u16string_view kMmiProgramSuffix = u".EXE";

// A value name is its stem followed directly by the one decimal digit of n.
template <std::size_t StemLength>
using ValueName = FixedText<StemLength + 1>;

struct UserKeyEntry {
    char16_t axisLetter = 0;
    std::uint32_t levelWord = 0;
    FixedText<1 + kLabelSuffix.size()> label;
    FixedText<1 + kMmiProgramPrefix.size() + 1 + kMmiProgramSuffix.size() + 1> commandLine;
    ValueName<kLevelStem.size()> levelName;
    ValueName<kLabelStem.size()> labelName;
    ValueName<kCommandStem.size()> commandName;
};

consteval UserKeyEntry MakeUserKeyEntry(int n) {
    const auto digit = static_cast<char16_t>(u'0' + n);
    UserKeyEntry entry;
    entry.axisLetter = static_cast<char16_t>(87 + n);
    entry.levelWord = static_cast<std::uint32_t>(n) * 256u + 0x70200u;
    (entry.label += entry.axisLetter) += kLabelSuffix;
    // The quotes belong to the command line: the path holds spaces.
    ((((entry.commandLine += u'"') += kMmiProgramPrefix) += entry.axisLetter) += kMmiProgramSuffix) += u'"';
    (entry.levelName += kLevelStem) += digit;
    (entry.labelName += kLabelStem) += digit;
    (entry.commandName += kCommandStem) += digit;
    return entry;
}

inline constexpr std::array<UserKeyEntry, kUserKeyCount> UserKeyTable = {
    MakeUserKeyEntry(1),
    MakeUserKeyEntry(2),
    MakeUserKeyEntry(3),
};

// The name of the value written in place `slot` (0 to 8) of the restore's
// fixed order: level word, label, command line of key 1, then of 2 and 3;
// empty text for any other slot.
constexpr const char16_t* UserKeyValueName(int slot) {
    if (slot < 0 || slot >= kUserKeyValueCount) {
        return u"";
    }
    const UserKeyEntry& entry = UserKeyTable[static_cast<std::size_t>(slot / kValuesPerUserKey)];
    switch (slot % kValuesPerUserKey) {
    case 0:
        return entry.levelName.c_str();
    case 1:
        return entry.labelName.c_str();
    default:
        return entry.commandName.c_str();
    }
}

}  // namespace kz
