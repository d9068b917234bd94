// Windows-1250 <-> UTF-16 around the system's wide environment, file and launch functions.
#include "platform/cp1250-win32.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace {

constexpr UINT Windows1250 = 1250;

std::wstring Wide(LPCSTR Text) {
  if (Text == nullptr || *Text == '\0') return {};
  const int Length = MultiByteToWideChar(Windows1250, 0, Text, -1, nullptr, 0);
  if (Length <= 1) return {};
  std::wstring Result(static_cast<std::size_t>(Length), L'\0');
  MultiByteToWideChar(Windows1250, 0, Text, -1, Result.data(), Length);
  Result.resize(static_cast<std::size_t>(Length - 1));
  return Result;
}

// Text in Windows-1250, with '?' for each character the code page lacks (never a look-alike);
// false when there was one.
bool ToWindows1250(const std::wstring& Text, std::string& Result) {
  Result.clear();
  if (Text.empty()) return true;
  const int Count = static_cast<int>(Text.size());
  const int Length = WideCharToMultiByte(Windows1250, WC_NO_BEST_FIT_CHARS, Text.data(), Count,
                                         nullptr, 0, "?", nullptr);
  if (Length <= 0) return false;
  Result.resize(static_cast<std::size_t>(Length));
  BOOL Replaced = FALSE;
  WideCharToMultiByte(Windows1250, WC_NO_BEST_FIT_CHARS, Text.data(), Count, Result.data(), Length,
                      "?", &Replaced);
  return !Replaced;
}

// The short (8.3) name of the last folder or file of Path, where the volume keeps one that
// Windows-1250 can hold.
bool ShortName(const std::wstring& Path, std::string& Result) {
  const DWORD Size = GetShortPathNameW(Path.c_str(), nullptr, 0);
  if (Size == 0) return false;
  std::wstring Short(Size, L'\0');
  const DWORD Length = GetShortPathNameW(Path.c_str(), Short.data(), Size);
  if (Length == 0 || Length >= Size) return false;
  Short.resize(Length);
  return ToWindows1250(Short.substr(Short.find_last_of(L"\\/") + 1), Result);
}

// Path in Windows-1250: each folder or file name that the code page cannot hold replaced by its
// short name, or where there is none, its characters by '?'.
std::string PathIn1250(const std::wstring& Path) {
  std::string Result;
  if (ToWindows1250(Path, Result)) return Result;
  Result.clear();
  for (std::size_t Start = 0;;) {
    const std::size_t End = std::min(Path.find_first_of(L"\\/", Start), Path.size());
    std::string Name;
    if (!ToWindows1250(Path.substr(Start, End - Start), Name)) {
      std::string Short;
      if (ShortName(Path.substr(0, End), Short)) Name = Short;
    }
    Result += Name;
    if (End == Path.size()) return Result;
    Result += static_cast<char>(Path[End]);
    Start = End + 1;
  }
}

// The UTF-16 form of a path given by the program; false with ERROR_INVALID_NAME for one holding
// '?' or '*', which Windows would read as wildcards and which stand for a character that was
// lost on the way.
bool WidePath(LPCSTR Path, std::wstring& Result) {
  if (Path != nullptr && std::strpbrk(Path, "?*") != nullptr) {
    SetLastError(ERROR_INVALID_NAME);
    return false;
  }
  Result = Wide(Path);
  return true;
}

// Value copied as the ...A functions return a text: its length, or where Buffer cannot hold it
// with its terminating zero, the size that can.
DWORD CopyOut(const std::string& Value, LPSTR Buffer, DWORD Size) {
  if (Buffer == nullptr || Value.size() >= Size) return static_cast<DWORD>(Value.size() + 1);
  std::memcpy(Buffer, Value.c_str(), Value.size() + 1);
  return static_cast<DWORD>(Value.size());
}

}  // namespace

std::wstring WideFrom1250(const std::string& Text) { return Wide(Text.c_str()); }

DWORD GetEnvironmentVariable1250(LPCSTR Name, LPSTR Buffer, DWORD Size) {
  const std::wstring WideName = Wide(Name);
  std::wstring Value(GetEnvironmentVariableW(WideName.c_str(), nullptr, 0), L'\0');
  if (Value.empty()) return 0;
  const DWORD Length =
      GetEnvironmentVariableW(WideName.c_str(), Value.data(), static_cast<DWORD>(Value.size()));
  if (Length == 0 || Length >= Value.size()) return 0;
  Value.resize(Length);
  return CopyOut(PathIn1250(Value), Buffer, Size);
}

