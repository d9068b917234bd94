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
  const DWORD attributes = GetFileAttributesA(Dir.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The path without its last component, or empty when nothing above it can be created.
std::string ParentOf(const std::string& Dir) {
  const std::size_t last = Dir.find_last_of("/\\");
  if (last == std::string::npos || last == 0) return "";
  std::string parent = Dir.substr(0, last);
  // A drive such as "C:" or "C:\" exists or not; it is never created.
  if (parent.size() == 2 && parent[1] == ':') return "";
  return parent;
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
  const std::size_t last = Path.find_last_of("/\\:");
  return last == std::string::npos ? Path : Path.substr(last + 1);
}

std::string ExpandFileName(const std::string& FileName) {
  const DWORD size = GetFullPathNameA(FileName.c_str(), 0, nullptr, nullptr);
  if (size == 0) return "";
  std::string full(size, '\0');
  const DWORD length = GetFullPathNameA(FileName.c_str(), size, full.data(), nullptr);
  if (length == 0 || length >= size) return "";
  full.resize(length);
  return full;
}

bool FileExists(const std::string& FileName) {
  const DWORD attributes = GetFileAttributesA(FileName.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool DeleteFile(const std::string& FileName) { return DeleteFileA(FileName.c_str()) != FALSE; }

bool ForceDirectories(std::string Dir) {
  if (Dir.size() > 1 && IsSeparator(Dir.back())) Dir.pop_back();
  if (Dir.empty()) return false;
  if (DirectoryExists(Dir)) return true;
  const std::string parent = ParentOf(Dir);
  if (!parent.empty() && !ForceDirectories(parent)) return false;
  if (CreateDirectoryA(Dir.c_str(), nullptr)) return true;
  // Another process may have created it meanwhile; that counts as success too. Otherwise the
  // caller gets the creation's error, not that of the check.
  const DWORD error = GetLastError();
  if (DirectoryExists(Dir)) return true;
  SetLastError(error);
  return false;
}

bool DirectoryWritable(const std::string& Dir) {
  constexpr DWORD FileExistsError = 80;  // CREATE_NEW on a name that is taken
  if (Dir.empty()) return false;
  const std::string Base = Dir + (IsSeparator(Dir.back()) ? "" : std::string(1, PathDelim)) +
                           "~probe-" + std::to_string(GetCurrentProcessId()) + "-";
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string probe = Base + std::to_string(attempt);
    const HANDLE file = CreateFileA(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      CloseHandle(file);
      DeleteFileA(probe.c_str());
      return true;
    }
    const DWORD error = GetLastError();
    if (error != FileExistsError && error != ERROR_ALREADY_EXISTS) return false;
  }
  return false;
}

void ChDir(const std::string& Dir) {
  if (!SetCurrentDirectoryA(Dir.c_str())) throw EInOutError(static_cast<int>(GetLastError()));
}

std::int32_t StrToInt(const std::string& Text) {
  const bool isSigned = !Text.empty() && (Text[0] == '-' || Text[0] == '+');
  const bool negative = isSigned && Text[0] == '-';
  const std::int64_t limit = negative ? 2147483648LL : 2147483647LL;
  std::int64_t value = 0;
  std::size_t i = isSigned ? 1 : 0;
  const bool hasDigits = i < Text.size();
  for (; i < Text.size() && Text[i] >= '0' && Text[i] <= '9' && value <= limit; ++i)
    value = value * 10 + (Text[i] - '0');
  if (!hasDigits || i != Text.size() || value > limit)
    throw Exception("'" + Text + "' is not a valid integer value");
  return static_cast<std::int32_t>(negative ? -value : value);
}
