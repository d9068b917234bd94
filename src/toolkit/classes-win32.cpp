// Win32 side of the thread class and of the hand-off of synchronised calls: threads, the message
// to a hidden message-only window that wakes the message loop, and sleeping on a condition
// variable.
#include <windows.h>

#include <cstdlib>

#include "toolkit/backend.h"
#include "toolkit/classes.h"
#include "toolkit/synchub.h"

namespace {

constexpr UINT kSyncMessage = WM_APP + 1;
const char kSyncWindowClass[] = "ToolkitSyncWindow";

HWND g_SyncWindow = nullptr;
// Set whenever the main thread is woken; TThread::WaitFor waits for it besides the thread.
HANDLE g_WakeEvent = nullptr;

// Where workers sleep once their spin is over. A sleeper checks its word under the lock and a
// waker takes the lock after changing the word, so no wake-up is lost.
SRWLOCK g_SleepLock = SRWLOCK_INIT;
CONDITION_VARIABLE g_SleepCondition = CONDITION_VARIABLE_INIT;

LRESULT CALLBACK SyncWindowProc(HWND Wnd, UINT Msg, WPARAM W, LPARAM L) {
  if (Msg == kSyncMessage) {
    toolkit_sync::ServeFromLoop();
    return 0;
  }
  return DefWindowProcA(Wnd, Msg, W, L);
}

}  // namespace

namespace toolkit_backend {

void InitMainThread() {
  g_WakeEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  WNDCLASSEXA wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = SyncWindowProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = kSyncWindowClass;
  RegisterClassExA(&wc);
  g_SyncWindow = CreateWindowExA(0, kSyncWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                 wc.hInstance, nullptr);
}

std::uintptr_t CurrentThreadTag() { return GetCurrentThreadId(); }

bool SeveralProcessorsAvailable() {
  DWORD_PTR process = 0, system = 0;
  if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) return true;
  return (process & (process - 1)) != 0;
}

int CurrentProcessor() { return static_cast<int>(GetCurrentProcessorNumber()); }

void MoveOffProcessor(int Cpu) {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  if (info.dwNumberOfProcessors > 1) {
    SetThreadIdealProcessor(GetCurrentThread(),
                            static_cast<DWORD>(Cpu + 1) % info.dwNumberOfProcessors);
  }
}

// Windows already raises a thread that wakes from a wait above threads that use up their turns.
void AskForShortTurns() {}

void WakeMainLoop() {
  SetEvent(g_WakeEvent);
  PostMessageA(g_SyncWindow, kSyncMessage, 0, 0);
}

void AcknowledgeWake() {}

void NoteThreadEnded() { SetEvent(g_WakeEvent); }

bool SleepWhile(std::atomic<std::uint32_t>& Word, std::uint32_t Value,
                std::chrono::microseconds Limit) {
  const DWORD timeout = Limit == std::chrono::microseconds::max()
                            ? INFINITE
                            : static_cast<DWORD>((Limit.count() + 999) / 1000);
  bool woken = true;
  AcquireSRWLockExclusive(&g_SleepLock);
  if (Word.load(std::memory_order_acquire) == Value) {
    woken = SleepConditionVariableSRW(&g_SleepCondition, &g_SleepLock, timeout, 0) ||
            GetLastError() != ERROR_TIMEOUT;
  }
  ReleaseSRWLockExclusive(&g_SleepLock);
  return woken;
}

// Wakes every sleeper: they share one condition variable, and the word itself is not touched.
void WakeSleeper(std::atomic<std::uint32_t>&) {
  AcquireSRWLockExclusive(&g_SleepLock);
  ReleaseSRWLockExclusive(&g_SleepLock);
  WakeAllConditionVariable(&g_SleepCondition);
}

}  // namespace toolkit_backend

// A program with a window has no console for the message of the compiler's verbose terminate
// handler; this plain one also keeps that handler's symbol demangler out of the executable.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx

// ---------------------------------------------------------------------------------------------
// TThread

struct TThread::Handle {
  HANDLE Thread = nullptr;
  DWORD Id = 0;
};

TThread::~TThread() {
  if (!FHandle) return;
  if (FHandle->Id != GetCurrentThreadId()) {
    if (!FFinished.load()) Terminate();
    WaitFor();
  }
  if (FHandle->Thread) CloseHandle(FHandle->Thread);
  delete FHandle;
}

void TThread::Start() {
  PrepareStart();
  FHandle = new Handle;
  // Created suspended so that the handle is stored before the thread can free itself.
  FHandle->Thread = CreateThread(
      nullptr, 0,
      [](LPVOID Param) -> DWORD {
        ThreadMain(static_cast<TThread*>(Param));
        return 0;
      },
      this, CREATE_SUSPENDED, &FHandle->Id);
  if (!FHandle->Thread) {
    toolkit_sync::ThreadEnded();
    throw Exception("Thread creation error");
  }
  ResumeThread(FHandle->Thread);
}

void TThread::WaitFor() {
  if (!FHandle || !FHandle->Thread) return;
  if (IsMainThread()) {
    const toolkit_sync::BlockingWait waiting;
    const HANDLE waits[] = {FHandle->Thread, g_WakeEvent};
    while (!FFinished.load()) {
      toolkit_sync::ServePending();
      if (FFinished.load()) break;
      if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0) break;
    }
  }
  WaitForSingleObject(FHandle->Thread, INFINITE);
}
