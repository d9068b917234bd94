// The signed file list and the platform's cryptography under it, with the same vectors on every
// platform (under wine for the Windows build, where CNG does the work).
#include "FileList.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Bytes(const char* Hex) { return BytesFromHex(Hex).value(); }

const char Key[] =
    "04837ea52dc27c870226553324a1f376fdd2ce2bdf18792b095c8319e70a0e21c6349c2e9c86ec6a979549df881fbe"
    "5c099649c46d26eb23f35924113dd01fc3da";
const char OtherKey[] =
    "041a6db71aad72e050302ff64c8f23f40d9ab79d6481725f6343570cccf0a5a6df822f7f656110404064121a11be"
    "53f16660d39119d7960c619102a5fcdfc344fb";
// Signatures by Key, r then s.
const char SignatureOfAbc[] =
    "71423e72aa4b08369f3f2954527e06c9387fe015845a8237f5daa9a7637c6f93"
    "1e864a8d37289179338bdd4f01b2b55ff77ebab03a402db2f41c8e191d9d7b96";
const char SignatureOfEmpty[] =
    "a58aa22c79a60f7173e3f12108ce8de447c820584ed15c10eae388119395e2ec"
    "0c9df0fb3c58545863b6d6d1c130301f1e834d9bb4ecf76823c43d292ccddc6f";
const char Zero[] = "0000000000000000000000000000000000000000000000000000000000000000";
const char Order[] = "ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551";

