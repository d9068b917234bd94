// POSIX stand-in for the Windows file handle functions: paths are Windows-1250 and converted to
// UTF-8; handles are file descriptors.
//
// A folder opened as a handle (FILE_FLAG_BACKUP_SEMANTICS) is held by its descriptor: every later
// call on a file directly inside it goes through that descriptor, not through the path, so that
// renaming the folder or a link planted on its path changes nothing. A file opened for reading
// without FILE_SHARE_WRITE stands, as on Windows, for the file under its name until the handle
// is closed: a launch of that name starts that very file.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>

#include "platform/fakes-posix.h"
#include "platform/paths-posix.h"
#include "windows.h"

namespace {

HANDLE ToHandle(int Fd) { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(Fd)); }
int ToFd(HANDLE H) { return static_cast<int>(reinterpret_cast<std::intptr_t>(H)); }

// The folders and files held open, by their normalised path; touched from any thread.
struct THeldHandles {
  std::mutex Lock;
  std::map<std::string, int> Folders;
  std::map<std::string, int> Files;
};
THeldHandles& Held() {
  static THeldHandles Handles;
  return Handles;
}

std::string Normalised(const std::string& Path) {
  std::string Result = std::filesystem::path(Path).lexically_normal().string();
  while (Result.size() > 1 && Result.back() == '/') Result.pop_back();
  return Result;
}

void Forget(std::map<std::string, int>& Handles, int Fd) {
  for (auto It = Handles.begin(); It != Handles.end(); ++It) {
    if (It->second != Fd) continue;
    Handles.erase(It);
    return;
  }
}

