#include "FileList.h"

// windows.h first: the other system headers build on it.
#include <windows.h>

#include <functional>
#include <memory>

namespace {

const char Header[] = "signed-file-list 1\n";
const char ProductWord[] = "product ";
const char FileWord[] = "file ";
const char SignatureWord[] = "signature ";
constexpr std::size_t SignatureSize = 64;
// "signature " + 128 hex digits + LF.
constexpr std::size_t SignatureLineSize = sizeof SignatureWord - 1 + 2 * SignatureSize + 1;
constexpr std::size_t MaxNameSize = 255;
constexpr std::uint32_t MaxSize = 2147483647;
constexpr DWORD HashBlockSize = 1 << 20;

// Reads the fields of the signed part from left to right; every read checks its bounds.
class TReader {
 public:
  explicit TReader(std::string_view Text) : FRest(Text) {}
  bool AtEnd() const { return FRest.empty(); }
  bool Literal(std::string_view Word) {
    if (FRest.substr(0, Word.size()) != Word) return false;
    FRest.remove_prefix(Word.size());
    return true;
  }
  // A name: bytes above the space character, up to the next space or LF.
  bool Name(std::string& Value) {
    std::size_t N = 0;
    while (N < FRest.size() && static_cast<unsigned char>(FRest[N]) > 0x20 && FRest[N] != 0x7F) ++N;
    if (N == 0 || N > MaxNameSize) return false;
    Value.assign(FRest.substr(0, N));
    FRest.remove_prefix(N);
    return true;
  }
  bool Size(std::uint32_t& Value) {
    std::size_t N = 0;
    std::uint64_t Number = 0;
    while (N < FRest.size() && FRest[N] >= '0' && FRest[N] <= '9' && N < 10)
      Number = Number * 10 + static_cast<unsigned>(FRest[N++] - '0');
    if (N == 0 || (N > 1 && FRest[0] == '0') || Number > MaxSize) return false;
    Value = static_cast<std::uint32_t>(Number);
    FRest.remove_prefix(N);
    return true;
  }
  bool Digest(TSha256Digest& Value) {
    const auto Bytes = BytesFromHex(FRest.substr(0, 2 * Value.size()));
    if (!Bytes || Bytes->size() != Value.size()) return false;
    std::copy(Bytes->begin(), Bytes->end(), Value.begin());
    FRest.remove_prefix(2 * Value.size());
    return true;
  }

 private:
  std::string_view FRest;
};

// An open file, closed when it goes.
struct TReadHandle {
  HANDLE Handle;
  explicit TReadHandle(const std::string& FileName)
      : Handle(CreateFileA(FileName.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr)) {}
  ~TReadHandle() {
    if (Handle != INVALID_HANDLE_VALUE) CloseHandle(Handle);
  }
  TReadHandle(const TReadHandle&) = delete;
  TReadHandle& operator=(const TReadHandle&) = delete;
};

}  // namespace

std::string FormatFileList(const TFileList& List) {
  std::string Text = Header;
  Text += ProductWord + List.Product + "\n";
  for (const auto& [Name, Entry] : List.Files) {
    const std::string_view Digest(reinterpret_cast<const char*>(Entry.Digest.data()),
                                  Entry.Digest.size());
    Text += FileWord + Name + " " + std::to_string(Entry.Size) + " " + HexFromBytes(Digest) + "\n";
  }
  return Text;
}

std::string FormatSignatureLine(std::string_view Signature) {
  return SignatureWord + HexFromBytes(Signature) + "\n";
}