TEST(Sha256, KnownDigestsInPieces) {
  const struct {
    std::string Message;
    std::size_t Piece;
    const char* Digest;
  } Cases[] = {
      {"", 1, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", 1, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 7,
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'), 4097,
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& C : Cases) {
    TSha256 Hash;
    for (std::size_t I = 0; I < C.Message.size(); I += C.Piece)
      Hash.Update(C.Message.data() + I, std::min(C.Piece, C.Message.size() - I));
    TSha256Digest Digest;
    ASSERT_TRUE(Hash.Finish(Digest));
    EXPECT_EQ(HexFromBytes({reinterpret_cast<const char*>(Digest.data()), Digest.size()}), C.Digest)
        << C.Message.size();
  }
}

TEST(VerifyP256Sha256, AcceptsOnlyAValidSignatureUnderTheKey) {
  const std::string Abc = Bytes(SignatureOfAbc);
  std::string FlippedR = Abc, FlippedS = Abc;
  FlippedR[5] ^= 1;
  FlippedS[40] ^= 0x80;
  std::string OffCurve = Bytes(Key);
  OffCurve.back() ^= 1;
  const std::string R = Abc.substr(0, 32), S = Abc.substr(32);
  const struct {
    const char* Name;
    std::string PublicKey, Message, Signature;
    bool Valid;
  } Cases[] = {
      {"valid", Bytes(Key), "abc", Abc, true},
      {"valid, empty message", Bytes(Key), "", Bytes(SignatureOfEmpty), true},
      {"other message", Bytes(Key), "abd", Abc, false},
      {"other key", Bytes(OtherKey), "abc", Abc, false},
      {"r changed", Bytes(Key), "abc", FlippedR, false},
      {"s changed", Bytes(Key), "abc", FlippedS, false},
      {"r zero", Bytes(Key), "abc", Bytes(Zero) + S, false},
      {"s zero", Bytes(Key), "abc", R + Bytes(Zero), false},
      {"r the order", Bytes(Key), "abc", Bytes(Order) + S, false},
      {"s the order", Bytes(Key), "abc", R + Bytes(Order), false},
      {"signature short", Bytes(Key), "abc", Abc.substr(0, 63), false},
      {"signature long", Bytes(Key), "abc", Abc + '\0', false},
      {"signature empty", Bytes(Key), "abc", "", false},
      {"key off the curve", OffCurve, "abc", Abc, false},
      {"key compressed", "\x03" + Bytes(Key).substr(1, 32), "abc", Abc, false},
      {"key without its prefix", Bytes(Key).substr(1), "abc", Abc, false},
      {"key with another prefix", "\x05" + Bytes(Key).substr(1), "abc", Abc, false},
      {"key all zero", "\x04" + std::string(64, '\0'), "abc", Abc, false},
      {"key empty", "", "abc", Abc, false},
  };
  for (const auto& C : Cases)
    EXPECT_EQ(VerifyP256Sha256(C.PublicKey, C.Message, C.Signature), C.Valid) << C.Name;
}

// A list signed with Key: "signed-file-list 1\nproduct MERONA\nfile a.zip 3 <sha256 of abc>\n".
const char SignedPart[] =
    "signed-file-list 1\nproduct MERONA\n"
    "file a.zip 3 ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\n";

TEST(FileList, ParsesOnlyTheCanonicalForm) {
  const std::string Entry = " 3 ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\n";
  const std::string Head = "signed-file-list 1\nproduct MERONA\n";
  const auto List = ParseFileList(SignedPart);
  ASSERT_TRUE(List);
  EXPECT_EQ(List->Product, "MERONA");
  ASSERT_EQ(List->Files.count("a.zip"), 1u);
  EXPECT_EQ(List->Files.at("a.zip").Size, 3u);
  EXPECT_EQ(FormatFileList(*List), SignedPart);
  EXPECT_TRUE(ParseFileList(Head + "file a" + Entry + "file b" + Entry));

  const std::string Refused[] = {
      "",
      Head,  // no file
      "signed-file-list 2\nproduct MERONA\nfile a" + Entry,
      "signed-file-list 1\r\nproduct MERONA\r\nfile a" + Entry,
      "signed-file-list 1\nproduct \nfile a" + Entry,  // no product
      Head + "file a" + Entry + "file a" + Entry,      // twice
      Head + "file b" + Entry + "file a" + Entry,      // out of order
      Head + "file a b" + Entry,                       // a space in the name
      Head + "file " + std::string(256, 'n') + Entry,  // name too long
      Head + "file a 03 ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\n",
      Head + "file a 2147483648 ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\n",
      Head +
          "file a 99999999999 ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\n",
      Head + "file a -3 ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\n",
      Head + "file a 3 BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD\n",
      Head + "file a 3 ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015a\n",
      Head + "file a 3 ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
      Head + "file a 3 ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad0\n",
      Head + "file a 3 ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\n\n",
  };
  for (const std::string& Text : Refused) EXPECT_FALSE(ParseFileList(Text)) << Text;
}

TEST(FileList, ReadsOnlyASignedListUnderTheKey) {
  const std::string Signature =
      "signature "
      "b9edea0a7e00d6e19d483f04676e5c3f2a8c006fea9475c53ff009ed6e4aab40"
      "081a059a951d3fe922a6157ff08240fbc633d1397e967c9d70231b845afd935e\n";
  const std::string Signed = SignedPart + Signature;
  std::string ChangedEntry = Signed;
  ChangedEntry[ChangedEntry.find(" 3 ") + 1] = '4';
  std::string ChangedSignature = Signed;
  ChangedSignature[ChangedSignature.size() - 2] ^= 1;
  const struct {
    const char* Name;
    std::string Text;
    const char* PublicKey;
    bool Valid;
  } Cases[] = {
      {"signed", Signed, Key, true},
      {"other key", Signed, OtherKey, false},
      {"entry changed", ChangedEntry, Key, false},
      {"signature changed", ChangedSignature, Key, false},
      {"no signature", SignedPart, Key, false},
      {"signature without its line end", Signed.substr(0, Signed.size() - 1), Key, false},
      {"signature upper-case",
       std::string(SignedPart) + "signature " + std::string(128, 'A') + "\n", Key, false},
      {"signature line only", Signature, Key, false},
      {"more after the signature", Signed + "file b.zip 1 00\n", Key, false},
      {"too long", std::string(MaxFileListSize, '\n') + Signed, Key, false},
      {"a web page", "<html><body>Welcome to the hotspot</body></html>\r\n", Key, false},
  };
  for (const auto& C : Cases)
    EXPECT_EQ(ReadSignedFileList(C.Text, Bytes(C.PublicKey)).has_value(), C.Valid) << C.Name;
}

}  // namespace
