// Helpers shared by the POSIX stand-ins: paths and error numbers as the Windows API has them.
#pragma once

#include <string>

#include "windows.h"

// A Windows-1250 path as the system takes it: UTF-8, with backslashes turned into slashes since
// the program builds its paths with the Windows separator. A null path counts as empty.
std::string SystemPath(LPCSTR Path);

// The Windows error number for the system's error Error of a call on SystemPath. A missing file
// counts as ERROR_FILE_NOT_FOUND when its directory exists and as ERROR_PATH_NOT_FOUND otherwise.
DWORD WindowsErrorFromErrno(int Error, const std::string& SystemPath);

// Where the system calls find a file: inside a folder the process holds open, that folder's
// descriptor and the bare name; elsewhere AT_FDCWD and the whole path.
struct TPlace {
  int Folder;
  std::string Name;
};
TPlace PlaceOf(const std::string& SystemPath);
// The descriptor of the folder at SystemPath that the process holds open, or -1.
int HeldFolderDescriptor(const std::string& SystemPath);
// The descriptor of the file at SystemPath that the process holds open against change, or -1.
int HeldFileDescriptor(const std::string& SystemPath);
