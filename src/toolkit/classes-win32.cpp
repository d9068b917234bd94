// The thread class and the hand-off of synchronised calls from worker threads to the main thread,
// over the Win32 API.
//
// A download worker synchronises once per received block, so the round trip worker -> main ->
// worker bounds the download speed. The hand-off therefore avoids system calls on the hot path:
// a call is announced to the main thread by a message to a hidden message-only window only when
// the main thread is not already serving; once woken, the main thread keeps serving calls that
// arrive within a short window, and a waiting worker spins briefly on its completion flag before
// it sleeps on its event. Neither spins when only one processor is available to the process;
// they yield to each other instead.
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <memory>

#include "toolkit/classes.h"
#include "toolkit/synchub.h"

namespace {

using Clock = std::chrono::steady_clock;

// How long the main thread waits for a further call before it returns to its message loop, and
// how long it may serve calls in one go.
constexpr auto kLingerWindow = std::chrono::microseconds(200);
constexpr auto kServeBudget = std::chrono::milliseconds(8);
// How long a worker spins on its completion flag before it sleeps.
constexpr auto kWorkerSpin = std::chrono::microseconds(50);

constexpr UINT kSyncMessage = WM_APP + 1;
const char kSyncWindowClass[] = "ToolkitSyncWindow";

bool SeveralProcessorsAvailable() {
  DWORD_PTR process = 0, system = 0;
  if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) return true;
  return (process & (process - 1)) != 0;
}

// Waits, spinning or yielding, until Ready() holds or Limit has passed; true when it holds.
template <class Pred>
bool SpinUntil(Pred Ready, Clock::duration Limit, bool Spin) {
  const auto deadline = Clock::now() + Limit;
  for (unsigned i = 1;; ++i) {
    if (Ready()) return true;
    if (Spin) {
      YieldProcessor();
    } else {
      SwitchToThread();
    }
    if (i % 32 == 0 && Clock::now() >= deadline) return Ready();
  }
}

// One pending call. Each thread object reuses its own slot; the queue shares ownership, so the
// main thread may still signal a slot whose thread has just freed itself.
struct Slot {
  Slot() : Event(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}
  ~Slot() { CloseHandle(Event); }
  Slot(const Slot&) = delete;
  Slot& operator=(const Slot&) = delete;

  const std::function<void()>* Method = nullptr;
  std::exception_ptr Error;
  std::atomic<LONG> Done{0};
  HANDLE Event;
};

class SrwGuard {
 public:
  explicit SrwGuard(SRWLOCK& Lock) : FLock(Lock) { AcquireSRWLockExclusive(&FLock); }
  ~SrwGuard() { ReleaseSRWLockExclusive(&FLock); }
  SrwGuard(const SrwGuard&) = delete;
  SrwGuard& operator=(const SrwGuard&) = delete;

 private:
  SRWLOCK& FLock;
};

LRESULT CALLBACK SyncWindowProc(HWND Wnd, UINT Msg, WPARAM W, LPARAM L);

class Hub {
 public:
  Hub()
      : FMainThread(GetCurrentThreadId()),
        FSpin(SeveralProcessorsAvailable()),
        FWakeEvent(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = SyncWindowProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = kSyncWindowClass;
    RegisterClassExA(&wc);
    FWindow = CreateWindowExA(0, kSyncWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              wc.hInstance, nullptr);
  }

  DWORD MainThread() const { return FMainThread; }
  HANDLE WakeEvent() const { return FWakeEvent; }

  void Call(const std::shared_ptr<Slot>& Own, const std::function<void()>& Method) {
    Slot& slot = *Own;
    slot.Method = &Method;
    slot.Error = nullptr;
    slot.Done.store(0, std::memory_order_relaxed);
    bool wake;
    {
      SrwGuard lock(FLock);
      FQueue.push_back(Own);
      FPending.fetch_add(1, std::memory_order_release);
      wake = !FServing;
      FServing = true;
    }
    if (wake) Wake();
    auto done = [&slot] { return slot.Done.load(std::memory_order_acquire) != 0; };
    if (!SpinUntil(done, kWorkerSpin, FSpin)) {
      // The event may still be set from an earlier call that ended during the spin.
      while (!done()) WaitForSingleObject(slot.Event, INFINITE);
    }
    if (slot.Error) std::rethrow_exception(slot.Error);
  }

