// Decoding of JPEG pictures held in memory.
#pragma once

#include <cstddef>
#include <vector>

struct JpegPicture {
  int Width = 0;
  int Height = 0;
  // RGB triples, row by row, without padding.
  std::vector<unsigned char> Rgb;
};

// Decodes a JPEG picture to RGB. Raises Exception (toolkit/classes.h) when the data is not a
// complete, readable JPEG picture.
JpegPicture DecodeJpeg(const unsigned char* Data, std::size_t Size);
