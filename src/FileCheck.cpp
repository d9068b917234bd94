#include "FileCheck.h"

// windows.h first: the other system headers build on it.
#include <windows.h>

#include <optional>
#include <string_view>

#include "FileList.h"
#include "_utility.h"
#include "toolkit/classes.h"
#include "toolkit/sysutils.h"

namespace {

// The vendor's public key that the build carries (hex of the uncompressed P-256 point), or empty:
// then every file is taken as the server sends it.
constexpr std::string_view FileListKey = FILE_LIST_KEY;
const char FileListName[] = "files.sig";

// The file that arrived last, with what its check found.
struct TArrivedFile {
  std::string FileName;
  std::string Source;
  HANDLE Held = INVALID_HANDLE_VALUE;
  bool Hashing = false;
  bool Hashed = false;
  std::uint64_t Size = 0;
  TSha256Digest Digest{};
};

struct TFileCheck {
  std::optional<TFileList> VendorFileList;
  TArrivedFile ArrivedFile;
  bool Refused = false;
};

TFileCheck& FileCheck() {
  static TFileCheck Check;
  return Check;
}

// Reading is shared; writing and deleting are not, so the name keeps this file.
HANDLE HoldFile(const std::string& FileName) {
  return CreateFileA(FileName.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

class THashFileThread : public TThread {
 public:
  explicit THashFileThread(HANDLE AFile) : TThread(true), File(AFile) { FreeOnTerminate = true; }
  HANDLE File;
  bool Hashed = false;
  std::uint64_t Size = 0;
  TSha256Digest Digest{};

 protected:
  void Execute() override {
    Hashed = HashFile(File, Size, Digest, [this] { return Terminated(); });
  }
};

void StartHashing(TArrivedFile& Arrived) {
  Arrived.Hashing = true;
  auto* Hashing = new THashFileThread(Arrived.Held);
  Hashing->OnTerminate = [](TObject* Sender) {
    const auto* Done = static_cast<THashFileThread*>(Sender);
    TArrivedFile& File = FileCheck().ArrivedFile;
    File.Hashing = false;
    File.Hashed = Done->Hashed;
    File.Size = Done->Size;
    File.Digest = Done->Digest;
  };
  Hashing->Start();
}

// Reads and verifies the list that has just arrived. Only its contents are kept: the file goes,
// so that the working folder holds the product's files alone.
void ReadVendorFileList(const std::string& Product) {
  auto& [List, Arrived, Refused] = FileCheck();
  const auto Text = ReadFileListFile(Arrived.Held);
  const auto Key = BytesFromHex(std::string(FileListKey));
  List = Text && Key ? ReadSignedFileList(*Text, *Key) : std::nullopt;
  if (List && List->Product != CzechUpperCase(Product)) List.reset();
  CloseHandle(Arrived.Held);
  Arrived.Held = INVALID_HANDLE_VALUE;
  DeleteFile(Arrived.FileName);
}

bool ArrivedFileAsListed() {
  const auto& [List, Arrived, Refused] = FileCheck();
  if (FileListKey.empty()) return true;
  if (!List) return false;
  if (Arrived.Source == FileListName) return true;
  const auto Entry = List->Files.find(Arrived.Source);
  return Arrived.Hashed && Entry != List->Files.end() && Entry->second.Size == Arrived.Size &&
         Entry->second.Digest == Arrived.Digest;
}

}  // namespace

std::int32_t PlanSignedFileList(std::string& Source, std::string& Target) {
  if (FileListKey.empty()) return 1;
  Source = Target = FileListName;
  return 0;
}

void CheckArrivedFile(const std::string& FileName, const std::string& Source,
                      const std::string& Product) {
  TFileCheck& Check = FileCheck();
  Check.ArrivedFile = {.FileName = FileName, .Source = Source, .Held = HoldFile(FileName)};
  Check.Refused = Check.ArrivedFile.Held == INVALID_HANDLE_VALUE;
  if (Check.Refused) return;
  if (!FileListKey.empty() && Source == FileListName) return ReadVendorFileList(Product);
  // An accepted file stays held until the process ends.
  if (!FileListKey.empty()) return StartHashing(Check.ArrivedFile);
  // Without a key only the program that is started needs holding; the product's installer may
  // rename or unpack the other files as soon as it runs.
  if (ExtractFileName(FileName) != "setup.exe") {
    CloseHandle(Check.ArrivedFile.Held);
    Check.ArrivedFile.Held = INVALID_HANDLE_VALUE;
  }
}

TFileCheckResult ArrivedFileResult() {
  TFileCheck& Check = FileCheck();
  TArrivedFile& Arrived = Check.ArrivedFile;
  if (Arrived.Hashing) return TFileCheckResult::Checking;
  if (Arrived.FileName.empty()) return TFileCheckResult::Accepted;
  if (!Check.Refused && ArrivedFileAsListed()) return TFileCheckResult::Accepted;
  // The handle goes first: it refuses the file's deletion.
  if (Arrived.Held != INVALID_HANDLE_VALUE) {
    CloseHandle(Arrived.Held);
    Arrived.Held = INVALID_HANDLE_VALUE;
  }
  DeleteFile(Arrived.FileName);
  return TFileCheckResult::Refused;
}
