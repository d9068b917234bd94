#include "signer.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <fstream>
#include <memory>

namespace file_list_sign {
namespace {

template <class T, void (*Free)(T*)>
struct TOwned {
  T* Ptr = nullptr;
  ~TOwned() {
    if (Ptr) Free(Ptr);
  }
};

void FreeBio(BIO* B) { BIO_free(B); }

// The key when it is a P-256 private key.
EVP_PKEY* ReadPrivateKey(const std::string& Pem) {
  TOwned<BIO, FreeBio> In{BIO_new_mem_buf(Pem.data(), static_cast<int>(Pem.size()))};
  EVP_PKEY* Key = In.Ptr ? PEM_read_bio_PrivateKey(In.Ptr, nullptr, nullptr, nullptr) : nullptr;
  char Group[64] = {};
  if (Key && (EVP_PKEY_get_group_name(Key, Group, sizeof Group, nullptr) != 1 ||
              std::string(Group) != "prime256v1")) {
    EVP_PKEY_free(Key);
    return nullptr;
  }
  return Key;
}

}  // namespace

std::string GenerateKeyPem() {
  TOwned<EVP_PKEY, EVP_PKEY_free> Key{EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256")};
  TOwned<BIO, FreeBio> Out{BIO_new(BIO_s_mem())};
  if (!Key.Ptr || !Out.Ptr ||
      PEM_write_bio_PrivateKey(Out.Ptr, Key.Ptr, nullptr, nullptr, 0, nullptr, nullptr) != 1)
    return "";
  char* Data = nullptr;
  const long Size = BIO_get_mem_data(Out.Ptr, &Data);
  return std::string(Data, static_cast<std::size_t>(Size));
}

std::optional<std::string> PublicKeyHex(const std::string& PrivateKeyPem) {
  TOwned<EVP_PKEY, EVP_PKEY_free> Key{ReadPrivateKey(PrivateKeyPem)};
  unsigned char Point[65];
  std::size_t Size = 0;
  if (!Key.Ptr ||
      EVP_PKEY_get_octet_string_param(Key.Ptr, OSSL_PKEY_PARAM_PUB_KEY, Point, sizeof Point,
                                      &Size) != 1 ||
      Size != sizeof Point || Point[0] != 0x04)
    return std::nullopt;
  return HexFromBytes(std::string_view(reinterpret_cast<const char*>(Point), Size));
}

std::optional<TFileList> ListFolder(const std::string& Product,
                                    const std::filesystem::path& Folder) {
  TFileList List;
  List.Product = Product;
  for (const auto& Entry : std::filesystem::directory_iterator(Folder)) {
    const std::string Name = Entry.path().filename().string();
    if (!Entry.is_regular_file() || Name == "files.sig") continue;
    std::ifstream In(Entry.path(), std::ios::binary);
    TSha256 Hash;
    std::uint64_t Size = 0;
    std::unique_ptr<char[]> Block(new char[1 << 20]);
    while (In.read(Block.get(), 1 << 20) || In.gcount() > 0) {
      Hash.Update(Block.get(), static_cast<std::size_t>(In.gcount()));
      Size += static_cast<std::uint64_t>(In.gcount());
    }
    TFileListEntry Listed;
    if (In.bad() || Size > 2147483647 || !Hash.Finish(Listed.Digest)) return std::nullopt;
    Listed.Size = static_cast<std::uint32_t>(Size);
    List.Files[Name] = Listed;
  }
  return List;
}

std::optional<std::string> SignFileList(const std::string& PrivateKeyPem, const TFileList& List) {
  TOwned<EVP_PKEY, EVP_PKEY_free> Key{ReadPrivateKey(PrivateKeyPem)};
  TOwned<EVP_MD_CTX, EVP_MD_CTX_free> Context{EVP_MD_CTX_new()};
  const std::string Signed = FormatFileList(List);
  const auto* Message = reinterpret_cast<const unsigned char*>(Signed.data());
  unsigned char Der[128];
  std::size_t DerSize = sizeof Der;
  if (!Key.Ptr || !Context.Ptr ||
      EVP_DigestSignInit(Context.Ptr, nullptr, EVP_sha256(), nullptr, Key.Ptr) != 1 ||
      EVP_DigestSign(Context.Ptr, Der, &DerSize, Message, Signed.size()) != 1)
    return std::nullopt;
  const unsigned char* Next = Der;
  TOwned<ECDSA_SIG, ECDSA_SIG_free> Sig{d2i_ECDSA_SIG(nullptr, &Next, static_cast<long>(DerSize))};
  unsigned char RS[64];
  if (!Sig.Ptr || BN_bn2binpad(ECDSA_SIG_get0_r(Sig.Ptr), RS, 32) != 32 ||
      BN_bn2binpad(ECDSA_SIG_get0_s(Sig.Ptr), RS + 32, 32) != 32)
    return std::nullopt;
  return Signed + FormatSignatureLine(std::string_view(reinterpret_cast<char*>(RS), sizeof RS));
}

}  // namespace file_list_sign
