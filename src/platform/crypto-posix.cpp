// The platform's cryptography over OpenSSL's libcrypto.
#include "crypto.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/params.h>

namespace {

constexpr std::size_t PointSize = 65;
constexpr std::size_t ScalarSize = 32;

template <class T, void (*Free)(T*)>
struct TOwned {
  T* Ptr = nullptr;
  ~TOwned() {
    if (Ptr) Free(Ptr);
  }
};

const unsigned char* Bytes(std::string_view Text) {
  return reinterpret_cast<const unsigned char*>(Text.data());
}

// By default the library frees its global state at exit, while a thread that is still ending
// (a hashing thread of a closing program) may be inside it; whoever starts it first leaves it to
// the end of the process instead.
void StartLibrary() {
  [[maybe_unused]] static const bool Started = OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
}

// The public key as an EVP key; null when the point is malformed or off the curve.
EVP_PKEY* ImportPublicKey(std::string_view PublicKey) {
  if (PublicKey.size() != PointSize || PublicKey[0] != 0x04) return nullptr;
  char Group[] = "prime256v1";
  OSSL_PARAM Params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, Group, 0),
      OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY,
                                        const_cast<char*>(PublicKey.data()), PublicKey.size()),
      OSSL_PARAM_construct_end()};
  TOwned<EVP_PKEY_CTX, EVP_PKEY_CTX_free> Context{
      EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr)};
  EVP_PKEY* Key = nullptr;
  if (!Context.Ptr || EVP_PKEY_fromdata_init(Context.Ptr) != 1 ||
      EVP_PKEY_fromdata(Context.Ptr, &Key, EVP_PKEY_PUBLIC_KEY, Params) != 1)
    return nullptr;
  return Key;
}

// r and s as the DER structure libcrypto verifies; empty when they cannot be encoded.
std::basic_string<unsigned char> DerSignature(std::string_view Signature) {
  TOwned<ECDSA_SIG, ECDSA_SIG_free> Sig{ECDSA_SIG_new()};
  if (!Sig.Ptr) return {};
  BIGNUM* R = BN_bin2bn(Bytes(Signature), ScalarSize, nullptr);
  BIGNUM* S = BN_bin2bn(Bytes(Signature) + ScalarSize, ScalarSize, nullptr);
  if (!R || !S || ECDSA_SIG_set0(Sig.Ptr, R, S) != 1) {
    BN_free(R);
    BN_free(S);
    return {};
  }
  unsigned char* Der = nullptr;
  const int Size = i2d_ECDSA_SIG(Sig.Ptr, &Der);
  if (Size <= 0) return {};
  std::basic_string<unsigned char> Result(Der, static_cast<std::size_t>(Size));
  OPENSSL_free(Der);
  return Result;
}

}  // namespace

struct TSha256::State {
  TOwned<EVP_MD_CTX, EVP_MD_CTX_free> Context;
  bool Ok = false;
};

TSha256::TSha256() : FState(new State) {
  StartLibrary();
  FState->Context.Ptr = EVP_MD_CTX_new();
  FState->Ok =
      FState->Context.Ptr && EVP_DigestInit_ex(FState->Context.Ptr, EVP_sha256(), nullptr) == 1;
}

TSha256::~TSha256() = default;

void TSha256::Update(const void* Data, std::size_t Count) {
  if (FState->Ok) FState->Ok = EVP_DigestUpdate(FState->Context.Ptr, Data, Count) == 1;
}

bool TSha256::Finish(TSha256Digest& Digest) {
  unsigned int Size = 0;
  if (!FState->Ok || EVP_DigestFinal_ex(FState->Context.Ptr, Digest.data(), &Size) != 1)
    return false;
  FState->Ok = false;
  return Size == Digest.size();
}

bool VerifyP256Sha256(std::string_view PublicKey, std::string_view Message,
                      std::string_view Signature) {
  StartLibrary();
  if (Signature.size() != 2 * ScalarSize) return false;
  TOwned<EVP_PKEY, EVP_PKEY_free> Key{ImportPublicKey(PublicKey)};
  if (!Key.Ptr) return false;
  const auto Der = DerSignature(Signature);
  if (Der.empty()) return false;
  TOwned<EVP_MD_CTX, EVP_MD_CTX_free> Context{EVP_MD_CTX_new()};
  return Context.Ptr &&
         EVP_DigestVerifyInit(Context.Ptr, nullptr, EVP_sha256(), nullptr, Key.Ptr) == 1 &&
         EVP_DigestVerify(Context.Ptr, Der.data(), Der.size(), Bytes(Message), Message.size()) == 1;
}
