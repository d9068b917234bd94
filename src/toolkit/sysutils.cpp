// File and path helpers over the Windows file functions; the same code serves the Windows build
// and the POSIX stand-ins.
#include "toolkit/sysutils.h"

#include <windows.h>

#include <string>

#ifdef _WIN32
const char PathDelim = '\\';
#else
const char PathDelim = '/';
#endif

namespace {

// The Windows functions accept both separators, and the POSIX stand-ins do the same.
bool IsSeparator(char C) { return C == '/' || C == '\\'; }

bool DirectoryExists(const std::string& Dir) {
  const DWORD Attributes = GetFileAttributesA(Dir.c_str());
  return Attributes != INVALID_FILE_ATTRIBUTES && (Attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The path without its last component, or empty when nothing above it can be created.
std::string ParentOf(const std::string& Dir) {
  const std::size_t Last = Dir.find_last_of("/\\");
  if (Last == std::string::npos || Last == 0) return "";
  std::string Parent = Dir.substr(0, Last);
  // A drive such as "C:" or "C:\" exists or not; it is never created.
  if (Parent.size() == 2 && Parent[1] == ':') return "";
  return Parent;
}

}  // namespace

std::string InOutErrorMessage(int Code) {
  switch (Code) {
    case 2:
      return "File not found.";
    case 3:
      return "Invalid filename.";
    case 4:
      return "Too many open files.";
    case 5:
      return "File access denied.";
    case 100:
      return "Read beyond end of file.";
    case 101:
      return "Disk full.";
    case 106:
      return "Invalid numeric input.";
    default:
      return "I/O error " + std::to_string(Code) + ".";
  }
}

EInOutError::EInOutError(int Code) : Exception(InOutErrorMessage(Code)), ErrorCode(Code) {}

std::string ExtractFileName(const std::string& Path) {
  // Every platform: a name holding a backslash or a colon would otherwise lead out of the folder
  // it is joined to, since the platform functions take both separators.
  const std::size_t Last = Path.find_last_of("/\\:");
  return Last == std::string::npos ? Path : Path.substr(Last + 1);
}

std::string ExpandFileName(const std::string& FileName) {
  const DWORD Size = GetFullPathNameA(FileName.c_str(), 0, nullptr, nullptr);
  if (Size == 0) return "";
  std::string Full(Size, '\0');
  const DWORD Length = GetFullPathNameA(FileName.c_str(), Size, Full.data(), nullptr);
  if (Length == 0 || Length >= Size) return "";
  Full.resize(Length);
  return Full;
}

bool FileExists(const std::string& FileName) {
  const DWORD Attributes = GetFileAttributesA(FileName.c_str());
  return Attributes != INVALID_FILE_ATTRIBUTES && (Attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool DeleteFile(const std::string& FileName) { return DeleteFileA(FileName.c_str()) != FALSE; }

bool ForceDirectories(std::string Dir) {
  if (Dir.size() > 1 && IsSeparator(Dir.back())) Dir.pop_back();
  if (Dir.empty()) return false;
  if (DirectoryExists(Dir)) return true;
  const std::string Parent = ParentOf(Dir);
  if (!Parent.empty() && !ForceDirectories(Parent)) return false;
  // Another process may have created it meanwhile; that counts as success too.
  return CreateDirectoryA(Dir.c_str(), nullptr) != FALSE || DirectoryExists(Dir);
}

void ChDir(const std::string& Dir) {
  if (!SetCurrentDirectoryA(Dir.c_str())) throw EInOutError(static_cast<int>(GetLastError()));
}

std::int32_t StrToInt(const std::string& Text) {
  const bool Signed = !Text.empty() && (Text[0] == '-' || Text[0] == '+');
  const bool Negative = Signed && Text[0] == '-';
  const std::int64_t Limit = Negative ? 2147483648LL : 2147483647LL;
  std::int64_t Value = 0;
  std::size_t I = Signed ? 1 : 0;
  const bool HasDigits = I < Text.size();
  for (; I < Text.size() && Text[I] >= '0' && Text[I] <= '9' && Value <= Limit; ++I)
    Value = Value * 10 + (Text[I] - '0');
  if (!HasDigits || I != Text.size() || Value > Limit)
    throw Exception("'" + Text + "' is not a valid integer value");
  return static_cast<std::int32_t>(Negative ? -Value : Value);
}
