// The hand-off of synchronised calls from worker threads to the main thread (TThread::Synchronize).
//
// A download worker synchronises once per received block, so the round trip worker -> main ->
// worker bounds the download speed. A call is a record on the waiting worker's stack, queued in a
// lock-free list; the main thread, once woken, keeps serving calls that arrive within a short
// window before it returns to its event loop.
//
// Each side waits for the other in one of two ways. On an idle machine both threads have a
// processor each, and a short spin sees the other side's answer within a microsecond or two. On a
// busy machine the other side is usually waiting for a processor, maybe this one: a spin then
// burns the processor it needs, and the time spent spinning also counts against the spinner the
// next time it wakes up. So a waiter spins only while spinning keeps paying off and otherwise
// sleeps at once, and nobody yields: a yield puts the thread behind every busy thread of the
// machine, where a sleeper that is woken gets a processor quickly.
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
constexpr auto kLingerWindow = std::chrono::milliseconds(2);
constexpr auto kServeBudget = std::chrono::milliseconds(8);
// How long a waiter spins at the most before it sleeps: the main thread waiting for a worker's
// next call (which may have to wait for the network), and a worker waiting for the main thread to
// run its call. Both well above one block's work on either side and above the time a sleeping
// thread takes to wake up, far below a scheduler's turn.
constexpr auto kMainSpin = std::chrono::microseconds(200);
constexpr auto kWorkerSpin = std::chrono::microseconds(50);

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
  asm volatile("yield");
#endif
}

// Spins until Ready() holds or Limit has passed; true when it holds. The clock is read only now
// and then: a read costs more than a pause.
template <class Pred>
bool Spin(Pred Ready, Clock::duration Limit) {
  const auto deadline = Clock::now() + Limit;
  for (unsigned i = 1;; ++i) {
    if (Ready()) return true;
    CpuRelax();
    if (i % 64 == 0 && Clock::now() >= deadline) return Ready();
  }
}

// Decides whether a waiter spins before it sleeps, from how often recent spins were answered in
// time: a spin pays when the other side is running on another processor, and costs a processor
// and the spinner's standing with the scheduler when it is not. While spins are mostly not
// answered, one wait in kProbeEvery still spins, to notice that the machine has become idle; the
// probe spins as long as any other, since the other side may have to wake up first. Without a
// second processor nobody spins.
class SpinPolicy {
 public:
  explicit SpinPolicy(Clock::duration Limit) : FLimit(Limit) {}

  // Spins for Ready() where that pays; true when it holds.
  template <class Pred>
  bool TrySpin(Pred Ready) {
    if (!kSeveralProcessors) return Ready();
    if (FScore < kWorthSpinning && ++FSkipped % kProbeEvery != 0) return Ready();
    const bool answered = Spin(Ready, FLimit);
    // The score follows the share of answered spins, in 1/256, over the last dozen or so.
    FScore += ((answered ? 256 : 0) - FScore) / 8;
    return answered;
  }

 private:
  const Clock::duration FLimit;
  static constexpr int kWorthSpinning = 160;
  static constexpr unsigned kProbeEvery = 256;
  static inline const bool kSeveralProcessors = toolkit_backend::SeveralProcessorsAvailable();
  int FScore = 256;
  unsigned FSkipped = 0;
};

// States of a call. A worker that goes to sleep on its call says so; the main thread then wakes it.
enum : std::uint32_t { kQueued, kSleeping, kDone };

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
  CallQueue() = default;
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
  // A producer has exchanged the tail and links its record within a few instructions, unless it
  // has lost its processor in between: then it needs this one.
  static Request* LinkAfter(Request* R) {
    Request* next;
    while (!Spin([&] { return (next = R->Next.load(std::memory_order_acquire)) != nullptr; },
                 std::chrono::microseconds(2))) {
      toolkit_backend::YieldThread();
    }
    return next;
  }

  Request FStub;
  alignas(64) std::atomic<Request*> FTail{&FStub};  // written by the workers
  alignas(64) Request* FHead = &FStub;              // the main thread's own
};

// Where the main thread is, as the workers see it.
enum : std::uint32_t {
  kServing,  // serving the queue: it looks at the queue again without being woken
  kParked,   // between calls, asleep on this word: a worker wakes it there
  kAway,     // in its event loop or inside a call: a worker wakes its event loop
};

class Hub {
 public:
  Hub() : FMainThread(toolkit_backend::CurrentThreadTag()) { toolkit_backend::InitMainThread(); }

  bool OnMainThread() const { return toolkit_backend::CurrentThreadTag() == FMainThread; }

  void Call(const std::function<void()>& Method) {
    Request r;
    r.Method = &Method;
    FQueue.Push(&r);
    // Ordered after the push: the main thread leaves kServing before its last look at the queue,
    // so one of the two sees the other.
    if (FMain.load() != kServing) {
      const std::uint32_t was = FMain.exchange(kServing);
      if (was == kParked) toolkit_backend::WakeSleeper(FMain);
      if (was == kAway) toolkit_backend::WakeMainLoop();
    }
    thread_local SpinPolicy policy(kWorkerSpin);
    const auto answered = [&r] { return r.State.load(std::memory_order_acquire) == kDone; };
    if (!policy.TrySpin(answered)) {
      std::uint32_t queued = kQueued;
      if (r.State.compare_exchange_strong(queued, kSleeping)) {
        while (!answered()) toolkit_backend::SleepWhile(r.State, kSleeping, kForever);
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
    FMain.store(kServing);
    for (;;) {
      while (Request* r = FQueue.Pop()) Run(*r);
      if (!Linger || Clock::now() - started >= kServeBudget || !AwaitCall()) break;
    }
    --FDepth;
    FMain.store(kAway);
    // A call queued while the main thread was still serving has woken nobody: come back to it
    // after the window's events.
    if (!FQueue.Empty() && FMain.exchange(kServing) == kAway) toolkit_backend::WakeMainLoop();
  }

  int Pending() const { return FQueue.Count(); }

 private:
  static constexpr auto kForever = std::chrono::microseconds::max();

  void Run(Request& R) {
    // While the call runs (it may open a nested message loop) other workers must wake the loop.
    FMain.store(kAway);
    try {
      (*R.Method)();
    } catch (...) {
      R.Error = std::current_exception();
    }
    // Claim the queue again before the worker is released: its next call, which usually follows
    // within microseconds, then needs no wake-up of the event loop.
    FMain.store(kServing);
    // The record may be gone as soon as the worker sees kDone; the wake-up only needs its address.
    if (R.State.exchange(kDone, std::memory_order_acq_rel) == kSleeping) {
      toolkit_backend::WakeSleeper(R.State);
    }
  }

  // Waits up to the linger window for a further call, spinning first where that pays; true when
  // one has come.
  bool AwaitCall() {
    const auto queued = [this] { return !FQueue.Empty(); };
    if (FPolicy.TrySpin(queued)) return true;
    const auto deadline = Clock::now() + kLingerWindow;
    FMain.store(kParked);
    while (!queued() && FMain.load() == kParked) {
      const auto left = std::chrono::ceil<std::chrono::microseconds>(deadline - Clock::now());
      if (left.count() <= 0) break;
      toolkit_backend::SleepWhile(FMain, kParked, left);
    }
    FMain.store(kServing);
    return queued();
  }

  const std::uintptr_t FMainThread;
  CallQueue FQueue;
  SpinPolicy FPolicy{kMainSpin};  // the main thread's
  // Where the main thread is (kServing, kParked, kAway); workers move it to kServing.
  alignas(64) std::atomic<std::uint32_t> FMain{kAway};
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
