// Pictures compiled into the program: the two flags of the language page (baseline JPEG) and
// the window icon (XPM).
#pragma once

#include <cstddef>

extern const unsigned char FlagCzJpeg[];
extern const std::size_t FlagCzJpegSize;
extern const unsigned char FlagGbJpeg[];
extern const std::size_t FlagGbJpegSize;

// 32 x 32 pixels, 16 colours, transparent background.
extern const char* const* const ForkliftXpm;
