// The hand-off of synchronised calls from worker threads to the main thread (TThread::Synchronize).
//
// A download worker synchronises once per received block, so the round trip worker -> main ->
// worker bounds the download speed. The hand-off therefore avoids system calls, locks and
// allocation on the hot path: a call is a record on the waiting worker's stack, queued in a
// lock-free list; the main thread, once woken, keeps serving calls that arrive within a short
// window, and a waiting worker spins briefly on its record before it sleeps. Both spin with the
// processor's pause instruction; neither spins when only one processor is available to the
// process: they yield to each other instead.
#include "toolkit/synchub.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>

#include "toolkit/backend.h"

namespace {

using Clock = std::chrono::steady_clock;

// How long the main thread waits for a further call before it returns to its event loop, and how
// long it may serve calls in one go.
constexpr auto kLingerWindow = std::chrono::microseconds(200);
constexpr auto kServeBudget = std::chrono::milliseconds(8);
// How long a worker spins on its call before it sleeps.
constexpr auto kWorkerSpin = std::chrono::microseconds(50);

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
  asm volatile("yield");
#endif
}

// Waits until Ready() holds or Limit has passed; true when it holds. Spinning reads the clock
// only now and then: a read costs more than a pause. A spin that has lasted kPureSpin also yields
// now and then: the other side is then most likely waiting for a processor, maybe this one.
constexpr auto kPureSpin = std::chrono::microseconds(5);

template <class Pred>
bool Await(Pred Ready, Clock::duration Limit, bool Spin) {
  const auto start = Clock::now();
  const auto deadline = start + Limit;
  const auto patient = start + kPureSpin;
  for (unsigned i = 1;; ++i) {
    if (Ready()) return true;
    if (Spin) {
      CpuRelax();
    } else {
      toolkit_backend::YieldThread();
    }
    if (!Spin || i % 64 == 0) {
      const auto now = Clock::now();
      if (now >= deadline) return Ready();
      if (Spin && now >= patient) toolkit_backend::YieldThread();
    }
  }
}

// States of a call. A worker that goes to sleep says so; the main thread then wakes it and, once
// it no longer touches the record, releases it: only then may the record go.
enum : std::uint32_t { kQueued, kSleeping, kDone, kReleased };

// One synchronised call, on the stack of the worker that waits for it, on a cache line of its
// own: the worker spins on State.
struct alignas(64) Request {
  std::atomic<Request*> Next{nullptr};
  const std::function<void()>* Method = nullptr;
  std::exception_ptr Error;
  std::atomic<std::uint32_t> State{kQueued};
};

// Calls waiting for the main thread, first queued first: any thread pushes, the main thread alone
// pops. An intrusive list whose producers exchange the tail and then link the previous tail; a
// stub record keeps it from ever being empty of records.
class CallQueue {
 public:
  explicit CallQueue(bool Spin) : FSpin(Spin) {}
  CallQueue(const CallQueue&) = delete;
  CallQueue& operator=(const CallQueue&) = delete;

  void Push(Request* R) {
    R->Next.store(nullptr, std::memory_order_relaxed);
    Request* prev = FTail.exchange(R);
    prev->Next.store(R, std::memory_order_release);
  }

  // The oldest call, or null when none is queued. Main thread only.
  Request* Pop() {
    Request* head = FHead;
    Request* next = head->Next.load(std::memory_order_acquire);
    if (head == &FStub) {
      if (!next) {
        if (FTail.load() == &FStub) return nullptr;
        next = LinkAfter(head);
      }
      FHead = head = next;
      next = head->Next.load(std::memory_order_acquire);
    }
    if (!next) {
      // The last call: the stub goes behind it, so that the list never runs dry.
      if (FTail.load() == head) Push(&FStub);
      next = LinkAfter(head);
    }
    FHead = next;
    return head;
  }

  // Main thread only.
  bool Empty() const { return FHead == &FStub && FTail.load() == &FStub; }
  int Count() const {
    int n = 0;
    for (const Request* r = FHead; r; r = r->Next.load(std::memory_order_acquire)) {
      if (r != &FStub) ++n;
    }
    return n;
  }

 private:
  // A producer has exchanged the tail and links its record within a few instructions.
  Request* LinkAfter(Request* R) const {
    Request* next;
    Await([&] { return (next = R->Next.load(std::memory_order_acquire)) != nullptr; },
          std::chrono::hours(1), FSpin);
    return next;
  }

