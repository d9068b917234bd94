// File and path helpers over the platform's file functions. Paths are Windows-1250 bytes.
#pragma once

#include <string>

#include "toolkit/classes.h"

// The platform's path separator: '\\' on Windows, '/' elsewhere.
extern const char PathDelim;

// An input/output error; its message is chosen by the platform's error number.
class EInOutError : public Exception {
 public:
  explicit EInOutError(int Code);
  int ErrorCode;
};

// "File not found." for 2, "File access denied." for 5, ..., "I/O error %d." for others.
std::string InOutErrorMessage(int Code);

// The text after the last path separator (or drive colon, where the platform has drives).
std::string ExtractFileName(const std::string& Path);
// True for an existing file; a directory does not count.
bool FileExists(const std::string& FileName);
bool DeleteFile(const std::string& FileName);
// Creates Dir with every missing parent; an existing directory counts as success. On failure the
// last error is that of the creation that failed.
bool ForceDirectories(std::string Dir);
// Sets the process's current directory; raises EInOutError with the platform's error number.
void ChDir(const std::string& Dir);
