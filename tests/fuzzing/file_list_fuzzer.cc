// The signed file list as the installer reads it: arbitrary bytes, as a hostile server or proxy
// may send them. The parser must never read out of bounds, and whatever it accepts must be the
// one canonical form (writing it back gives the same bytes). Signature checking runs too, with a
// fixed key, so that malformed signature lines reach the platform's verifier.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "FileList.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  const std::string_view Text(reinterpret_cast<const char*>(Data), Size);
  if (const auto List = ParseFileList(Text)) {
    if (FormatFileList(*List) != Text) std::abort();
  }
  static const std::string Key =
      BytesFromHex(
          "04837ea52dc27c870226553324a1f376fdd2ce2bdf18792b095c8319e70a0e21c6349c2e9c86ec6a979549df"
          "881fbe5c099649c46d26eb23f35924113dd01fc3da")
          .value();
  ReadSignedFileList(Text, Key);
  return 0;
}
