// The Internet client stand-in's reading of a response head, line by line as the transfer hands
// the lines over: never a crash, a status of three digits or none, and header values without
// surrounding blanks.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/responsehead-posix.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  std::string_view Input(reinterpret_cast<const char*>(Data), Size);
  TResponseHead Head;
  while (!Input.empty()) {
    const std::size_t End = Input.find('\n');
    const std::size_t Length = End == std::string_view::npos ? Input.size() : End + 1;
    Head.TakeLine(Input.substr(0, Length));
    Input.remove_prefix(Length);
    if (Head.Status() < 0 || Head.Status() > 999) std::abort();
  }
  for (std::uint32_t Index = 0; Index < 4; ++Index) {
    const auto Value = Head.Value("Content-Length", Index);
    if (!Value) break;
    if (!Value->empty() && TrimHeadText(*Value).size() != Value->size()) std::abort();
  }
  return 0;
}
