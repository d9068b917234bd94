// Reading of XPM pictures and writing of 16-colour Windows icons with a transparency mask.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace icongen {

class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A picture as 0xRRGGBB values row by row; Transparent marks pixels of the colour "None".
struct Picture {
  int Width = 0;
  int Height = 0;
  std::vector<std::uint32_t> Rgb;
  std::vector<bool> Transparent;
};

// Parses the text of an XPM file (the C source form). Colours may be given as #RGB, #RRGGBB,
// "None" or one of a few common names; raises Error for anything it cannot read.
Picture ParseXpm(const std::string& Text);

// Encodes the picture as an .ico file holding one 4-bit image: up to 15 colours besides black,
// transparent pixels masked out through the AND mask.
std::vector<std::uint8_t> WriteIco4(const Picture& P);

}  // namespace icongen
