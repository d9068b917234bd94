// POSIX stand-in for the Windows file handle functions: paths are Windows-1250 and converted to
// UTF-8; handles are file descriptors.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "platform/paths-posix.h"
#include "windows.h"

namespace {

HANDLE ToHandle(int Fd) { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(Fd)); }
int ToFd(HANDLE H) { return static_cast<int>(reinterpret_cast<std::intptr_t>(H)); }

}  // namespace

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD, LPVOID,
                   DWORD dwCreationDisposition, DWORD, HANDLE) {
  if (lpFileName != nullptr && std::strpbrk(lpFileName, "?*") != nullptr) {
    SetLastError(ERROR_INVALID_NAME);
    return INVALID_HANDLE_VALUE;
  }
  // A link planted where the file goes would send the bytes to a place of another's choosing.
  int Flags = O_CLOEXEC | O_NOFOLLOW;
  if (dwCreationDisposition == CREATE_ALWAYS) Flags |= O_CREAT | O_TRUNC;
  Flags |= (dwDesiredAccess & GENERIC_WRITE) ? O_WRONLY : O_RDONLY;
  const std::string Path = SystemPath(lpFileName);
  const int Fd = ::open(Path.c_str(), Flags, 0644);
  if (Fd < 0) {
    SetLastError(WindowsErrorFromErrno(errno, Path));
    return INVALID_HANDLE_VALUE;
  }
  return ToHandle(Fd);
}

BOOL WriteFile(HANDLE hFile, const void* lpBuffer, DWORD nNumberOfBytesToWrite,
               DWORD* lpNumberOfBytesWritten, LPVOID) {
  const char* Data = static_cast<const char*>(lpBuffer);
  DWORD Done = 0;
  while (Done < nNumberOfBytesToWrite) {
    const ssize_t N = ::write(ToFd(hFile), Data + Done, nNumberOfBytesToWrite - Done);
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) {
      SetLastError(N < 0 ? WindowsErrorFromErrno(errno, "") : ERROR_DISK_FULL);
      if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = Done;
      return FALSE;
    }
    Done += static_cast<DWORD>(N);
  }
  if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = Done;
  return TRUE;
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, DWORD* lpNumberOfBytesRead,
              LPVOID) {
  ssize_t N;
  do {
    N = ::read(ToFd(hFile), lpBuffer, nNumberOfBytesToRead);
  } while (N < 0 && errno == EINTR);
  if (lpNumberOfBytesRead) *lpNumberOfBytesRead = N < 0 ? 0 : static_cast<DWORD>(N);
  if (N < 0) {
    SetLastError(WindowsErrorFromErrno(errno, ""));
    return FALSE;
  }
  return TRUE;
}

BOOL CloseHandle(HANDLE hObject) {
  if (hObject == INVALID_HANDLE_VALUE || hObject == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (::close(ToFd(hObject)) != 0) {
    SetLastError(WindowsErrorFromErrno(errno, ""));
    return FALSE;
  }
  return TRUE;
}
