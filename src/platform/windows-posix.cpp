// POSIX stand-in for the Windows environment, module and file functions. Texts cross the boundary
// as Windows-1250 and reach the system as UTF-8.
#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>

#include "platform/codepage.h"
#include "platform/fakes-posix.h"
#include "platform/paths-posix.h"
#include "windows.h"

namespace {

constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_DIR_NOT_EMPTY = 145;
constexpr DWORD ERROR_BUSY = 170;
constexpr DWORD ERROR_BAD_EXE_FORMAT = 193;
constexpr DWORD ERROR_FILE_TOO_LARGE = 223;
constexpr DWORD ERROR_ENVVAR_NOT_FOUND = 203;
constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;
constexpr DWORD ERROR_CANT_RESOLVE_FILENAME = 1921;

thread_local DWORD LastError = ERROR_SUCCESS;

std::string CurrentDirectory() {
  std::error_code Error;
  const std::filesystem::path Path = std::filesystem::current_path(Error);
  return Error ? std::string("/") : Path.string();
}

// The directory the process started in; relative program paths are resolved against it even
// after the program has changed its current directory.
const std::string& StartupDirectory() {
  static const std::string Directory = CurrentDirectory();
  return Directory;
}

// Captures the start-up directory while static objects are initialised, before any code of the
// program can change the current directory.
[[maybe_unused]] const bool StartupDirectoryCaptured = !StartupDirectory().empty();

// A write beyond the process's file size limit fails with an error, as a full disk does, instead
// of ending the process without a word.
[[maybe_unused]] const bool FileSizeSignalIgnored = ::signal(SIGXFSZ, SIG_IGN) != SIG_ERR;

char LowerAscii(char C) { return (C >= 'A' && C <= 'Z') ? static_cast<char>(C - 'A' + 'a') : C; }

// Windows matches variable names without regard to the case of the ASCII letters.
bool EqualNoCase(std::string_view A, std::string_view B) {
  if (A.size() != B.size()) return false;
  for (std::size_t I = 0; I < A.size(); ++I) {
    if (LowerAscii(A[I]) != LowerAscii(B[I])) return false;
  }
  return true;
}

// The value of the variable Name as the system holds it; an exact match of the name is preferred
// to one that differs in case only.
std::optional<std::string> FindVariable(const std::string& Name) {
  const char* Found = nullptr;
  for (char** Entry = environ; Entry != nullptr && *Entry != nullptr; ++Entry) {
    const char* Equals = std::strchr(*Entry, '=');
    if (Equals == nullptr) continue;
    const std::string_view Key(*Entry, static_cast<std::size_t>(Equals - *Entry));
    if (Key == Name) return std::string(Equals + 1);
    if (Found == nullptr && EqualNoCase(Key, Name)) Found = Equals + 1;
  }
  if (Found == nullptr) return std::nullopt;
  return std::string(Found);
}

std::string ProcessorArchitecture() {
  utsname System{};
  if (uname(&System) != 0) return "";
  const std::string_view Machine = System.machine;
  if (Machine == "x86_64") return "AMD64";
  if (Machine == "aarch64" || Machine == "arm64") return "ARM64";
  if (Machine.size() == 4 && Machine[0] == 'i' && Machine.substr(2) == "86") return "x86";
  return std::string(Machine);
}

// The user's own cache folder: $XDG_CACHE_HOME, or ~/.cache.
std::string UserCacheFolder() {
  const char* Cache = std::getenv("XDG_CACHE_HOME");
  if (Cache != nullptr && Cache[0] == '/') return Cache;
  const char* Home = std::getenv("HOME");
  if (Home == nullptr || Home[0] != '/') {
    const passwd* User = ::getpwuid(::geteuid());
    Home = User != nullptr ? User->pw_dir : "";
  }
  return std::string(Home) + "/.cache";
}

// The user's own folder for temporary files: $TMPDIR when set, else the cache folder. A shared
// name such as /tmp/NAME could be taken by another user first.
std::string UserTempFolder() {
  const char* TempDir = std::getenv("TMPDIR");
  return TempDir != nullptr && *TempDir != '\0' ? TempDir : UserCacheFolder();
}

// What stands for the Windows variables that the system does not set.
std::optional<std::string> StandInVariable(const std::string& Name) {
  if (EqualNoCase(Name, "temp")) return UserTempFolder();
  if (EqualNoCase(Name, "processor_architecture")) return ProcessorArchitecture();
  if (EqualNoCase(Name, "CommonProgramFiles") || EqualNoCase(Name, "CommonProgramFiles(x86)")) {
    return std::string("/opt");
  }
  return std::nullopt;
}

// Copies Value with its terminating zero when it fits; returns its length then, and otherwise the
// size needed including the zero, as the Windows environment functions do.
DWORD CopyWhenItFits(const std::string& Value, LPSTR Buffer, DWORD Size) {
  const DWORD Length = static_cast<DWORD>(Value.size());
  if (Buffer == nullptr || Size <= Length) return Length + 1;
  std::memcpy(Buffer, Value.data(), Length);
  Buffer[Length] = '\0';
  return Length;
}

// Copies what fits of Value and always ends with a zero; a cut value sets
// ERROR_INSUFFICIENT_BUFFER and returns Size, as GetModuleFileNameA does.
DWORD CopyTruncated(const std::string& Value, LPSTR Buffer, DWORD Size) {
  if (Buffer == nullptr || Size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  const bool Fits = Value.size() < Size;
  const std::size_t Count = Fits ? Value.size() : Size - 1;
  std::memcpy(Buffer, Value.data(), Count);
  Buffer[Count] = '\0';
  if (Fits) return static_cast<DWORD>(Count);
  SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return Size;
}

// A folder that a user other than us (and the system's) owns, or that others may write to
// without the sticky bit: files in it could be swapped under us.
bool ForeignFolder(const struct stat& Status) {
  const uid_t Us = ::geteuid();
  if (Status.st_uid != Us && Status.st_uid != 0) return true;
  return (Status.st_mode & S_IWOTH) != 0 && (Status.st_mode & S_ISVTX) == 0;
}

// Windows names cannot hold the wildcards; they stand for characters the code page lacks.
bool HasWildcard(LPCSTR Path) { return Path != nullptr && std::strpbrk(Path, "?*") != nullptr; }

bool IsDirectory(const std::string& Path) {
  struct stat Status {};
  return ::stat(Path.c_str(), &Status) == 0 && S_ISDIR(Status.st_mode);
}

// The directory part of a path: what comes before its last component.
std::string ParentDirectory(std::string Path) {
  while (Path.size() > 1 && Path.back() == '/') Path.pop_back();
  const std::size_t Slash = Path.rfind('/');
  if (Slash == std::string::npos) return ".";
  return Slash == 0 ? "/" : Path.substr(0, Slash);
}

BOOL Fail(int Error, const std::string& Path) {
  SetLastError(WindowsErrorFromErrno(Error, Path));
  return FALSE;
}

BOOL Fail(DWORD Error) {
  SetLastError(Error);
  return FALSE;
}

}  // namespace

std::string SystemPath(LPCSTR Path) {
  std::string Result = ToUtf8(Path != nullptr ? Path : "");
  for (char& C : Result) {
    if (C == '\\') C = '/';
  }
  return Result;
}

DWORD WindowsErrorFromErrno(int Error, const std::string& Path) {
  switch (Error) {
    case ENOENT:
      return !Path.empty() && IsDirectory(ParentDirectory(Path)) ? ERROR_FILE_NOT_FOUND
                                                                 : ERROR_PATH_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
      return ERROR_ACCESS_DENIED;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case ENOSPC:
    case EDQUOT:
      return ERROR_DISK_FULL;
    case EEXIST:
      return ERROR_ALREADY_EXISTS;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case ETXTBSY:
      return ERROR_SHARING_VIOLATION;
    case ENOTEMPTY:
      return ERROR_DIR_NOT_EMPTY;
    case EBUSY:
      return ERROR_BUSY;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    case ELOOP:
      return ERROR_CANT_RESOLVE_FILENAME;
    case ENOEXEC:
      return ERROR_BAD_EXE_FORMAT;
    case EFBIG:
      return ERROR_FILE_TOO_LARGE;
    default:
      return ERROR_GEN_FAILURE;
  }
}

DWORD GetEnvironmentVariableA(LPCSTR lpName, LPSTR lpBuffer, DWORD nSize) {
  const std::string Name = ToUtf8(lpName != nullptr ? lpName : "");
  std::optional<std::string> Value = Name.empty() ? std::nullopt : FindVariable(Name);
  if (!Value) Value = StandInVariable(Name);
  if (!Value) {
    SetLastError(ERROR_ENVVAR_NOT_FOUND);
    return 0;
  }
  return CopyWhenItFits(FromUtf8(*Value), lpBuffer, nSize);
}

DWORD GetModuleFileNameA(HMODULE, LPSTR lpFilename, DWORD nSize) {
  std::filesystem::path Path(program_invocation_name != nullptr ? program_invocation_name : "");
  if (Path.is_relative()) Path = std::filesystem::path(StartupDirectory()) / Path;
  return CopyTruncated(FromUtf8(Path.lexically_normal().string()), lpFilename, nSize);
}

BOOL CreateDirectoryA(LPCSTR lpPathName, LPVOID) {
  if (PlatformFakes().CreateDirectoryError) {
    SetLastError(*PlatformFakes().CreateDirectoryError);
    return FALSE;
  }
  if (HasWildcard(lpPathName)) return Fail(ERROR_INVALID_NAME);
  const std::string Path = SystemPath(lpPathName);
  // Private from the start: what the installer keeps there is nobody else's to change.
  if (::mkdir(Path.c_str(), 0700) != 0) return Fail(errno, Path);
  return TRUE;
}

DWORD GetFileAttributesA(LPCSTR lpFileName) {
  if (HasWildcard(lpFileName)) {
    Fail(ERROR_INVALID_NAME);
    return INVALID_FILE_ATTRIBUTES;
  }
  const std::string Path = SystemPath(lpFileName);
  const TPlace Place = PlaceOf(Path);
  struct stat Status {};
  if (::fstatat(Place.Folder, Place.Name.c_str(), &Status, 0) != 0) {
    Fail(errno, Path);
    return INVALID_FILE_ATTRIBUTES;
  }
  if (!S_ISDIR(Status.st_mode)) return FILE_ATTRIBUTE_NORMAL;
  // A folder another user controls is not one of ours to use.
  if (ForeignFolder(Status)) {
    Fail(ERROR_ACCESS_DENIED);
    return INVALID_FILE_ATTRIBUTES;
  }
  return FILE_ATTRIBUTE_DIRECTORY;
}

DWORD GetFullPathNameA(LPCSTR lpFileName, DWORD nBufferLength, LPSTR lpBuffer, LPSTR* lpFilePart) {
  if (lpFilePart != nullptr) *lpFilePart = nullptr;
  const std::string Path = SystemPath(lpFileName);
  if (Path.empty()) {
    Fail(ERROR_INVALID_NAME);
    return 0;
  }
  const std::string Full = Path.front() == '/' ? Path : CurrentDirectory() + "/" + Path;
  // A folder the code page cannot name is refused rather than named wrongly.
  const std::string Named = FromUtf8(Full);
  if (ToUtf8(Named) != Full) {
    Fail(ERROR_INVALID_NAME);
    return 0;
  }
  return CopyWhenItFits(Named, lpBuffer, nBufferLength);
}

BOOL DeleteFileA(LPCSTR lpFileName) {
  if (HasWildcard(lpFileName)) return Fail(ERROR_INVALID_NAME);
  const std::string Path = SystemPath(lpFileName);
  const TPlace Place = PlaceOf(Path);
  if (::unlinkat(Place.Folder, Place.Name.c_str(), 0) != 0) return Fail(errno, Path);
  return TRUE;
}

BOOL SetCurrentDirectoryA(LPCSTR lpPathName) {
  const std::string Path = SystemPath(lpPathName);
  const int Held = HeldFolderDescriptor(Path);
  if ((Held >= 0 ? ::fchdir(Held) : ::chdir(Path.c_str())) != 0) return Fail(errno, Path);
  // A held folder that has been deleted meanwhile cannot be entered, as on Windows.
  struct stat Status {};
  if (Held >= 0 && ::fstat(Held, &Status) == 0 && Status.st_nlink == 0) {
    ::chdir("/");
    return Fail(ERROR_FILE_NOT_FOUND);
  }
  return TRUE;
}

TPlatformFakes& PlatformFakes() {
  static TPlatformFakes Fakes;
  return Fakes;
}

// The process's pseudo handle, as on Windows.
HANDLE GetCurrentProcess() { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)); }