std::optional<TFileList> ParseFileList(std::string_view SignedPart) {
  TReader In(SignedPart);
  TFileList List;
  if (!In.Literal(Header) || !In.Literal(ProductWord) || !In.Name(List.Product) ||
      !In.Literal("\n"))
    return std::nullopt;
  std::string Previous;
  while (!In.AtEnd()) {
    std::string Name;
    TFileListEntry Entry;
    if (!In.Literal(FileWord) || !In.Name(Name) || !In.Literal(" ") || !In.Size(Entry.Size) ||
        !In.Literal(" ") || !In.Digest(Entry.Digest) || !In.Literal("\n"))
      return std::nullopt;
    // In strict byte order: one entry per name, and one way to write each list.
    if (!List.Files.empty() && Name <= Previous) return std::nullopt;
    Previous = Name;
    List.Files.emplace(std::move(Name), Entry);
  }
  if (List.Files.empty()) return std::nullopt;
  return List;
}

std::optional<TFileList> ReadSignedFileList(std::string_view Text, std::string_view PublicKey) {
  if (Text.size() > MaxFileListSize || Text.size() <= SignatureLineSize) return std::nullopt;
  const std::string_view SignedPart = Text.substr(0, Text.size() - SignatureLineSize);
  std::string_view Line = Text.substr(SignedPart.size());
  if (SignedPart.back() != '\n' || Line.substr(0, sizeof SignatureWord - 1) != SignatureWord ||
      Line.back() != '\n')
    return std::nullopt;
  Line.remove_prefix(sizeof SignatureWord - 1);
  Line.remove_suffix(1);
  const auto Signature = BytesFromHex(Line);
  if (!Signature || !VerifyP256Sha256(PublicKey, SignedPart, *Signature)) return std::nullopt;
  return ParseFileList(SignedPart);
}

std::string HexFromBytes(std::string_view Bytes) {
  static const char Digits[] = "0123456789abcdef";
  std::string Hex;
  for (const unsigned char C : Bytes) {
    Hex += Digits[C >> 4];
    Hex += Digits[C & 15];
  }
  return Hex;
}

std::optional<std::string> BytesFromHex(std::string_view Hex) {
  const auto Value = [](char C) {
    return C >= '0' && C <= '9' ? C - '0' : C >= 'a' && C <= 'f' ? C - 'a' + 10 : -1;
  };
  if (Hex.size() % 2 != 0) return std::nullopt;
  std::string Bytes;
  for (std::size_t I = 0; I < Hex.size(); I += 2) {
    const int High = Value(Hex[I]), Low = Value(Hex[I + 1]);
    if (High < 0 || Low < 0) return std::nullopt;
    Bytes += static_cast<char>(High * 16 + Low);
  }
  return Bytes;
}

std::optional<std::string> ReadFileListFile(const std::string& FileName) {
  TReadHandle File(FileName);
  if (File.Handle == INVALID_HANDLE_VALUE) return std::nullopt;
  return ReadFileListFile(File.Handle);
}

std::optional<std::string> ReadFileListFile(HANDLE File) {
  std::string Text(MaxFileListSize + 1, '\0');
  std::size_t Used = 0;
  DWORD Got = 0;
  while (Used < Text.size()) {
    if (!ReadFile(File, Text.data() + Used, static_cast<DWORD>(Text.size() - Used), &Got, nullptr))
      return std::nullopt;
    if (Got == 0) break;
    Used += Got;
  }
  if (Used > MaxFileListSize) return std::nullopt;
  Text.resize(Used);
  return Text;
}

bool HashFile(const std::string& FileName, std::uint64_t& Size, TSha256Digest& Digest,
              const std::function<bool()>& Stop) {
  TReadHandle File(FileName);
  return File.Handle != INVALID_HANDLE_VALUE && HashFile(File.Handle, Size, Digest, Stop);
}

bool HashFile(HANDLE File, std::uint64_t& Size, TSha256Digest& Digest,
              const std::function<bool()>& Stop) {
  std::unique_ptr<char[]> Block(new char[HashBlockSize]);
  TSha256 Hash;
  Size = 0;
  for (;;) {
    if (Stop()) return false;
    DWORD Got = 0;
    if (!ReadFile(File, Block.get(), HashBlockSize, &Got, nullptr)) return false;
    if (Got == 0) break;
    Hash.Update(Block.get(), Got);
    Size += Got;
  }
  return Hash.Finish(Digest);
}
