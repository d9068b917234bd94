#include "toolkit/fileio.h"

#include <windows.h>

#include <cstring>

#include "toolkit/sysutils.h"

namespace {

// Large enough that a download of 1025-byte chunks costs one system call per 256 chunks.
constexpr std::size_t kBufferSize = 256 * 1024;

}  // namespace

TUntypedFile::TUntypedFile() : FHandle(INVALID_HANDLE_VALUE) {}

TUntypedFile::~TUntypedFile() {
  try {
    CloseFile();
  } catch (...) {
    // Nothing more can be done for a file abandoned on an error path.
  }
}

bool TUntypedFile::IsOpen() const { return FHandle != INVALID_HANDLE_VALUE; }

void TUntypedFile::Rewrite(const std::string& FileName) {
  if (IsOpen()) CloseFile();
  FHandle = CreateFileA(FileName.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
  if (!IsOpen()) throw EInOutError(static_cast<int>(GetLastError()));
  if (!FBuffer) FBuffer.reset(new unsigned char[kBufferSize]);
  FUsed = 0;
}

void TUntypedFile::BlockWrite(const void* Data, std::size_t Count) {
  if (!IsOpen()) throw EInOutError(103);  // file not open
  if (FUsed + Count > kBufferSize) Flush();
  if (Count >= kBufferSize) {
    DWORD written = 0;
    if (!WriteFile(FHandle, Data, static_cast<DWORD>(Count), &written, nullptr) || written != Count)
      throw EInOutError(static_cast<int>(GetLastError()));
    return;
  }
  std::memcpy(FBuffer.get() + FUsed, Data, Count);
  FUsed += Count;
}

void TUntypedFile::Flush() {
  if (FUsed == 0) return;
  const DWORD count = static_cast<DWORD>(FUsed);
  DWORD written = 0;
  const bool ok = WriteFile(FHandle, FBuffer.get(), count, &written, nullptr);
  FUsed = 0;
  if (!ok || written != count) throw EInOutError(static_cast<int>(GetLastError()));
}

void TUntypedFile::CloseFile() {
  if (!IsOpen()) return;
  HANDLE handle = FHandle;
  try {
    Flush();
  } catch (...) {
    FHandle = INVALID_HANDLE_VALUE;
    CloseHandle(handle);
    throw;
  }
  FHandle = INVALID_HANDLE_VALUE;
  if (!CloseHandle(handle)) throw EInOutError(static_cast<int>(GetLastError()));
}
