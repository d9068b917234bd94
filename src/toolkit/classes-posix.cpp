// Components with owners, the thread class and the hand-off of synchronised calls from worker
// threads to the main thread.
//
// A download worker synchronises once per received block, so the round trip worker -> main ->
// worker bounds the download speed. The hand-off therefore avoids system calls on the hot path:
// the main thread, once woken, keeps serving calls that arrive within a short window, and a
// waiting worker spins briefly on its completion flag before it sleeps on it. Neither spins when
// only one processor is available to the process; they yield to each other instead.
#include <sched.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "toolkit/classes.h"
#include "toolkit/synchub.h"

namespace {

using Clock = std::chrono::steady_clock;

// How long the main thread waits for a further call before it returns to its event loop, and how
// long it may serve calls in one go.
constexpr auto kLingerWindow = std::chrono::microseconds(200);
constexpr auto kServeBudget = std::chrono::milliseconds(8);
// How long a worker spins on its completion flag before it sleeps.
constexpr auto kWorkerSpin = std::chrono::microseconds(50);

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

bool SeveralProcessorsAvailable() {
  if (std::thread::hardware_concurrency() <= 1) return false;
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return true;
  return CPU_COUNT(&set) > 1;
}

// One pending call. Each calling thread reuses its own slot; the queue shares ownership, so the
// main thread may still signal a slot whose thread has just ended.
struct Slot {
  const std::function<void()>* Method = nullptr;
  std::exception_ptr Error;
  std::atomic<std::uint32_t> Done{0};
};

// Waits, spinning or yielding, until Ready() holds or Limit has passed; true when it holds. A
// spinning wait also yields now and then once the other side has been slow for a few
// microseconds: on a busy machine it may be waiting for this very processor.
template <class Pred>
bool SpinUntil(Pred Ready, Clock::duration Limit, bool Spin) {
  const auto start = Clock::now();
  const auto deadline = start + Limit;
  const auto patient = start + std::chrono::microseconds(5);
  for (unsigned i = 1;; ++i) {
    if (Ready()) return true;
    if (Spin) {
      CpuRelax();
    } else {
      std::this_thread::yield();
    }
    if (i % 32 == 0) {
      const auto now = Clock::now();
      if (now >= deadline) return Ready();
      if (Spin && now >= patient) std::this_thread::yield();
    }
  }
}

class Hub {
 public:
  Hub()
      : FMainThread(std::this_thread::get_id()),
        FSpin(SeveralProcessorsAvailable()),
        FWakeFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

  std::thread::id MainThread() const { return FMainThread; }
  int WakeFd() const { return FWakeFd; }

  // Counts every wake-up of the main thread; TThread::WaitFor sleeps on it.
  std::atomic<std::uint32_t> WakeSeq{0};

  void Call(const std::function<void()>& Method) {
    thread_local std::shared_ptr<Slot> own = std::make_shared<Slot>();
    Slot& slot = *own;
    slot.Method = &Method;
    slot.Error = nullptr;
    slot.Done.store(0, std::memory_order_relaxed);
    bool wake;
    {
      std::lock_guard<std::mutex> lock(FMutex);
      FQueue.push_back(own);
      FPending.fetch_add(1, std::memory_order_release);
      wake = !FServing.load();
      FServing.store(true);
    }
    if (wake) Wake();
    auto done = [&slot] { return slot.Done.load(std::memory_order_acquire) != 0; };
    if (!SpinUntil(done, kWorkerSpin, FSpin)) {
      while (!done()) slot.Done.wait(0, std::memory_order_acquire);
    }
    if (slot.Error) std::rethrow_exception(slot.Error);
  }

  // Runs on the main thread. Nested serving (a synchronised call that processes messages) never
  // lingers: the worker it serves is blocked until the outer call returns.
  void Serve(bool Linger) {
    const auto started = Clock::now();
    ++FDepth;
    Linger = Linger && FDepth == 1;
    std::unique_lock<std::mutex> lock(FMutex);
    FServing.store(true);
    for (;;) {
      while (!FQueue.empty()) {
        std::shared_ptr<Slot> slot = std::move(FQueue.front());
        FQueue.pop_front();
        FPending.fetch_sub(1, std::memory_order_relaxed);
        // While the call runs (it may open a nested message loop) other workers must wake us.
        FServing.store(false);
        lock.unlock();
        Run(*slot);
        lock.lock();
      }
      if (!Linger || Clock::now() - started >= kServeBudget) break;
      lock.unlock();
      const bool arrived = SpinUntil(
          [this] { return FPending.load(std::memory_order_acquire) > 0; }, kLingerWindow, FSpin);
      lock.lock();
      if (!arrived && FQueue.empty()) break;
    }
    --FDepth;
    if (FQueue.empty()) {
      FServing.store(false);
    } else {
      // Out of budget with calls still waiting: come back to them after the window's events.
      FServing.store(true);
      lock.unlock();
      Wake();
    }
  }