DWORD GetModuleFileName1250(HMODULE Module, LPSTR Buffer, DWORD Size) {
  std::wstring Path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD Length = GetModuleFileNameW(Module, Path.data(), static_cast<DWORD>(Path.size()));
    if (Length == 0) return 0;
    if (Length < Path.size()) {
      Path.resize(Length);
      break;
    }
    Path.resize(Path.size() * 2);
  }
  const std::string Result = PathIn1250(Path);
  if (Size == 0) return 0;
  const DWORD Length = static_cast<DWORD>(std::min<std::size_t>(Result.size(), Size - 1));
  std::memcpy(Buffer, Result.data(), Length);
  Buffer[Length] = '\0';
  if (Result.size() < Size) return Length;
  SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return Size;
}

DWORD GetFullPathName1250(LPCSTR FileName, DWORD Size, LPSTR Buffer, LPSTR* FilePart) {
  std::wstring Path;
  if (!WidePath(FileName, Path)) return 0;
  std::wstring Full(GetFullPathNameW(Path.c_str(), 0, nullptr, nullptr), L'\0');
  if (Full.empty()) return 0;
  const DWORD Length =
      GetFullPathNameW(Path.c_str(), static_cast<DWORD>(Full.size()), Full.data(), nullptr);
  if (Length == 0 || Length >= Full.size()) return 0;
  Full.resize(Length);
  const std::string Result = PathIn1250(Full);
  const DWORD Copied = CopyOut(Result, Buffer, Size);
  if (FilePart && Copied == Result.size()) {
    const std::size_t Last = Result.find_last_of("\\/");
    *FilePart = Last + 1 < Result.size() ? Buffer + Last + 1 : nullptr;
  }
  return Copied;
}

BOOL CreateDirectory1250(LPCSTR PathName, LPSECURITY_ATTRIBUTES Security) {
  std::wstring Path;
  return WidePath(PathName, Path) && CreateDirectoryW(Path.c_str(), Security);
}

DWORD GetFileAttributes1250(LPCSTR FileName) {
  std::wstring Path;
  return WidePath(FileName, Path) ? GetFileAttributesW(Path.c_str()) : INVALID_FILE_ATTRIBUTES;
}

BOOL DeleteFile1250(LPCSTR FileName) {
  std::wstring Path;
  return WidePath(FileName, Path) && DeleteFileW(Path.c_str());
}

BOOL SetCurrentDirectory1250(LPCSTR PathName) {
  std::wstring Path;
  return WidePath(PathName, Path) && SetCurrentDirectoryW(Path.c_str());
}

HANDLE CreateFile1250(LPCSTR FileName, DWORD Access, DWORD Share, LPSECURITY_ATTRIBUTES Security,
                      DWORD Disposition, DWORD Flags, HANDLE Template) {
  std::wstring Path;
  if (!WidePath(FileName, Path)) return INVALID_HANDLE_VALUE;
  return CreateFileW(Path.c_str(), Access, Share, Security, Disposition, Flags, Template);
}

HINSTANCE ShellExecute1250(HWND Owner, LPCSTR Verb, LPCSTR File, LPCSTR Parameters,
                           LPCSTR Directory, int Show) {
  std::wstring WideFile, WideDirectory;
  if (!WidePath(File, WideFile) || !WidePath(Directory, WideDirectory))
    return reinterpret_cast<HINSTANCE>(SE_ERR_FNF);
  const std::wstring WideVerb = Wide(Verb), WideParameters = Wide(Parameters);
  SHELLEXECUTEINFOW Info{};
  Info.cbSize = sizeof Info;
  // The program may end right after the call: the launch must not be left to a thread of ours.
  // A failure is the program's to report, as with ShellExecuteA: no box of the system's (the
  // prompt for administrator rights is no error box and still comes).
  Info.fMask = SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
  Info.hwnd = Owner;
  Info.lpVerb = WideVerb.empty() ? nullptr : WideVerb.c_str();
  Info.lpFile = WideFile.c_str();
  Info.lpParameters = WideParameters.empty() ? nullptr : WideParameters.c_str();
  Info.lpDirectory = WideDirectory.empty() ? nullptr : WideDirectory.c_str();
  Info.nShow = Show;
  const bool Started = ShellExecuteExW(&Info) != FALSE;
  const INT_PTR Result = reinterpret_cast<INT_PTR>(Info.hInstApp);
  if (Started) return Result > 32 ? Info.hInstApp : reinterpret_cast<HINSTANCE>(33);
  return Result > 0 && Result <= 32 ? Info.hInstApp
                                    : reinterpret_cast<HINSTANCE>(SE_ERR_ACCESSDENIED);
}

HWND FindWindowEx1250(HWND Parent, HWND ChildAfter, LPCSTR ClassName, LPCSTR WindowName) {
  const std::wstring WideClass = Wide(ClassName), WideWindow = Wide(WindowName);
  return FindWindowExW(Parent, ChildAfter, ClassName ? WideClass.c_str() : nullptr,
                       WindowName ? WideWindow.c_str() : nullptr);
}
