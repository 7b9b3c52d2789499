// FrmMain's twips turned into pixels at the resolutions operators' screens
// run at: exact at 96 DPI, scaled and consistently rounded above it.
#include <gtest/gtest.h>

#include "app/FrmMainLayout.h"

namespace kz::test {
namespace {

struct ExpectedLayout {
    int dpi;
    int clientWidth;
    int clientHeight;
    PixelRect cmdOK;
    int fontHeight;
};

constexpr ExpectedLayout kLayouts[] = {
    {96, 234, 105, {16, 16, 201, 73}, 29},
    {120, 293, 131, {20, 20, 251, 91}, 36},
    {144, 351, 158, {24, 24, 302, 110}, 44},  // 157.5 and 301.5 round up
    {192, 468, 210, {32, 32, 402, 146}, 58},
};

TEST(FrmMainLayout, TwipsBecomeThePixelsOfEachResolution) {
    for (const ExpectedLayout& expected : kLayouts) {
        SCOPED_TRACE(testing::Message() << expected.dpi << " DPI");
        const FrmMainLayout layout = LayoutForDpi(expected.dpi);
        EXPECT_EQ(layout.clientWidth, expected.clientWidth);
        EXPECT_EQ(layout.clientHeight, expected.clientHeight);
        EXPECT_EQ(layout.cmdOK.left, expected.cmdOK.left);
        EXPECT_EQ(layout.cmdOK.top, expected.cmdOK.top);
        EXPECT_EQ(layout.cmdOK.width, expected.cmdOK.width);
        EXPECT_EQ(layout.cmdOK.height, expected.cmdOK.height);
        EXPECT_EQ(layout.fontHeight, expected.fontHeight);
    }
}

TEST(FrmMainLayout, ButtonKeepsItsMarginsAtEveryResolution) {
    for (int dpi = 96; dpi <= 480; dpi += 24) {
        SCOPED_TRACE(testing::Message() << dpi << " DPI");
        const FrmMainLayout layout = LayoutForDpi(dpi);
        const int margin = TwipsToPixels(240, dpi);
        const int right = layout.clientWidth - layout.cmdOK.left - layout.cmdOK.width;
        const int bottom = layout.clientHeight - layout.cmdOK.top - layout.cmdOK.height;
        EXPECT_EQ(layout.cmdOK.left, margin);
        EXPECT_EQ(layout.cmdOK.top, margin);
        EXPECT_NEAR(bottom, margin, 1);
        EXPECT_NEAR(right, TwipsToPixels(255, dpi), 1);
    }
}

}  // namespace
}  // namespace kz::test
