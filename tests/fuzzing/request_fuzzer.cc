// The vendor test server's reading of a request head: never a crash, and a parsed request whose
// parts come from its request line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "server.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  const std::string Head(reinterpret_cast<const char*>(Data), Size);
  vendor::RecordedRequest R;
  if (!vendor::ParseRequestHead(Head, R)) return 0;
  if (R.Method + " " + R.Target + " " + R.Version != R.RequestLine) std::abort();
  if (R.RequestLine.find("\r\n") != std::string::npos) std::abort();
  (void)R.Header("Content-Length");
  (void)vendor::PercentDecode(R.Target);
  return 0;
}
