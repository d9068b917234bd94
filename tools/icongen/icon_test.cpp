#include "icon.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using icongen::ParseXpm;
using icongen::WriteIco4;

std::string Xpm(const std::vector<std::string>& Lines) {
  std::string text = "/* XPM */\nstatic const char* x[] = {\n";
  for (const auto& l : Lines) text += "\"" + l + "\",\n";
  return text + "};\n";
}

std::uint32_t Le32(const std::vector<std::uint8_t>& B, std::size_t At) {
  return B[At] | B[At + 1] << 8 | B[At + 2] << 16 | static_cast<std::uint32_t>(B[At + 3]) << 24;
}

TEST(ParseXpm, ReadsColoursAndTransparency) {
  const auto p =
      ParseXpm(Xpm({"3 2 4 1", ". c None", "r c #FF0000", "g c #0f0", "k c black", ".rg", "k.."}));
  ASSERT_EQ(p.Width, 3);
  ASSERT_EQ(p.Height, 2);
  EXPECT_EQ(p.Rgb, (std::vector<std::uint32_t>{0, 0xFF0000, 0x00FF00, 0, 0, 0}));
  EXPECT_EQ(p.Transparent, (std::vector<bool>{true, false, false, false, true, true}));
}

TEST(ParseXpm, TwoCharactersPerPixelAndComments) {
  const auto p =
      ParseXpm("/* c */ {\"2 1 2 2\", /* colours */ \"aa c #010203\", \"bb c None\", \"aabb\"}");
  EXPECT_EQ(p.Rgb[0], 0x010203u);
  EXPECT_TRUE(p.Transparent[1]);
}

TEST(ParseXpm, RefusesBrokenInput) {
  const std::vector<std::string> cases[] = {
      {"x y z"},                          // no numbers
      {"2 1 1 1", ". c None"},            // rows missing
      {"2 1 1 1", ". c None", "..."},     // row too long
      {"2 1 1 1", ". c None", ".x"},      // undefined pixel
      {"1 1 1 1", ". c #12345", "."},     // bad hex length
      {"1 1 1 1", ". c mauve-ish", "."},  // unknown name
      {"1 1 1 1", ". m #000000", "."},    // no colour for the colour visual
      {"0 1 1 1", ". c None", ""},        // empty picture
  };
  for (const auto& c : cases) EXPECT_THROW(ParseXpm(Xpm(c)), icongen::Error) << c[0];
}

TEST(WriteIco4, HeaderPaletteBitsAndMask) {
  // 2 x 2: top row transparent, red; bottom row blue, red.
  const auto p = ParseXpm(Xpm({"2 2 3 1", ". c None", "r c #FF0000", "b c #0000FF", ".r", "br"}));
  const auto ico = WriteIco4(p);
  ASSERT_EQ(ico.size(), 6u + 16 + 40 + 64 + 2 * 4 + 2 * 4);
  EXPECT_EQ(ico[2], 1);   // type icon
  EXPECT_EQ(ico[4], 1);   // one image
  EXPECT_EQ(ico[6], 2);   // width
  EXPECT_EQ(ico[8], 16);  // colours
  EXPECT_EQ(Le32(ico, 18), 22u);
  const std::size_t bih = 22;
  EXPECT_EQ(Le32(ico, bih + 8), 4u);  // height of colour bitmap and mask
  const std::size_t palette = bih + 40;
  EXPECT_EQ(Le32(ico, palette), 0u);               // black first
  EXPECT_EQ(Le32(ico, palette + 4), 0x00FF0000u);  // red as B,G,R,0 -> little-endian 0x00FF0000
  EXPECT_EQ(Le32(ico, palette + 8), 0x000000FFu);  // blue
  const std::size_t bits = palette + 64;
  // Bottom row first: blue (2), red (1).
  EXPECT_EQ(ico[bits], 0x21);
  // Top row: transparent (index 0), red (1).
  EXPECT_EQ(ico[bits + 4], 0x01);
  const std::size_t mask = bits + 8;
  EXPECT_EQ(ico[mask], 0x00);      // bottom row opaque
  EXPECT_EQ(ico[mask + 4], 0x80);  // top-left masked out
}

TEST(WriteIco4, RefusesTooManyColours) {
  std::vector<std::string> lines{"17 1 17 1"};
  std::string row;
  for (int i = 0; i < 17; ++i) {
    const char key = static_cast<char>('a' + i);
    char colour[16];
    std::snprintf(colour, sizeof colour, "#%02X0000", i + 1);
    lines.push_back(std::string(1, key) + " c " + colour);
    row += key;
  }
  lines.push_back(row);
  EXPECT_THROW(WriteIco4(ParseXpm(Xpm(lines))), icongen::Error);
}

}  // namespace