  const bool FSpin;
  Request FStub;
  alignas(64) std::atomic<Request*> FTail{&FStub};  // written by the workers
  alignas(64) Request* FHead = &FStub;              // the main thread's own
};

class Hub {
 public:
  Hub()
      : FMainThread(toolkit_backend::CurrentThreadTag()),
        FSpin(toolkit_backend::SeveralProcessorsAvailable()),
        FQueue(FSpin) {
    toolkit_backend::InitMainThread();
  }

  bool OnMainThread() const { return toolkit_backend::CurrentThreadTag() == FMainThread; }

  void Call(const std::function<void()>& Method) {
    Request r;
    r.Method = &Method;
    FQueue.Push(&r);
    // Ordered after the push: the main thread clears the flag before its last look at the queue,
    // so one of the two sees the other.
    if (!FServing.load() && !FServing.exchange(true)) toolkit_backend::WakeMainLoop();
    if (!Await([&r] { return r.State.load(std::memory_order_acquire) >= kDone; }, kWorkerSpin,
               FSpin)) {
      std::uint32_t queued = kQueued;
      if (r.State.compare_exchange_strong(queued, kSleeping)) {
        while (r.State.load(std::memory_order_acquire) == kSleeping) {
          toolkit_backend::SleepWhile(r.State, kSleeping);
        }
        while (r.State.load(std::memory_order_acquire) != kReleased) toolkit_backend::YieldThread();
      }
    }
    if (r.Error) std::rethrow_exception(r.Error);
  }

  // Runs on the main thread. Nested serving (a synchronised call that processes messages) never
  // lingers: the worker it serves is blocked until the outer call returns.
  void Serve(bool Linger) {
    if (!Linger && FQueue.Empty()) return;
    const auto started = Clock::now();
    ++FDepth;
    Linger = Linger && FDepth == 1;
    FServing.store(true);
    for (;;) {
      while (Request* r = FQueue.Pop()) {
        // While the call runs (it may open a nested message loop) other workers must wake us.
        FServing.store(false);
        Run(*r);
      }
      if (!Linger || Clock::now() - started >= kServeBudget) break;
      if (!Await([this] { return !FQueue.Empty(); }, kLingerWindow, FSpin)) break;
    }
    --FDepth;
    FServing.store(false);
    // A call queued while the flag was still set has woken nobody: come back to it after the
    // window's events.
    if (!FQueue.Empty() && !FServing.exchange(true)) toolkit_backend::WakeMainLoop();
  }

  int Pending() const { return FQueue.Count(); }

 private:
  void Run(Request& R) {
    try {
      (*R.Method)();
    } catch (...) {
      R.Error = std::current_exception();
    }
    // Claim the queue again before the worker is released: its next call, which usually follows
    // within a microsecond, then needs no wake-up.
    FServing.store(true);
    if (R.State.exchange(kDone, std::memory_order_acq_rel) == kSleeping) {
      toolkit_backend::WakeSleeper(R.State);
      R.State.store(kReleased, std::memory_order_release);
    }
  }

  const std::uintptr_t FMainThread;
  const bool FSpin;
  CallQueue FQueue;
  // True while the main thread is going to look at the queue without being woken: it serves the
  // queue, lingers for further calls, or has been woken already.
  alignas(64) std::atomic<bool> FServing{false};
  int FDepth = 0;  // main thread only
};

// The hub is created by the first thread that touches the toolkit: the main thread.
Hub& TheHub() {
  static Hub hub;
  return hub;
}

[[maybe_unused]] const bool kMainThreadNoted = (TheHub(), true);

std::atomic<toolkit_sync::ErrorReporter> g_ErrorReporter{nullptr};

}  // namespace

namespace toolkit_sync {

void NoteMainThread() { TheHub(); }
void ServeFromLoop() {
  toolkit_backend::AcknowledgeWake();
  TheHub().Serve(true);
}
void ServePending() { TheHub().Serve(false); }
int PendingCount() { return TheHub().Pending(); }
bool OnMainThread() { return TheHub().OnMainThread(); }
void CallOnMainThread(const std::function<void()>& Method) { TheHub().Call(Method); }
void SetErrorReporter(ErrorReporter Reporter) { g_ErrorReporter.store(Reporter); }
void ReportError(const std::exception& E) {
  if (auto report = g_ErrorReporter.load()) report(E);
}

}  // namespace toolkit_sync
