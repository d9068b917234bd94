// The announced length's text: StrToInt either raises Exception or returns the value the text
// writes, within 32 bits.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "toolkit/sysutils.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  const std::string Text(reinterpret_cast<const char*>(Data), Size);
  std::int32_t Value = 0;
  try {
    Value = StrToInt(Text);
  } catch (const Exception&) {
    return 0;
  }
  // Accepted: an optional sign and 1 to 10 or more digits (leading zeros) whose value fits.
  std::size_t I = Text[0] == '-' || Text[0] == '+' ? 1 : 0;
  if (I == Text.size()) std::abort();
  long long Expected = 0;
  for (; I < Text.size(); ++I) {
    if (Text[I] < '0' || Text[I] > '9') std::abort();
    Expected = Expected * 10 + (Text[I] - '0');
    if (Expected > 2147483648LL) std::abort();
  }
  if (Text[0] == '-') Expected = -Expected;
  if (Expected != Value) std::abort();
  return 0;
}
