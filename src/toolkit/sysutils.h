// File and path helpers over the platform's file functions. Paths are Windows-1250 bytes.
#pragma once

#include <cstdint>
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

// The text after the last slash, backslash or colon.
std::string ExtractFileName(const std::string& Path);
// The absolute form of FileName against the current directory; empty when the platform cannot
// name it.
std::string ExpandFileName(const std::string& FileName);
// True for an existing file; a directory does not count.
bool FileExists(const std::string& FileName);
bool DeleteFile(const std::string& FileName);
// Creates Dir with every missing parent; an existing directory counts as success. On failure the
// last error is that of the creation that failed.
bool ForceDirectories(std::string Dir);
// True when a file can be made in Dir (a probe with a name of its own, deleted at once); on
// failure the last error is that of the creation.
bool DirectoryWritable(const std::string& Dir);
// Sets the process's current directory; raises EInOutError with the platform's error number.
void ChDir(const std::string& Dir);

// Reads a decimal 32-bit integer with an optional sign; raises Exception for anything else.
std::int32_t StrToInt(const std::string& Text);
