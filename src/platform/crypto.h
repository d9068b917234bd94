// The cryptography the installer needs, taken from the platform's own libraries: SHA-256 and the
// verification of ECDSA P-256 signatures made over SHA-256. POSIX: OpenSSL's libcrypto
// (crypto-posix.cpp). Windows: CNG from bcrypt.dll, loaded from the system folder when first
// needed (crypto-win32.cpp). Byte strings are passed as std::string_view.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

using TSha256Digest = std::array<std::uint8_t, 32>;

// SHA-256 of bytes handed over in pieces.
class TSha256 {
 public:
  TSha256();
  ~TSha256();
  TSha256(const TSha256&) = delete;
  TSha256& operator=(const TSha256&) = delete;

  void Update(const void* Data, std::size_t Count);
  // False when the platform's library could not hash (it is missing or failed on the way).
  bool Finish(TSha256Digest& Digest);

 private:
  struct State;
  std::unique_ptr<State> FState;
};

// True only when Signature (r then s, 32 bytes each, big-endian) is a valid ECDSA signature of
// Message's SHA-256 under PublicKey on the curve P-256 (the uncompressed point: 0x04, then X and
// Y, 32 bytes each). A key or a signature of another length or off the curve is refused.
bool VerifyP256Sha256(std::string_view PublicKey, std::string_view Message,
                      std::string_view Signature);