  void Serve(bool Linger) {
    const auto started = Clock::now();
    AcquireSRWLockExclusive(&FLock);
    FServing = true;
    for (;;) {
      while (!FQueue.empty()) {
        std::shared_ptr<Slot> slot = std::move(FQueue.front());
        FQueue.pop_front();
        FPending.fetch_sub(1, std::memory_order_relaxed);
        ReleaseSRWLockExclusive(&FLock);
        Run(*slot);
        AcquireSRWLockExclusive(&FLock);
      }
      if (!Linger || Clock::now() - started >= kServeBudget) break;
      ReleaseSRWLockExclusive(&FLock);
      const bool arrived = SpinUntil(
          [this] { return FPending.load(std::memory_order_acquire) > 0; }, kLingerWindow, FSpin);
      AcquireSRWLockExclusive(&FLock);
      if (!arrived && FQueue.empty()) break;
    }
    const bool more = !FQueue.empty();
    if (!more) FServing = false;
    ReleaseSRWLockExclusive(&FLock);
    // Out of budget with calls still waiting: come back to them after the window's messages.
    if (more) Wake();
  }

  void Wake() {
    SetEvent(FWakeEvent);
    PostMessageA(FWindow, kSyncMessage, 0, 0);
  }

  int Pending() const { return FPending.load(); }

 private:
  static void Run(Slot& S) {
    try {
      (*S.Method)();
    } catch (...) {
      S.Error = std::current_exception();
    }
    S.Done.store(1, std::memory_order_release);
    SetEvent(S.Event);
  }

  const DWORD FMainThread;
  const bool FSpin;
  const HANDLE FWakeEvent;
  HWND FWindow = nullptr;
  SRWLOCK FLock = SRWLOCK_INIT;
  std::deque<std::shared_ptr<Slot>> FQueue;
  std::atomic<int> FPending{0};
  // True while the main thread serves the queue or has been woken to do so.
  bool FServing = false;
};

// The hub is created by the first thread that touches the toolkit: the main thread.
Hub& TheHub() {
  static Hub hub;
  return hub;
}

[[maybe_unused]] const bool kMainThreadNoted = (TheHub(), true);

std::atomic<toolkit_sync::ErrorReporter> g_ErrorReporter{nullptr};

LRESULT CALLBACK SyncWindowProc(HWND Wnd, UINT Msg, WPARAM W, LPARAM L) {
  if (Msg == kSyncMessage) {
    toolkit_sync::ServeFromLoop();
    return 0;
  }
  return DefWindowProcA(Wnd, Msg, W, L);
}

}  // namespace

namespace toolkit_sync {

void NoteMainThread() { TheHub(); }
void ServeFromLoop() { TheHub().Serve(true); }
void ServePending() { TheHub().Serve(false); }
int PendingCount() { return TheHub().Pending(); }
void SetErrorReporter(ErrorReporter Reporter) { g_ErrorReporter.store(Reporter); }

}  // namespace toolkit_sync

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
  std::shared_ptr<Slot> Call = std::make_shared<Slot>();
};

TThread::TThread(bool CreateSuspended) {
  if (!CreateSuspended) Start();
}

TThread::~TThread() {
  if (!FHandle) return;
  if (FHandle->Id != GetCurrentThreadId()) {
    if (!FFinished.load()) Terminate();
    WaitFor();
  }
  if (FHandle->Thread) CloseHandle(FHandle->Thread);
  delete FHandle;
}

bool TThread::IsMainThread() { return GetCurrentThreadId() == TheHub().MainThread(); }

void TThread::Start() {
  if (FStarted) throw Exception("Thread already started");
  FStarted = true;
  FHandle = new Handle;
  // Created suspended so that the handle is stored before the thread can free itself.
  FHandle->Thread = CreateThread(
      nullptr, 0,
      [](LPVOID Param) -> DWORD {
        ThreadMain(static_cast<TThread*>(Param));
        return 0;
      },
      this, CREATE_SUSPENDED, &FHandle->Id);
  if (!FHandle->Thread) throw Exception("Thread creation error");
  ResumeThread(FHandle->Thread);
}

void TThread::WaitFor() {
  if (!FHandle || !FHandle->Thread) return;
  if (IsMainThread()) {
    Hub& hub = TheHub();
    const HANDLE waits[] = {FHandle->Thread, hub.WakeEvent()};
    while (!FFinished.load()) {
      hub.Serve(false);
      if (FFinished.load()) break;
      if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0) break;
    }
  }
  WaitForSingleObject(FHandle->Thread, INFINITE);
}

void TThread::Synchronize(const std::function<void()>& Method) {
  if (IsMainThread()) {
    Method();
    return;
  }
  TheHub().Call(FHandle->Call, Method);
}

void TThread::ThreadMain(TThread* Self) {
  try {
    Self->Execute();
  } catch (...) {
    // An error that escapes the thread's body ends the thread like a normal return.
  }
  Self->Synchronize([Self] {
    try {
      if (Self->OnTerminate) Self->OnTerminate(Self);
    } catch (const std::exception& e) {
      if (auto report = g_ErrorReporter.load()) report(e);
    } catch (...) {
      // Not ours to interpret; the thread still ends normally.
    }
  });
  if (Self->FreeOnTerminate) {
    delete Self;
    return;
  }
  Self->FFinished.store(true);
  SetEvent(TheHub().WakeEvent());
}
