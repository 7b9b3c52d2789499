// FrmMain's layout, written in twips (1/1440 inch) as the window was drawn,
// and turned into pixels in one place with the display's logical resolution:
// 15 twips to the pixel at 96 dots per inch.
#pragma once

namespace kz {

struct TwipsRect {
    int left;
    int top;
    int width;
    int height;
};

struct PixelRect {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;

    constexpr bool operator==(const PixelRect&) const = default;
};

inline constexpr int kTwipsPerInch = 1440;
// Windows' logical resolution at 100 % scaling (USER_DEFAULT_SCREEN_DPI, which
// the XP headers lack), and the one to fall back to when the screen's is unknown.
inline constexpr int kDefaultDpi = 96;
inline constexpr int kTwipsPerPoint = 20;

inline constexpr int kClientWidthTwips = 3510;
inline constexpr int kClientHeightTwips = 1575;
// The button fills the client area but for 240 twips on the left, top and
// bottom and 255 on the right.
inline constexpr TwipsRect kCmdOKTwips = {240, 240, 3015, 1095};
// 21.75 point, the size the button's caption was set in.
inline constexpr int kCmdOKFontTwips = 435;

// Rounds halves up, as MulDiv does for positive figures, so that every length
// is converted the same way at every resolution.
constexpr int TwipsToPixels(int twips, int dpi) {
    return (twips * dpi + kTwipsPerInch / 2) / kTwipsPerInch;
}

struct FrmMainLayout {
    int clientWidth = 0;
    int clientHeight = 0;
    PixelRect cmdOK;
    int fontHeight = 0;  // character height in pixels (a negative LOGFONT height)
};

// The button's edges are converted rather than its width and height, so that
// its margins stay in step with the client area however the rounding falls.
constexpr FrmMainLayout LayoutForDpi(int dpi) {
    const int left = TwipsToPixels(kCmdOKTwips.left, dpi);
    const int top = TwipsToPixels(kCmdOKTwips.top, dpi);
    const int right = TwipsToPixels(kCmdOKTwips.left + kCmdOKTwips.width, dpi);
    const int bottom = TwipsToPixels(kCmdOKTwips.top + kCmdOKTwips.height, dpi);
    return {
        TwipsToPixels(kClientWidthTwips, dpi),
        TwipsToPixels(kClientHeightTwips, dpi),
        {left, top, right - left, bottom - top},
        TwipsToPixels(kCmdOKFontTwips, dpi),
    };
}

}  // namespace kz
