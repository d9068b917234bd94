// The platform's cryptography over Windows CNG. bcrypt.dll is loaded from the system folder when
// first needed, never imported by the executable, so that no copy of it beside the program can
// take its place; its functions are looked up by name.
#include "crypto.h"

#include <windows.h>

#include <bcrypt.h>

#include <cstring>

namespace {

constexpr std::size_t PointSize = 65;
constexpr std::size_t ScalarSize = 32;

struct TBcrypt {
  decltype(&BCryptOpenAlgorithmProvider) OpenAlgorithmProvider = nullptr;
  decltype(&BCryptCloseAlgorithmProvider) CloseAlgorithmProvider = nullptr;
  decltype(&BCryptCreateHash) CreateHash = nullptr;
  decltype(&BCryptHashData) HashData = nullptr;
  decltype(&BCryptFinishHash) FinishHash = nullptr;
  decltype(&BCryptDestroyHash) DestroyHash = nullptr;
  decltype(&BCryptImportKeyPair) ImportKeyPair = nullptr;
  decltype(&BCryptVerifySignature) VerifySignature = nullptr;
  decltype(&BCryptDestroyKey) DestroyKey = nullptr;
  bool Loaded = false;
};

template <class T>
bool Find(HMODULE Module, const char* Name, T& Function) {
  Function = reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(Module, Name)));
  return Function != nullptr;
}

// Loaded once, on whichever thread first needs it; the library stays loaded for the whole run.
const TBcrypt& Bcrypt() {
  static const TBcrypt Loaded = [] {
    TBcrypt B;
    const HMODULE Module = LoadLibraryExA("bcrypt.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    B.Loaded = Module && Find(Module, "BCryptOpenAlgorithmProvider", B.OpenAlgorithmProvider) &&
               Find(Module, "BCryptCloseAlgorithmProvider", B.CloseAlgorithmProvider) &&
               Find(Module, "BCryptCreateHash", B.CreateHash) &&
               Find(Module, "BCryptHashData", B.HashData) &&
               Find(Module, "BCryptFinishHash", B.FinishHash) &&
               Find(Module, "BCryptDestroyHash", B.DestroyHash) &&
               Find(Module, "BCryptImportKeyPair", B.ImportKeyPair) &&
               Find(Module, "BCryptVerifySignature", B.VerifySignature) &&
               Find(Module, "BCryptDestroyKey", B.DestroyKey);
    return B;
  }();
  return Loaded;
}

bool Succeeded(NTSTATUS Status) { return Status >= 0; }

// An algorithm provider, closed when it goes.
struct TProvider {
  BCRYPT_ALG_HANDLE Handle = nullptr;
  explicit TProvider(LPCWSTR Algorithm) {
    if (!Bcrypt().Loaded ||
        !Succeeded(Bcrypt().OpenAlgorithmProvider(&Handle, Algorithm, nullptr, 0)))
      Handle = nullptr;
  }
  ~TProvider() {
    if (Handle) Bcrypt().CloseAlgorithmProvider(Handle, 0);
  }
  TProvider(const TProvider&) = delete;
  TProvider& operator=(const TProvider&) = delete;
};

PUCHAR Bytes(const void* Data) { return static_cast<PUCHAR>(const_cast<void*>(Data)); }

}  // namespace

struct TSha256::State {
  TProvider Provider{BCRYPT_SHA256_ALGORITHM};
  BCRYPT_HASH_HANDLE Hash = nullptr;
  bool Ok = false;
  ~State() {
    if (Hash) Bcrypt().DestroyHash(Hash);
  }
};

TSha256::TSha256() : FState(new State) {
  // Without a buffer of ours CNG keeps the hash object itself.
  FState->Ok = FState->Provider.Handle &&
               Succeeded(Bcrypt().CreateHash(FState->Provider.Handle, &FState->Hash, nullptr, 0,
                                             nullptr, 0, 0));
}

TSha256::~TSha256() = default;

void TSha256::Update(const void* Data, std::size_t Count) {
  const auto* Next = static_cast<const unsigned char*>(Data);
  while (FState->Ok && Count > 0) {
    const ULONG Piece = Count > 0x40000000 ? 0x40000000 : static_cast<ULONG>(Count);
    FState->Ok = Succeeded(Bcrypt().HashData(FState->Hash, Bytes(Next), Piece, 0));
    Next += Piece;
    Count -= Piece;
  }
}

bool TSha256::Finish(TSha256Digest& Digest) {
  if (!FState->Ok) return false;
  FState->Ok = false;
  return Succeeded(Bcrypt().FinishHash(FState->Hash, Digest.data(), Digest.size(), 0));
}

bool VerifyP256Sha256(std::string_view PublicKey, std::string_view Message,
                      std::string_view Signature) {
  if (PublicKey.size() != PointSize || PublicKey[0] != 0x04) return false;
  if (Signature.size() != 2 * ScalarSize) return false;
  TSha256Digest Digest;
  TSha256 Hash;
  Hash.Update(Message.data(), Message.size());
  if (!Hash.Finish(Digest)) return false;

  TProvider Provider(BCRYPT_ECDSA_P256_ALGORITHM);
  if (!Provider.Handle) return false;
  unsigned char Blob[sizeof(BCRYPT_ECCKEY_BLOB) + 2 * ScalarSize];
  const BCRYPT_ECCKEY_BLOB Header = {BCRYPT_ECDSA_PUBLIC_P256_MAGIC, ScalarSize};
  std::memcpy(Blob, &Header, sizeof Header);
  std::memcpy(Blob + sizeof Header, PublicKey.data() + 1, 2 * ScalarSize);
  BCRYPT_KEY_HANDLE Key = nullptr;
  if (!Succeeded(Bcrypt().ImportKeyPair(Provider.Handle, nullptr, BCRYPT_ECCPUBLIC_BLOB, &Key, Blob,
                                        sizeof Blob, 0)))
    return false;
  const bool Valid = Succeeded(Bcrypt().VerifySignature(
      Key, nullptr, Digest.data(), Digest.size(), Bytes(Signature.data()), Signature.size(), 0));
  Bcrypt().DestroyKey(Key);
  return Valid;
}
