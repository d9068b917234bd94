// An untyped file of 1-byte records opened for writing, written through a buffer.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

class TUntypedFile {
 public:
  TUntypedFile();
  ~TUntypedFile();  // writes what is buffered and closes, ignoring errors
  TUntypedFile(const TUntypedFile&) = delete;
  TUntypedFile& operator=(const TUntypedFile&) = delete;

  // Creates FileName, or empties it if it exists. Raises EInOutError on failure.
  void Rewrite(const std::string& FileName);
  // Raises EInOutError when the bytes cannot be written.
  void BlockWrite(const void* Data, std::size_t Count);
  // Writes what is buffered and closes; raises EInOutError when that fails.
  void CloseFile();
  bool IsOpen() const;

 private:
  void Flush();
  void* FHandle;
  std::unique_ptr<unsigned char[]> FBuffer;
  std::size_t FUsed = 0;
};
