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
