// POSIX stand-in for the parts of the Windows API that the program calls. Texts are
// Windows-1250 bytes; the implementation converts them to and from UTF-8 for the system.
#pragma once

#include <cstdint>

using BOOL = int;
using DWORD = std::uint32_t;
using WORD = std::uint16_t;
using LPCSTR = const char*;
using LPSTR = char*;
using LPVOID = void*;
using HANDLE = void*;
using HMODULE = void*;
using HINSTANCE = void*;
using HWND = void*;
using INT_PTR = std::intptr_t;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;

constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_INVALID_NAME = 123;
constexpr DWORD ERROR_ALREADY_EXISTS = 183;
constexpr DWORD ERROR_DISK_FULL = 112;
constexpr DWORD ERROR_CANCELLED = 1223;

constexpr DWORD GENERIC_READ = 0x80000000;
constexpr DWORD GENERIC_WRITE = 0x40000000;
constexpr DWORD FILE_SHARE_READ = 1;
constexpr DWORD FILE_SHARE_WRITE = 2;
constexpr DWORD FILE_SHARE_DELETE = 4;
constexpr DWORD CREATE_NEW = 1;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD FILE_FLAG_BACKUP_SEMANTICS = 0x02000000;
inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));

constexpr int SW_HIDE = 0;
constexpr int SW_SHOWNORMAL = 1;
constexpr int SW_SHOW = 5;

// Environment names are matched without regard to case. Where the system lacks "temp",
// "processor_architecture", "CommonProgramFiles" or "CommonProgramFiles(x86)", the stand-in
// supplies the user's own $TMPDIR, $XDG_CACHE_HOME or ~/.cache, the architecture from uname, and
// /opt.
//
// Paths holding '?' or '*' are refused with ERROR_INVALID_NAME, as Windows refuses them: they
// are what characters outside Windows-1250 become. A folder that another user owns, or that
// others may write to without the sticky bit, counts as inaccessible (ERROR_ACCESS_DENIED).
DWORD GetEnvironmentVariableA(LPCSTR lpName, LPSTR lpBuffer, DWORD nSize);
// The path the program was started by, made absolute against the directory it started in.
DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);
BOOL CreateDirectoryA(LPCSTR lpPathName, LPVOID lpSecurityAttributes);
// The absolute form of a path: a relative one joined to the current directory; fails for a path
// that Windows-1250 cannot name.
DWORD GetFullPathNameA(LPCSTR lpFileName, DWORD nBufferLength, LPSTR lpBuffer, LPSTR* lpFilePart);
// A lock held by the process until it ends or closes the handle; GetLastError() is
// ERROR_ALREADY_EXISTS when another process holds it. It is a lock on the folder the process
// holds open (see CreateFileA), which nobody but its owner can open; the name is not used.
HANDLE CreateMutexA(LPVOID lpMutexAttributes, BOOL bInitialOwner, LPCSTR lpName);
DWORD GetFileAttributesA(LPCSTR lpFileName);
BOOL DeleteFileA(LPCSTR lpFileName);
BOOL SetCurrentDirectoryA(LPCSTR lpPathName);
// Files: only creating for writing (CREATE_ALWAYS, CREATE_NEW) and opening for reading are
// supported. A symbolic link in the last place of the path is never followed.
//
// A folder (FILE_FLAG_BACKUP_SEMANTICS) opens only when it is private: ours, with no group or
// other write and no access list, in a parent that nobody else may rename it in (else
// ERROR_ACCESS_DENIED). While its handle is open, every call on a file directly inside it goes
// through the handle rather than the path, and a named mutex is a lock on it. A file opened for
// reading without FILE_SHARE_WRITE is what a launch of its path starts until the handle closes.
HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPVOID lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
BOOL WriteFile(HANDLE hFile, const void* lpBuffer, DWORD nNumberOfBytesToWrite,
               DWORD* lpNumberOfBytesWritten, LPVOID lpOverlapped);
// Reads up to nNumberOfBytesToRead bytes; success with 0 bytes read at the end of the file.
BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, DWORD* lpNumberOfBytesRead,
              LPVOID lpOverlapped);
BOOL CloseHandle(HANDLE hObject);
struct FILETIME {
  DWORD dwLowDateTime, dwHighDateTime;
};
// Only the identity (volume serial and file index), the link count and the directory attribute.
struct BY_HANDLE_FILE_INFORMATION {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime, ftLastAccessTime, ftLastWriteTime;
  DWORD dwVolumeSerialNumber, nFileSizeHigh, nFileSizeLow, nNumberOfLinks;
  DWORD nFileIndexHigh, nFileIndexLow;
};
BOOL GetFileInformationByHandle(HANDLE hFile, BY_HANDLE_FILE_INFORMATION* lpFileInformation);
DWORD GetCurrentProcessId();
// The stand-in sees no other process's windows: FindWindowExA finds none, and the others do
// nothing.
HWND FindWindowExA(HWND hWndParent, HWND hWndChildAfter, LPCSTR lpszClass, LPCSTR lpszWindow);
DWORD GetWindowThreadProcessId(HWND hWnd, DWORD* lpdwProcessId);
BOOL SetForegroundWindow(HWND hWnd);
void Sleep(DWORD dwMilliseconds);
// The process's own security token: only whether it holds administrator rights (TokenElevation),
// which here means running as root. The token is closed with CloseHandle.
constexpr DWORD TOKEN_QUERY = 0x0008;
enum TOKEN_INFORMATION_CLASS { TokenElevation = 20 };
struct TOKEN_ELEVATION {
  DWORD TokenIsElevated;
};
HANDLE GetCurrentProcess();
BOOL OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, HANDLE* TokenHandle);
BOOL GetTokenInformation(HANDLE TokenHandle, TOKEN_INFORMATION_CLASS TokenInformationClass,
                         LPVOID TokenInformation, DWORD TokenInformationLength,
                         DWORD* ReturnLength);
// The program's arguments as one line, each quoted where it holds a space.
LPSTR GetCommandLineA();
// Windows error numbers mapped from the system's error of the last failed call of this thread.
DWORD GetLastError();
void SetLastError(DWORD dwErrCode);
