// The hand-off of synchronised calls from worker threads to the main thread (TThread::Synchronize).
//
// A download worker synchronises once per received block, so the round trip worker -> main ->
// worker bounds the download speed. Each calling thread has a mailbox of two cache lines, one
// written by the caller and one by the main thread; the main thread, once woken, keeps serving
// calls that arrive within a short window before it returns to its event loop.
//
// Each side waits for the other in one of two ways. On an idle machine both threads have a
// processor each, and a short spin sees the other side's answer within a microsecond or two. On a
// busy machine the other side is usually waiting for a processor, maybe this one: a spin then
// burns the processor it needs, and the time spent spinning also counts against the spinner the
// next time it wakes up. So a waiter spins only while spinning keeps paying off and otherwise
// sleeps at once, and nobody yields: a yield puts the thread behind every busy thread of the
// machine, where a sleeper that is woken gets a processor quickly. Both threads also ask the
// system for short turns, so that a woken one does not wait for a busy thread's turn to end, and
// a worker that finds itself on the main thread's processor moves: there, every call would cost
// two thread switches.
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
  bool TrySpin(Pred Ready, bool OtherSideOnThisProcessor) {
    if (!kSeveralProcessors || OtherSideOnThisProcessor) return Ready();
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

// One thread's synchronised calls: the thread posts a call and waits, the main thread runs it and
// answers. A thread keeps its mailbox while it lives; a later thread takes over a free one, and
// the counts carry on.
//
// Each side writes only its own cache line and reads the other's, so a round trip moves the two
// lines once each, the least two processors can do: a slower machine or a longer path between
// the processors makes every extra line that travels show in the download speed.
struct Mailbox {
  // The calling thread's line. The call itself is copied in, so that the main thread finds it
  // there instead of on another line of the caller's stack.
  alignas(64) std::atomic<std::uint32_t> Posted{0};  // calls posted so far
  std::atomic<int> CallerCpu{-1};                    // where the caller runs
  std::atomic<std::uint32_t> Asleep{0};              // the caller sleeps on Answered
  std::uint64_t Ticket = 0;  // the call's place among the calls of all threads
  // The last call stays until the next one replaces it or the thread ends: clearing it after
  // each answer would take the line back from the main thread once more.
  std::function<void()> Method;
  // Set once, and what only the main thread uses: the caller spins on the main thread's line, so
  // each write there while a call runs would have to fetch that line back.
  alignas(64) std::atomic<bool> Taken{false};
  Mailbox* Next = nullptr;  // the next mailbox; set before this one is published
  bool Running = false;     // main thread only: the call is under way (nested serving)
  // The main thread's line.
  alignas(64) std::atomic<std::uint32_t> Answered{0};  // calls that have run
  std::exception_ptr Error;
  std::atomic<int> MainCpu{-1};  // where the main thread runs
};

// Where the main thread is, as the workers see it. The main thread writes it only when it
// changes; workers move it to kServing when they post a call.
enum : std::uint32_t {
  kServing,  // serving calls, or running one: it looks at the mailboxes without being woken
  kParked,   // between calls, asleep on this word: a worker wakes it there
  kAway,     // in a message loop: a worker wakes that loop
};

class Hub {
 public:
  Hub() : FMainThread(toolkit_backend::CurrentThreadTag()) {
    toolkit_backend::InitMainThread();
    toolkit_backend::AskForShortTurns();
  }

  bool OnMainThread() const { return toolkit_backend::CurrentThreadTag() == FMainThread; }

  void Call(const std::function<void()>& Method) {
    thread_local Holder holder(*this);
    Mailbox& box = *holder.Box;
    const int cpu = toolkit_backend::CurrentProcessor();
    const std::uint64_t ticket = FTickets.fetch_add(1, std::memory_order_relaxed);
    const std::uint32_t call = box.Posted.load(std::memory_order_relaxed) + 1;
    // The call's line is written in one burst, with nothing between the writes that waits for
    // them: the main thread keeps reading this line, and each write that finds it taken away
    // would have to fetch it back.
    box.Method = Method;
    box.Ticket = ticket;
    if (box.CallerCpu.load(std::memory_order_relaxed) != cpu) {
      box.CallerCpu.store(cpu, std::memory_order_relaxed);
    }
    // Ordered before the look at FMain: the main thread leaves kServing before its last look at
    // the mailboxes, so one of the two sees the other.
    box.Posted.store(call);
    if (FMain.load() != kServing) {
      const std::uint32_t was = FMain.exchange(kServing);
      if (was == kParked) toolkit_backend::WakeSleeper(FMain);
      if (was == kAway) toolkit_backend::WakeMainLoop();
    }
    thread_local SpinPolicy policy(kWorkerSpin);
    const auto answered = [&box, call] {
      return box.Answered.load(std::memory_order_acquire) == call;
    };
    const bool sameCpu = box.MainCpu.load(std::memory_order_relaxed) == cpu;
    // Two threads that hand calls back and forth on one processor pay two thread switches
    // per call, and the system tends to keep them there: move this one.
    if (sameCpu) toolkit_backend::MoveOffProcessor(cpu);
    if (!policy.TrySpin(answered, sameCpu)) {
      box.Asleep.store(1);
      while (!answered()) {
        toolkit_backend::SleepWhile(box.Answered, call - 1, kKnockAfter);
        // The main thread may be held in a loop of the system's that this hub knows nothing
        // of, such as a window being dragged: knock there too.
        if (!answered()) toolkit_backend::WakeMainLoop();
      }
      box.Asleep.store(0, std::memory_order_relaxed);
    }
    if (box.Error) std::rethrow_exception(box.Error);
  }

  // Runs on the main thread. Nested serving (a synchronised call that processes messages) never
  // lingers: the worker it serves is blocked until the outer call returns.
  void Serve(bool Linger) {
    if (!Linger && !NextCall()) return;
    const auto started = Clock::now();
    const bool wasWaiting = FWaiting;
    FWaiting = false;
    if (FMain.load(std::memory_order_relaxed) != kServing) FMain.store(kServing);
    ++FDepth;
    Linger = Linger && FDepth == 1;
    for (;;) {
      while (Mailbox* box = NextCall()) Run(*box);
      if (!Linger || Clock::now() - started >= kServeBudget || !AwaitCall()) break;
    }
    --FDepth;
    FWaiting = wasWaiting;
    if (wasWaiting) EnterWait();
  }

  // The main thread is about to wait for messages inside a call (a message box, a nested
  // message loop, TThread::WaitFor): from now on a worker must wake that wait.
  // True when the wait changed anything, to be undone by EndBlockingWait.
  bool BeginBlockingWait() {
    if (FWaiting) return false;
    FWaiting = true;
    EnterWait();
    return true;
  }
  void EndBlockingWait() {
    FWaiting = false;
    FMain.store(kServing);
  }

  int Pending() {
    int n = 0;
    for (Mailbox* box = FBoxes.load(std::memory_order_acquire); box; box = box->Next) {
      if (IsPending(*box)) ++n;
    }
    return n;
  }

 private:
  static constexpr auto kKnockAfter = std::chrono::microseconds(20000);

  // Gives a calling thread a mailbox for its life.
  struct Holder {
    explicit Holder(Hub& H) : Box(H.TakeMailbox()) { toolkit_backend::AskForShortTurns(); }
    ~Holder() {
      Box->Method = nullptr;
      Box->Taken.store(false, std::memory_order_release);
    }
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;
    Mailbox* Box;
  };

  Mailbox* TakeMailbox() {
    for (Mailbox* box = FBoxes.load(std::memory_order_acquire); box; box = box->Next) {
      if (!box->Taken.load(std::memory_order_relaxed) && !box->Taken.exchange(true)) return box;
    }
    // Mailboxes live as long as the process: the main thread may look at one at any time.
    auto* box = new Mailbox;
    box->Taken.store(true, std::memory_order_relaxed);
    box->Next = FBoxes.load(std::memory_order_relaxed);
    while (!FBoxes.compare_exchange_weak(box->Next, box)) {
    }
    return box;
  }

  static bool IsPending(const Mailbox& Box) {
    return !Box.Running && Box.Posted.load() != Box.Answered.load(std::memory_order_relaxed);
  }

  // The waiting call posted first, or null.
  Mailbox* NextCall() {
    Mailbox* first = nullptr;
    for (Mailbox* box = FBoxes.load(std::memory_order_acquire); box; box = box->Next) {
      if (IsPending(*box) && (!first || box->Ticket - first->Ticket > (~0ULL >> 1))) first = box;
    }
    return first;
  }

  // Leaves kServing for a message loop; a call posted meanwhile wakes that loop.
  void EnterWait() {
    FMain.store(kAway);
    if (NextCall() && FMain.exchange(kServing) == kAway) toolkit_backend::WakeMainLoop();
  }

  void Run(Mailbox& Box) {
    const std::uint32_t call = Box.Posted.load(std::memory_order_acquire);
    Box.Running = true;
    if (Box.Error) Box.Error = nullptr;
    try {
      Box.Method();
    } catch (...) {
      Box.Error = std::current_exception();
    }
    Box.Running = false;
    const int cpu = toolkit_backend::CurrentProcessor();
    if (Box.MainCpu.load(std::memory_order_relaxed) != cpu) {
      Box.MainCpu.store(cpu, std::memory_order_relaxed);
    }
    // The call is answered; from here on the worker may post its next one at any moment.
    Box.Answered.store(call);
    if (Box.Asleep.load()) toolkit_backend::WakeSleeper(Box.Answered);
    FLastCaller = &Box;
  }

  // Waits up to the linger window for a further call, spinning first where that pays; true when
  // one has come.
  bool AwaitCall() {
    const auto posted = [this] { return NextCall() != nullptr; };
    const bool sameCpu = FLastCaller && FLastCaller->CallerCpu.load(std::memory_order_relaxed) ==
                                            toolkit_backend::CurrentProcessor();
    if (FPolicy.TrySpin(posted, sameCpu)) return true;
    const auto deadline = Clock::now() + kLingerWindow;
    FMain.store(kParked);
    while (!posted() && FMain.load() == kParked) {
      const auto left = std::chrono::ceil<std::chrono::microseconds>(deadline - Clock::now());
      if (left.count() <= 0) break;
      toolkit_backend::SleepWhile(FMain, kParked, left);
    }
    FMain.store(kServing);
    return posted();
  }

  // Read by every thread, written almost never.
  const std::uintptr_t FMainThread;
  std::atomic<Mailbox*> FBoxes{nullptr};
  // Each of the three groups below has a cache line of its own, as in a mailbox: a write to a
  // line that the other side reads for every call takes the line away, and that side's next read
  // has to fetch it back, on the way of the call.
  alignas(64) std::atomic<std::uint64_t> FTickets{0};  // the workers', drawn for every call
  // Where the main thread is (kServing, kParked, kAway): read by a worker for every call, written
  // by the main thread only when it changes and by a worker that wakes it.
  alignas(64) std::atomic<std::uint32_t> FMain{kAway};
  // The main thread's own, written as it serves.
  alignas(64) SpinPolicy FPolicy{kMainSpin};
  int FDepth = 0;
  bool FWaiting = true;  // in a message loop or another wait that a worker must break
  Mailbox* FLastCaller = nullptr;
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
BlockingWait::BlockingWait() : FEntered(OnMainThread() && TheHub().BeginBlockingWait()) {}
BlockingWait::~BlockingWait() {
  if (FEntered) TheHub().EndBlockingWait();
}
void SetErrorReporter(ErrorReporter Reporter) { g_ErrorReporter.store(Reporter); }
void ReportError(const std::exception& E) {
  if (auto report = g_ErrorReporter.load()) report(E);
}

}  // namespace toolkit_sync
