// GoogleTest's thread start-up notification over a Win32 event, for the compiler's win32 thread
// model, which has no std::mutex or std::condition_variable. Force-included when GoogleTest and
// its tests are built for Windows.
#pragma once

#ifdef __cplusplus
#include <windows.h>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing {
namespace internal {

class Notification {
 public:
  Notification() : Event(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
  ~Notification() { CloseHandle(Event); }
  Notification(const Notification&) = delete;
  Notification& operator=(const Notification&) = delete;
  void Notify() { SetEvent(Event); }
  void WaitForNotification() { WaitForSingleObject(Event, INFINITE); }

 private:
  HANDLE Event;
};

}  // namespace internal
}  // namespace testing
#endif