// The token is a handle on the process's entry in /proc, closed by CloseHandle like a file.
BOOL OpenProcessToken(HANDLE ProcessHandle, DWORD, HANDLE* TokenHandle) {
  if (ProcessHandle != GetCurrentProcess() || TokenHandle == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const int Fd = ::open("/proc/self", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (Fd < 0) return Fail(errno, "/proc/self");
  *TokenHandle = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(Fd));
  return TRUE;
}

BOOL GetTokenInformation(HANDLE TokenHandle, TOKEN_INFORMATION_CLASS TokenInformationClass,
                         LPVOID TokenInformation, DWORD TokenInformationLength,
                         DWORD* ReturnLength) {
  if (TokenHandle == nullptr || TokenInformationClass != TokenElevation ||
      ReturnLength == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *ReturnLength = sizeof(TOKEN_ELEVATION);
  if (TokenInformation == nullptr || TokenInformationLength < sizeof(TOKEN_ELEVATION)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  const bool Elevated = PlatformFakes().Elevated.value_or(::geteuid() == 0);
  static_cast<TOKEN_ELEVATION*>(TokenInformation)->TokenIsElevated = Elevated ? 1 : 0;
  return TRUE;
}

LPSTR GetCommandLineA() {
  static std::string Faked;
  if (PlatformFakes().CommandLine) {
    Faked = *PlatformFakes().CommandLine;
    return Faked.data();
  }
  static std::string Line = [] {
    std::string Joined;
    std::ifstream Arguments("/proc/self/cmdline", std::ios::binary);
    for (std::string Argument; std::getline(Arguments, Argument, '\0');) {
      const std::string Text = FromUtf8(Argument);
      Joined += (Joined.empty() ? "" : " ") +
                (Text.find(' ') == std::string::npos ? Text : '"' + Text + '"');
    }
    return Joined;
  }();
  return Line.data();
}

DWORD GetLastError() { return LastError; }

void SetLastError(DWORD dwErrCode) { LastError = dwErrCode; }

void Sleep(DWORD dwMilliseconds) {
  struct timespec Delay = {static_cast<time_t>(dwMilliseconds / 1000),
                           static_cast<long>(dwMilliseconds % 1000) * 1000000L};
  while (nanosleep(&Delay, &Delay) != 0 && errno == EINTR) {
  }
}

DWORD GetCurrentProcessId() { return static_cast<DWORD>(::getpid()); }

HWND FindWindowExA(HWND, HWND, LPCSTR, LPCSTR) { return nullptr; }

DWORD GetWindowThreadProcessId(HWND, DWORD* lpdwProcessId) {
  if (lpdwProcessId != nullptr) *lpdwProcessId = 0;
  return 0;
}

BOOL SetForegroundWindow(HWND) { return FALSE; }
