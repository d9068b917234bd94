// The Windows build's environment, file and launch functions for Windows-1250 texts. The
// system's ...A functions convert with the machine's ANSI code page, which need not be 1250, and
// put a look-alike or '?' in place of a character that code page lacks. The program keeps calling
// the ...A names; the macros below (included by windows-prelude-win32.h) route those calls here,
// where the texts are converted between Windows-1250 and UTF-16 and the system's ...W functions
// are called, as the POSIX stand-ins convert to UTF-8.
//
// A path that the system hands back (a variable's value, the executable's path, a full path)
// with a folder or file name that Windows-1250 cannot hold gets that name's short (8.3) form,
// where its volume keeps one; otherwise those characters become '?'. A path holding '?' or '*'
// is refused with ERROR_INVALID_NAME, so nothing is ever created, opened or run under a name the
// user did not give.
#pragma once

#include <windows.h>

#include <shellapi.h>

#include <string>

// Windows-1250 text as UTF-16, for the system's ...W functions.
std::wstring WideFrom1250(const std::string& Text);

DWORD GetEnvironmentVariable1250(LPCSTR Name, LPSTR Buffer, DWORD Size);
// As GetModuleFileNameA: a path that does not fit is cut to Size characters, and Size returned.
DWORD GetModuleFileName1250(HMODULE Module, LPSTR Buffer, DWORD Size);
DWORD GetFullPathName1250(LPCSTR FileName, DWORD Size, LPSTR Buffer, LPSTR* FilePart);
BOOL CreateDirectory1250(LPCSTR PathName, LPSECURITY_ATTRIBUTES Security);
DWORD GetFileAttributes1250(LPCSTR FileName);
BOOL DeleteFile1250(LPCSTR FileName);
BOOL SetCurrentDirectory1250(LPCSTR PathName);
HANDLE CreateFile1250(LPCSTR FileName, DWORD Access, DWORD Share, LPSECURITY_ATTRIBUTES Security,
                      DWORD Disposition, DWORD Flags, HANDLE Template);
// Windows are titled in UTF-16 (see TForm::SetCaption): found by the title's Windows-1250 text.
HWND FindWindowEx1250(HWND Parent, HWND ChildAfter, LPCSTR ClassName, LPCSTR WindowName);
// Through ShellExecuteExW, with Owner as the window that the system's prompts (that of "runas"
// for administrator rights among them) belong to; the call returns once the launch is under way.
HINSTANCE ShellExecute1250(HWND Owner, LPCSTR Verb, LPCSTR File, LPCSTR Parameters,
                           LPCSTR Directory, int Show);

#define GetEnvironmentVariableA GetEnvironmentVariable1250
#define GetModuleFileNameA GetModuleFileName1250
#define GetFullPathNameA GetFullPathName1250
#define CreateDirectoryA CreateDirectory1250
#define GetFileAttributesA GetFileAttributes1250
#define DeleteFileA DeleteFile1250
#define SetCurrentDirectoryA SetCurrentDirectory1250
#define CreateFileA CreateFile1250
#define ShellExecuteA ShellExecute1250
#define FindWindowExA FindWindowEx1250