bool WritableByOthers(const struct stat& Status) {
  return (Status.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

// An access control list beyond the mode bits, or one that files made inside would inherit.
bool HasAccessList(int Fd) {
  for (const char* Name : {"system.posix_acl_access", "system.posix_acl_default"}) {
    if (::fgetxattr(Fd, Name, nullptr, 0) > 0) return true;
  }
  return false;
}

// Refuses a folder that anyone but us could change: it must be ours with no group or other
// write and no access list, and its parent must let nobody else rename it (not writable by
// others, unless sticky, and owned by us or the system).
DWORD PrivateFolderError(int Fd) {
  struct stat Status {};
  if (::fstat(Fd, &Status) != 0) return WindowsErrorFromErrno(errno, "");
  if (Status.st_uid != ::geteuid() || WritableByOthers(Status) || HasAccessList(Fd))
    return ERROR_ACCESS_DENIED;
  const int Parent = ::openat(Fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (Parent < 0) return WindowsErrorFromErrno(errno, "");
  struct stat Above {};
  const bool Read = ::fstat(Parent, &Above) == 0;
  ::close(Parent);
  if (!Read) return ERROR_ACCESS_DENIED;
  const bool ParentOwned = Above.st_uid == ::geteuid() || Above.st_uid == 0;
  const bool ParentShared = WritableByOthers(Above) && (Above.st_mode & S_ISVTX) == 0;
  return ParentOwned && !ParentShared ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

HANDLE Refuse(DWORD Error) {
  SetLastError(Error);
  return INVALID_HANDLE_VALUE;
}

HANDLE OpenHeldFolder(const std::string& Path) {
  const int Fd = ::open(Path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (Fd < 0) {
    // A link, whoever put it there, is not a folder we hold.
    struct stat Status {};
    const int Error = errno;
    const bool Link = ::lstat(Path.c_str(), &Status) == 0 && S_ISLNK(Status.st_mode);
    return Refuse(Link ? ERROR_ACCESS_DENIED : WindowsErrorFromErrno(Error, Path));
  }
  if (const DWORD Error = PrivateFolderError(Fd); Error != ERROR_SUCCESS) {
    ::close(Fd);
    return Refuse(Error);
  }
  const std::lock_guard<std::mutex> Guard(Held().Lock);
  Held().Folders[Normalised(Path)] = Fd;
  return ToHandle(Fd);
}

}  // namespace

TPlace PlaceOf(const std::string& SystemPath) {
  const std::string Path = Normalised(SystemPath);
  const std::size_t Slash = Path.rfind('/');
  if (Slash != std::string::npos && Slash + 1 < Path.size()) {
    const std::string Name = Path.substr(Slash + 1);
    const std::lock_guard<std::mutex> Guard(Held().Lock);
    const auto Folder = Held().Folders.find(Slash == 0 ? "/" : Path.substr(0, Slash));
    if (Folder != Held().Folders.end() && Name != "..") return {Folder->second, Name};
  }
  return {AT_FDCWD, SystemPath};
}

int HeldFolderDescriptor(const std::string& SystemPath) {
  const std::lock_guard<std::mutex> Guard(Held().Lock);
  const auto Folder = Held().Folders.find(Normalised(SystemPath));
  return Folder == Held().Folders.end() ? -1 : Folder->second;
}

int HeldFileDescriptor(const std::string& SystemPath) {
  const std::lock_guard<std::mutex> Guard(Held().Lock);
  const auto File = Held().Files.find(Normalised(SystemPath));
  return File == Held().Files.end() ? -1 : File->second;
}

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode, LPVOID,
                   DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes, HANDLE) {
  if (lpFileName != nullptr && std::strpbrk(lpFileName, "?*") != nullptr)
    return Refuse(ERROR_INVALID_NAME);
  const std::string Path = SystemPath(lpFileName);
  if (dwFlagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS) return OpenHeldFolder(Path);
  const bool Creates =
      dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == CREATE_NEW;
  if (Creates && PlatformFakes().CreateFileError) return Refuse(*PlatformFakes().CreateFileError);
  // A link planted where the file goes would send the bytes to a place of another's choosing.
  int Flags = O_CLOEXEC | O_NOFOLLOW;
  if (dwCreationDisposition == CREATE_ALWAYS) Flags |= O_CREAT | O_TRUNC;
  if (dwCreationDisposition == CREATE_NEW) Flags |= O_CREAT | O_EXCL;
  Flags |= (dwDesiredAccess & GENERIC_WRITE) ? O_WRONLY : O_RDONLY;
  const TPlace Place = PlaceOf(Path);
  const int Fd = ::openat(Place.Folder, Place.Name.c_str(), Flags, 0644);
  if (Fd < 0) return Refuse(WindowsErrorFromErrno(errno, Path));
  if (!(dwDesiredAccess & GENERIC_WRITE) && !(dwShareMode & FILE_SHARE_WRITE)) {
    const std::lock_guard<std::mutex> Guard(Held().Lock);
    Held().Files[Normalised(Path)] = Fd;
  }
  return ToHandle(Fd);
}

HANDLE CreateMutexA(LPVOID, BOOL, LPCSTR) {
  // A fresh open of the held folder, so that the lock is this handle's alone and goes with it.
  std::unique_lock<std::mutex> Guard(Held().Lock);
  if (Held().Folders.size() != 1) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  const int Fd = ::openat(Held().Folders.begin()->second, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  Guard.unlock();
  if (Fd < 0) {
    SetLastError(WindowsErrorFromErrno(errno, ""));
    return nullptr;
  }
  int Locked;
  do {
    Locked = ::flock(Fd, LOCK_EX | LOCK_NB);
  } while (Locked != 0 && errno == EINTR);
  SetLastError(Locked == 0 ? ERROR_SUCCESS : ERROR_ALREADY_EXISTS);
  return ToHandle(Fd);
}

BOOL GetFileInformationByHandle(HANDLE hFile, BY_HANDLE_FILE_INFORMATION* lpFileInformation) {
  struct stat Status {};
  if (lpFileInformation == nullptr || ::fstat(ToFd(hFile), &Status) != 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  *lpFileInformation = {};
  const auto Device = static_cast<std::uint64_t>(Status.st_dev);
  const auto Node = static_cast<std::uint64_t>(Status.st_ino);
  lpFileInformation->dwVolumeSerialNumber = static_cast<DWORD>(Device ^ (Device >> 32));
  lpFileInformation->nFileIndexHigh = static_cast<DWORD>(Node >> 32);
  lpFileInformation->nFileIndexLow = static_cast<DWORD>(Node);
  lpFileInformation->nNumberOfLinks = static_cast<DWORD>(Status.st_nlink);
  if (S_ISDIR(Status.st_mode)) lpFileInformation->dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
  return TRUE;
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
  {
    const std::lock_guard<std::mutex> Guard(Held().Lock);
    Forget(Held().Folders, ToFd(hObject));
    Forget(Held().Files, ToFd(hObject));
  }
  if (::close(ToFd(hObject)) != 0) {
    SetLastError(WindowsErrorFromErrno(errno, ""));
    return FALSE;
  }
  return TRUE;
}
