#include "icon.h"

#include <algorithm>
#include <cctype>
#include <sstream>

namespace icongen {

namespace {

// The quoted strings of the XPM source, in order, with comments skipped.
std::vector<std::string> QuotedStrings(const std::string& Text) {
  std::vector<std::string> out;
  std::size_t i = 0;
  while (i < Text.size()) {
    if (Text.compare(i, 2, "/*") == 0) {
      const std::size_t end = Text.find("*/", i + 2);
      if (end == std::string::npos) throw Error("unterminated comment");
      i = end + 2;
    } else if (Text[i] == '"') {
      std::string s;
      for (++i; i < Text.size() && Text[i] != '"'; ++i) {
        if (Text[i] == '\\' && i + 1 < Text.size()) ++i;
        s += Text[i];
      }
      if (i >= Text.size()) throw Error("unterminated string");
      out.push_back(s);
      ++i;
    } else {
      ++i;
    }
  }
  return out;
}

int HexDigit(char C) {
  if (C >= '0' && C <= '9') return C - '0';
  C = static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
  if (C >= 'a' && C <= 'f') return C - 'a' + 10;
  throw Error(std::string("bad hex digit '") + C + "'");
}

// Returns false for "None"; otherwise sets Rgb.
bool ParseColour(std::string Name, std::uint32_t& Rgb) {
  std::transform(Name.begin(), Name.end(), Name.begin(),
                 [](unsigned char C) { return static_cast<char>(std::tolower(C)); });
  if (Name == "none") return false;
  if (!Name.empty() && Name[0] == '#') {
    const std::string hex = Name.substr(1);
    if (hex.size() != 3 && hex.size() != 6) throw Error("bad colour " + Name);
    Rgb = 0;
    for (char c : hex) {
      const int d = HexDigit(c);
      Rgb = hex.size() == 3 ? (Rgb << 8) | static_cast<std::uint32_t>(d * 17)
                            : (Rgb << 4) | static_cast<std::uint32_t>(d);
    }
    return true;
  }
  static const struct {
    const char* Name;
    std::uint32_t Rgb;
  } kNamed[] = {{"black", 0x000000}, {"white", 0xFFFFFF},  {"red", 0xFF0000},  {"green", 0x00FF00},
                {"blue", 0x0000FF},  {"yellow", 0xFFFF00}, {"gray", 0xBEBEBE}, {"grey", 0xBEBEBE}};
  for (const auto& n : kNamed) {
    if (Name == n.Name) {
      Rgb = n.Rgb;
      return true;
    }
  }
  throw Error("unknown colour " + Name);
}

void PutLe(std::vector<std::uint8_t>& Out, std::uint32_t Value, int Bytes) {
  for (int i = 0; i < Bytes; ++i) Out.push_back(static_cast<std::uint8_t>(Value >> (8 * i)));
}

}  // namespace

Picture ParseXpm(const std::string& Text) {
  const std::vector<std::string> s = QuotedStrings(Text);
  if (s.empty()) throw Error("no XPM values line");
  std::istringstream values(s[0]);
  int colours = 0, cpp = 0;
  Picture p;
  if (!(values >> p.Width >> p.Height >> colours >> cpp) || p.Width <= 0 || p.Height <= 0 ||
      colours <= 0 || cpp <= 0 || p.Width > 256 || p.Height > 256)
    throw Error("bad XPM values line: " + s[0]);
  if (s.size() < 1 + static_cast<std::size_t>(colours) + static_cast<std::size_t>(p.Height))
    throw Error("XPM data ends early");

  struct Entry {
    bool Opaque;
    std::uint32_t Rgb;
  };
  std::vector<std::pair<std::string, Entry>> table;
  for (int i = 0; i < colours; ++i) {
    const std::string& line = s[1 + i];
    if (line.size() < static_cast<std::size_t>(cpp)) throw Error("bad colour line: " + line);
    std::istringstream rest(line.substr(cpp));
    std::string key, value;
    Entry e{false, 0};
    bool found = false;
    while (rest >> key >> value) {
      if (key != "c") continue;
      e.Opaque = ParseColour(value, e.Rgb);
      found = true;
    }
    if (!found) throw Error("colour line without a 'c' colour: " + line);
    table.emplace_back(line.substr(0, cpp), e);
  }

  p.Rgb.resize(static_cast<std::size_t>(p.Width) * p.Height);
  p.Transparent.resize(p.Rgb.size());
  for (int y = 0; y < p.Height; ++y) {
    const std::string& row = s[1 + colours + y];
    if (row.size() != static_cast<std::size_t>(p.Width * cpp))
      throw Error("pixel row " + std::to_string(y) + " has the wrong length");
    for (int x = 0; x < p.Width; ++x) {
      const std::string key = row.substr(static_cast<std::size_t>(x * cpp), cpp);
      auto it = std::find_if(table.begin(), table.end(),
                             [&key](const auto& Item) { return Item.first == key; });
      if (it == table.end()) throw Error("pixel '" + key + "' has no colour");
      const std::size_t at = static_cast<std::size_t>(y) * p.Width + x;
      p.Rgb[at] = it->second.Rgb;
      p.Transparent[at] = !it->second.Opaque;
    }
  }
  return p;
}

std::vector<std::uint8_t> WriteIco4(const Picture& P) {
  // Index 0 is black: transparent pixels use it, so that screen XOR black leaves the screen.
  std::vector<std::uint32_t> palette{0x000000};
  std::vector<std::uint8_t> index(P.Rgb.size(), 0);
  for (std::size_t i = 0; i < P.Rgb.size(); ++i) {
    if (P.Transparent[i]) continue;
    auto it = std::find(palette.begin(), palette.end(), P.Rgb[i]);
    if (it == palette.end()) {
      if (palette.size() == 16) throw Error("more than 16 colours");
      palette.push_back(P.Rgb[i]);
      it = palette.end() - 1;
    }
    index[i] = static_cast<std::uint8_t>(it - palette.begin());
  }
  palette.resize(16, 0);

  const std::uint32_t w = static_cast<std::uint32_t>(P.Width);
  const std::uint32_t h = static_cast<std::uint32_t>(P.Height);
  const std::uint32_t xorStride = (w * 4 + 31) / 32 * 4;
  const std::uint32_t andStride = (w + 31) / 32 * 4;
  const std::uint32_t imageSize = 40 + 16 * 4 + (xorStride + andStride) * h;

  std::vector<std::uint8_t> out;
  PutLe(out, 0, 2);  // reserved
  PutLe(out, 1, 2);  // type: icon
  PutLe(out, 1, 2);  // one image
  out.push_back(static_cast<std::uint8_t>(w == 256 ? 0 : w));
  out.push_back(static_cast<std::uint8_t>(h == 256 ? 0 : h));
  out.push_back(16);  // colours
  out.push_back(0);
  PutLe(out, 1, 2);  // planes
  PutLe(out, 4, 2);  // bits per pixel
  PutLe(out, imageSize, 4);
  PutLe(out, 6 + 16, 4);  // offset of the image

  PutLe(out, 40, 4);
  PutLe(out, w, 4);
  PutLe(out, h * 2, 4);  // the colour bitmap and the mask, stacked
  PutLe(out, 1, 2);
  PutLe(out, 4, 2);
  PutLe(out, 0, 4);  // no compression
  PutLe(out, (xorStride + andStride) * h, 4);
  PutLe(out, 0, 4);
  PutLe(out, 0, 4);
  PutLe(out, 16, 4);
  PutLe(out, 0, 4);
  for (std::uint32_t rgb : palette) {
    out.push_back(static_cast<std::uint8_t>(rgb));
    out.push_back(static_cast<std::uint8_t>(rgb >> 8));
    out.push_back(static_cast<std::uint8_t>(rgb >> 16));
    out.push_back(0);
  }
  // Rows bottom-up, two pixels per byte, high nibble first.
  for (std::uint32_t row = 0; row < h; ++row) {
    const std::uint32_t y = h - 1 - row;
    std::vector<std::uint8_t> line(xorStride, 0);
    for (std::uint32_t x = 0; x < w; ++x)
      line[x / 2] |= static_cast<std::uint8_t>(index[y * w + x] << (x % 2 ? 0 : 4));
    out.insert(out.end(), line.begin(), line.end());
  }
  for (std::uint32_t row = 0; row < h; ++row) {
    const std::uint32_t y = h - 1 - row;
    std::vector<std::uint8_t> line(andStride, 0);
    for (std::uint32_t x = 0; x < w; ++x)
      if (P.Transparent[y * w + x]) line[x / 8] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
    out.insert(out.end(), line.begin(), line.end());
  }
  return out;
}

}  // namespace icongen
