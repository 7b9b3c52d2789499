// resources/app.ico against the picture it is drawn from,
// resources/app-icon.txt: decoded pixel by pixel, '#' opaque pure red
// (palette entry 9) and '.' transparent, in the standard 16-colour palette.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace kz::test {
namespace {

std::vector<std::uint8_t> ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::uint32_t Le(const std::vector<std::uint8_t>& bytes, std::size_t at, int size) {
    std::uint32_t value = 0;
    for (int i = size - 1; i >= 0; --i) {
        value = (value << 8) | bytes.at(at + static_cast<std::size_t>(i));
    }
    return value;
}

TEST(AppIcon, IsThePictureIn16Colours) {
    const std::vector<std::uint8_t> ico = ReadFile(KZ_SOURCE_DIR "/resources/app.ico");
    std::ifstream pictureFile(KZ_SOURCE_DIR "/resources/app-icon.txt");
    std::vector<std::string> picture;
    for (std::string row; std::getline(pictureFile, row);) {
        picture.push_back(row);
    }
    ASSERT_EQ(picture.size(), 32u);
    ASSERT_GE(ico.size(), 22u + 40u);

    // ICONDIR and its one entry.
    EXPECT_EQ(Le(ico, 0, 2), 0u);
    EXPECT_EQ(Le(ico, 2, 2), 1u) << "type: icon";
    ASSERT_EQ(Le(ico, 4, 2), 1u) << "one image";
    EXPECT_EQ(ico[6], 32u);
    EXPECT_EQ(ico[7], 32u);
    EXPECT_EQ(ico[8], 16u) << "colour count";
    EXPECT_EQ(Le(ico, 12, 2), 4u) << "bits per pixel";
    const std::uint32_t size = Le(ico, 14, 4);
    const std::uint32_t offset = Le(ico, 18, 4);
    ASSERT_EQ(offset + size, ico.size());

    // BITMAPINFOHEADER: 32 wide, 64 high (colour rows, then mask rows), 4 bpp.
    EXPECT_EQ(Le(ico, offset, 4), 40u);
    EXPECT_EQ(Le(ico, offset + 4, 4), 32u);
    EXPECT_EQ(Le(ico, offset + 8, 4), 64u);
    EXPECT_EQ(Le(ico, offset + 14, 2), 4u);
    EXPECT_EQ(Le(ico, offset + 16, 4), 0u) << "uncompressed";

    constexpr std::uint32_t kStandard16[16] = {
        0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080, 0x008080, 0xC0C0C0,
        0x808080, 0xFF0000, 0x00FF00, 0xFFFF00, 0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF,
    };
    const std::size_t palette = offset + 40;
    for (std::size_t i = 0; i < 16; ++i) {  // RGBQUAD: blue, green, red, 0
        const std::uint32_t rgb = (Le(ico, palette + 4 * i + 2, 1) << 16) |
                                  (Le(ico, palette + 4 * i + 1, 1) << 8) | Le(ico, palette + 4 * i, 1);
        EXPECT_EQ(rgb, kStandard16[i]) << "palette entry " << i;
    }

    // Rows are stored bottom-up: 16 bytes of colour (two pixels a byte, high
    // nibble first) and 4 bytes of mask (1 = transparent) a row.
    const std::size_t colours = palette + 64;
    const std::size_t mask = colours + 32 * 16;
    ASSERT_EQ(mask + 32 * 4, ico.size());
    for (std::size_t y = 0; y < 32; ++y) {
        ASSERT_EQ(picture[y].size(), 32u) << "row " << y;
        const std::size_t row = 31 - y;
        std::string decoded;
        for (std::size_t x = 0; x < 32; ++x) {
            const std::uint8_t pair = ico[colours + row * 16 + x / 2];
            const unsigned index = x % 2 == 0 ? pair >> 4 : pair & 0x0F;
            const bool transparent = (ico[mask + row * 4 + x / 8] >> (7 - x % 8)) & 1;
            decoded += transparent ? (index == 0 ? '.' : '?') : (index == 9 ? '#' : '?');
        }
        EXPECT_EQ(decoded, picture[y]) << "row " << y;
    }
}

}  // namespace
}  // namespace kz::test
