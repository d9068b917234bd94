// Draws the two flag pictures of the language page (the Czech flag and the Union flag) at 40 x 27
// pixels and writes each as a baseline JFIF JPEG. Edges are anti-aliased by supersampling every
// pixel. Usage: flaggen <czech.jpg> <union.jpg>
#include <cmath>
#include <cstdio>
#include <functional>
#include <vector>

// jpeglib.h relies on stdio's FILE and size_t being declared first.
#include <jpeglib.h>

namespace {

constexpr int kWidth = 40;
constexpr int kHeight = 27;
constexpr int kSubsamples = 8;  // per axis
constexpr int kQuality = 90;

struct Rgb {
  double R, G, B;
};

constexpr Rgb kWhite{255, 255, 255};
constexpr Rgb kCzechRed{215, 20, 26};
constexpr Rgb kCzechBlue{17, 69, 126};
constexpr Rgb kUnionBlue{1, 33, 105};
constexpr Rgb kUnionRed{200, 16, 46};

// Colour at a point of the flag; U and V run from 0 to 1 across and down.
using Painter = std::function<Rgb(double U, double V)>;

Rgb CzechFlag(double U, double V) {
  // Blue triangle at the hoist with its apex in the middle of the flag.
  if (U < 0.5 - std::fabs(V - 0.5)) return kCzechBlue;
  return V < 0.5 ? kWhite : kCzechRed;
}

// The Union flag in its 60 x 30 construction units, stretched over the picture.
Rgb UnionFlag(double U, double V) {
  const double x = U * 60 - 30, y = V * 30 - 15;
  const double norm = std::sqrt(60.0 * 60.0 + 30.0 * 30.0);
  // Signed distances from the diagonals; positive above the line.
  const double d1 = (x * 30 - y * 60) / norm;   // top-left to bottom-right
  const double d2 = (-x * 30 - y * 60) / norm;  // bottom-left to top-right
  const double side = x < 0 ? -1 : 1;
  Rgb colour = kUnionBlue;
  if (std::fabs(d1) < 3 || std::fabs(d2) < 3) colour = kWhite;
  // The red saltire is counterchanged: on the hoist side it lies below the diagonal's centre
  // line, on the fly side above it.
  const double r1 = side * d1, r2 = side * d2;
  if ((r1 > 0 && r1 < 2) || (r2 > 0 && r2 < 2)) colour = kUnionRed;
  if (std::fabs(x) < 5 || std::fabs(y) < 5) colour = kWhite;
  if (std::fabs(x) < 3 || std::fabs(y) < 3) colour = kUnionRed;
  return colour;
}

std::vector<unsigned char> Render(const Painter& Paint) {
  std::vector<unsigned char> pixels;
  pixels.reserve(kWidth * kHeight * 3);
  for (int py = 0; py < kHeight; ++py) {
    for (int px = 0; px < kWidth; ++px) {
      Rgb sum{0, 0, 0};
      for (int sy = 0; sy < kSubsamples; ++sy) {
        for (int sx = 0; sx < kSubsamples; ++sx) {
          const double u = (px + (sx + 0.5) / kSubsamples) / kWidth;
          const double v = (py + (sy + 0.5) / kSubsamples) / kHeight;
          const Rgb c = Paint(u, v);
          sum.R += c.R;
          sum.G += c.G;
          sum.B += c.B;
        }
      }
      const double n = kSubsamples * kSubsamples;
      pixels.push_back(static_cast<unsigned char>(std::lround(sum.R / n)));
      pixels.push_back(static_cast<unsigned char>(std::lround(sum.G / n)));
      pixels.push_back(static_cast<unsigned char>(std::lround(sum.B / n)));
    }
  }
  return pixels;
}

bool WriteJpeg(const char* Path, const std::vector<unsigned char>& Pixels) {
  FILE* file = std::fopen(Path, "wb");
  if (!file) {
    std::perror(Path);
    return false;
  }
  jpeg_compress_struct info{};
  jpeg_error_mgr err{};
  info.err = jpeg_std_error(&err);
  jpeg_create_compress(&info);
  jpeg_stdio_dest(&info, file);
  info.image_width = kWidth;
  info.image_height = kHeight;
  info.input_components = 3;
  info.in_color_space = JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, kQuality, TRUE);
  // Full-resolution colour keeps the thin stripes of so small a picture crisp.
  for (int i = 0; i < 3; ++i) {
    info.comp_info[i].h_samp_factor = 1;
    info.comp_info[i].v_samp_factor = 1;
  }
  jpeg_start_compress(&info, TRUE);
  while (info.next_scanline < info.image_height) {
    JSAMPROW row = const_cast<unsigned char*>(Pixels.data()) + info.next_scanline * kWidth * 3;
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  return std::fclose(file) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <czech.jpg> <union.jpg>\n", argv[0]);
    return 2;
  }
  const bool ok = WriteJpeg(argv[1], Render(CzechFlag)) && WriteJpeg(argv[2], Render(UnionFlag));
  return ok ? 0 : 1;
}
