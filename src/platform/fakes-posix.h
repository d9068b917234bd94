// Answers a test can put in place of the system's in the POSIX stand-ins, for what a test process
// cannot arrange for real: a folder it may not create or write to (tests may run as root),
// administrator rights, and the user's answer to the prompt for them. Unset, the stand-ins ask the
// system.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "windows.h"

struct TPlatformFakes {
  // CreateDirectoryA fails with this error.
  std::optional<DWORD> CreateDirectoryError;
  // The elevation that GetTokenInformation reports (otherwise: running as root).
  std::optional<bool> Elevated;
  // What GetCommandLineA returns.
  std::optional<std::string> CommandLine;
  // ShellExecuteA with the verb "runas" (otherwise not supported): gets the file and the
  // parameters, returns the call's result and sets the last error as the call would.
  std::function<INT_PTR(const std::string& File, const std::string& Parameters)> RunAs;
  // CreateFileA fails with this error when it would create a file.
  std::optional<DWORD> CreateFileError;
};

// The one set of answers of the process; a test resets it when done.
TPlatformFakes& PlatformFakes();
