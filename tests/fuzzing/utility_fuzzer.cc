// The Czech text utilities on any bytes: never a crash, upper-casing twice changes nothing more
// than once, and recoding to plain ASCII and back keeps the plain ASCII bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "_utility.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  const std::string Text(reinterpret_cast<const char*>(Data), Size);
  const std::string Upper = CzechUpperCase(Text);
  if (CzechUpperCase(Upper) != Upper) std::abort();
  const std::string Back = RecodeCzech(RecodeCzech(Text, "W", "A"), "A", "W");
  if (Back.size() != Text.size()) std::abort();
  for (std::size_t I = 0; I < Text.size(); ++I) {
    if (static_cast<unsigned char>(Text[I]) < 0x80 && Back[I] != Text[I]) std::abort();
  }
  static const char* const kPages[] = {"W", "L", "K", "A", "", "WW"};
  for (const char* From : kPages) {
    for (const char* To : kPages) (void)RecodeCzech(Text, From, To);
  }
  return 0;
}
