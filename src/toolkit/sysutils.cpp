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
#ifdef _WIN32
  const std::size_t Last = Path.find_last_of("\\:");
#else
  const std::size_t Last = Path.rfind(PathDelim);
#endif
  return Last == std::string::npos ? Path : Path.substr(Last + 1);
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
  if (CreateDirectoryA(Dir.c_str(), nullptr)) return true;
  // Another process may have created it meanwhile; that counts as success too. Otherwise the
  // caller gets the creation's error, not that of the check.
  const DWORD Error = GetLastError();
  if (DirectoryExists(Dir)) return true;
  SetLastError(Error);
  return false;
}

void ChDir(const std::string& Dir) {
  if (!SetCurrentDirectoryA(Dir.c_str())) throw EInOutError(static_cast<int>(GetLastError()));
}