  void Wake() {
    WakeSeq.fetch_add(1);
    WakeSeq.notify_all();
    const std::uint64_t one = 1;
    if (FWakeFd >= 0) {
      [[maybe_unused]] ssize_t n = write(FWakeFd, &one, sizeof one);
    }
  }

  void DrainWakeFd() {
    std::uint64_t value;
    if (FWakeFd >= 0) {
      [[maybe_unused]] ssize_t n = read(FWakeFd, &value, sizeof value);
    }
  }

  int Pending() const { return FPending.load(); }

 private:
  void Run(Slot& S) {
    try {
      (*S.Method)();
    } catch (...) {
      S.Error = std::current_exception();
    }
    // Claim the queue again before the worker is released: its next call, which usually follows
    // within a microsecond, then needs no wake-up.
    FServing.store(true);
    S.Done.store(1, std::memory_order_release);
    S.Done.notify_one();
  }

  const std::thread::id FMainThread;
  const bool FSpin;
  const int FWakeFd;
  std::mutex FMutex;
  std::deque<std::shared_ptr<Slot>> FQueue;
  std::atomic<int> FPending{0};
  // True while the main thread is going to look at the queue without being woken: it serves the
  // queue, lingers for further calls, or has been woken already. Changed under FMutex, except
  // that Run sets it early; a worker reads it under FMutex after queuing its call.
  std::atomic<bool> FServing{false};
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
int WakeDescriptor() { return TheHub().WakeFd(); }
void ServeFromLoop() {
  TheHub().DrainWakeFd();
  TheHub().Serve(true);
}
void ServePending() { TheHub().Serve(false); }
int PendingCount() { return TheHub().Pending(); }
void SetErrorReporter(ErrorReporter Reporter) { g_ErrorReporter.store(Reporter); }

}  // namespace toolkit_sync

// ---------------------------------------------------------------------------------------------
// TThread

struct TThread::Handle {
  std::thread Thread;
  // Set once Thread has been stored, so that a thread that ends at once and frees itself does not
  // race with that store.
  std::atomic<bool> Ready{false};
};

TThread::TThread(bool CreateSuspended) {
  if (!CreateSuspended) Start();
}

TThread::~TThread() {
  if (!FHandle) return;
  if (FHandle->Thread.get_id() == std::this_thread::get_id()) {
    FHandle->Thread.detach();  // freeing itself at its end
  } else {
    if (!FFinished.load()) Terminate();
    WaitFor();
  }
  delete FHandle;
}

bool TThread::IsMainThread() { return std::this_thread::get_id() == TheHub().MainThread(); }

void TThread::Start() {
  if (FStarted) throw Exception("Thread already started");
  FStarted = true;
  FHandle = new Handle;
  FHandle->Thread = std::thread(&TThread::ThreadMain, this);
  FHandle->Ready.store(true);
  FHandle->Ready.notify_one();
}

void TThread::WaitFor() {
  if (!FHandle || !FHandle->Thread.joinable()) return;
  if (IsMainThread()) {
    Hub& hub = TheHub();
    while (!FFinished.load()) {
      const std::uint32_t seq = hub.WakeSeq.load();
      hub.Serve(false);
      if (FFinished.load()) break;
      hub.WakeSeq.wait(seq);
    }
  }
  FHandle->Thread.join();
}

void TThread::Synchronize(const std::function<void()>& Method) {
  if (IsMainThread()) {
    Method();
    return;
  }
  TheHub().Call(Method);
}

void TThread::ThreadMain(TThread* Self) {
  Self->FHandle->Ready.wait(false);
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
  TheHub().WakeSeq.fetch_add(1);
  TheHub().WakeSeq.notify_all();
}
