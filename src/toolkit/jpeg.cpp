// JPEG decoding with libjpeg. libjpeg reports fatal errors through a callback that must not
// return; it is left with longjmp back to the decoder (no C++ object lives in the frames it
// skips), and the decoder then raises an Exception.
#include "toolkit/jpeg.h"

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <string>

// jpeglib.h relies on stdio's FILE and size_t being declared first.
#include <jpeglib.h>

#include "toolkit/classes.h"

namespace {

// Pictures larger than this are refused rather than allocated.
constexpr JDIMENSION kMaxSide = 16384;

struct ErrorManager {
  jpeg_error_mgr Base;
  std::jmp_buf Jump;
  char Message[JMSG_LENGTH_MAX];
};

void OnFatalError(j_common_ptr Info) {
  auto* err = reinterpret_cast<ErrorManager*>(Info->err);
  (*Info->err->format_message)(Info, err->Message);
  std::longjmp(err->Jump, 1);
}

// Warnings (for example truncated data) are counted by libjpeg and judged after decoding.
void OnMessage(j_common_ptr) {}

// Runs the decompression; returns false with Err->Message set when libjpeg failed. Only plain C
// data is created between setjmp and any longjmp.
bool Decompress(jpeg_decompress_struct* Info, ErrorManager* Err, const unsigned char* Data,
                std::size_t Size, JpegPicture* Out) {
  if (setjmp(Err->Jump)) return false;
  jpeg_create_decompress(Info);
  jpeg_mem_src(Info, Data, static_cast<unsigned long>(Size));
  jpeg_read_header(Info, TRUE);
  Info->out_color_space = JCS_RGB;
  jpeg_start_decompress(Info);
  if (Info->output_components != 3 || Info->output_width > kMaxSide ||
      Info->output_height > kMaxSide) {
    static const char kUnsupported[] = "Unsupported JPEG picture";
    std::memcpy(Err->Message, kUnsupported, sizeof kUnsupported);
    return false;
  }
  Out->Width = static_cast<int>(Info->output_width);
  Out->Height = static_cast<int>(Info->output_height);
  const std::size_t stride = static_cast<std::size_t>(Out->Width) * 3;
  Out->Rgb.resize(stride * static_cast<std::size_t>(Out->Height));
  while (Info->output_scanline < Info->output_height) {
    JSAMPROW row = Out->Rgb.data() + stride * Info->output_scanline;
    jpeg_read_scanlines(Info, &row, 1);
  }
  jpeg_finish_decompress(Info);
  return true;
}

}  // namespace

JpegPicture DecodeJpeg(const unsigned char* Data, std::size_t Size) {
  if (Data == nullptr || Size < 4) throw Exception("Not a JPEG picture");
  jpeg_decompress_struct info{};
  ErrorManager err{};
  info.err = jpeg_std_error(&err.Base);
  err.Base.error_exit = OnFatalError;
  err.Base.output_message = OnMessage;
  JpegPicture picture;
  const bool ok = Decompress(&info, &err, Data, Size, &picture);
  const long warnings = err.Base.num_warnings;
  jpeg_destroy_decompress(&info);
  if (!ok) throw Exception(std::string("JPEG error: ") + err.Message);
  if (warnings > 0) throw Exception("JPEG error: corrupt or truncated data");
  return picture;
}
