// The hand-off of synchronised calls from worker threads to the main thread (TThread::Synchronize).
//
// A download worker synchronises once per received block, so the round trip worker -> main ->
// worker bounds the download speed. Each calling thread has a mailbox of three cache lines: one
// written by the caller, one by the main thread, and one the main thread writes while a call runs.
// The main thread, once woken, keeps serving calls that arrive within a short window before it
// returns to its event loop.
//
// The protocol. The main thread is in one of three states, kept in FMain:
//
//   serving  looks at the mailboxes before it waits; nobody needs to wake it
//   parked   between calls, asleep on FMain for the linger window
//   away     in a message loop or another wait (BlockingWait, TThread::WaitFor)
//
// Serving nested in a call (a call that processes messages) keeps the state; a wait inside a call
// moves to away, and back to serving when it ends (FWaiting remembers which wait to return to).
//
//   serving -> parked   AwaitCall: FMain := parked, then looks at every Posted     (pair A)
//   serving -> away     EnterWait: FMain := away, then looks at every Posted       (pair A)
//   parked/away -> serving   a worker: Posted := n, then reads FMain; if not serving, it
//                       exchanges FMain for serving and wakes the sleeper or the loop (pair A)
//
// A worker's call goes through four states, in its mailbox:
//
//   posted    Posted = Answered + 1; the main thread will take it
//   spinning  the worker polls Answered for a while (only where spinning pays off)
//   asleep    Asleep = 1 and the worker sleeps on Answered: a limited sleep while the call is not
//             yet taken (its end is a knock, below), an unlimited one once Taken = n
//   answered  Answered = n (with Error; once the hub is closed, without having run); the worker
//             returns
//
//   posted -> spinning -> answered       main: Answered := n; the worker's load acquires it
//   spinning -> asleep -> answered       worker: Asleep := 1, then reads Answered; main:
//                                        Answered := n, then reads Asleep, wakes if set  (pair B)
//   asleep, limited -> asleep, unlimited Taken = n, stored by the main thread before it runs the
//                                        call; it only picks the sleep, nothing waits on it
//
// Pair A and pair B are each a store followed by a load of the other side's word (a store-buffer
// pattern): all four accesses are sequentially consistent, so at least one side sees the other's
// store. The sleeps re-check their word in the system (futex, or under the SRW lock on Windows),
// so a wake-up sent between the check and the sleep is not lost either.
//
// A limited sleep that runs out before the call was taken, or after it was answered, means a
// wake-up was lost or the main thread is stuck in a loop of the system's that this hub knows
// nothing of (a window being dragged): the worker knocks at the main loop and counts a rescued
// wait (KnockRescuedWaits). With the protocol above the count stays zero; the tests assert it.
//
// Closing. When the main loop ends, Close answers every waiting call as not run, from then on
// a call returns at once as not run, and every thread reads as told to terminate. Threads enter
// the hub through an Inside guard (FInside := +1, then reads FClosed; Close: FClosed := true, then
// reads FInside: pair C, the same pattern): once Close has seen FInside at zero, no thread touches
// a mailbox again, and the mailboxes are freed.
//
// Waiting. On an idle machine both threads have a processor each, and a short spin sees the
// other side's answer within a microsecond or two. On a busy machine the other side is usually
// waiting for a processor, maybe this one: a spin then burns the processor it needs. So a waiter
// spins only while spinning keeps paying off and otherwise sleeps at once, and nobody yields: a
// yield puts the thread behind every busy thread of the machine, where a sleeper that is woken
// gets a processor quickly. The tuning below can be switched off at compile time (SYNCHUB_*, see
// the options in CMakeLists.txt) to measure what it brings with bench/download --load.
#include "toolkit/synchub.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <utility>

#include "toolkit/backend.h"

// Waiters spin before they sleep, while spinning pays off.
#ifndef SYNCHUB_SPIN
#define SYNCHUB_SPIN 1
#endif
// The main thread waits a little for a further call before it returns to its event loop.
#ifndef SYNCHUB_LINGER
#define SYNCHUB_LINGER 1
#endif
// The threads that hand calls over ask for short turns, and a worker moves off the main thread's
// processor.
#ifndef SYNCHUB_SCHEDULING
#define SYNCHUB_SCHEDULING 1
#endif

namespace {

using Clock = std::chrono::steady_clock;

// How long the main thread waits for a further call before it returns to its event loop, and how
// long it may serve calls in one go before the window gets its turn.
constexpr auto kLingerWindow = std::chrono::milliseconds(2);
constexpr auto kServeBudget = std::chrono::milliseconds(8);
// How long a waiter spins at the most before it sleeps: the main thread waiting for a worker's
// next call (which may have to wait for the network), and a worker waiting for the main thread to
// run its call. Both well above one block's work on either side and above the time a sleeping
// thread takes to wake up, far below a scheduler's turn.
constexpr auto kMainSpin = std::chrono::microseconds(200);
constexpr auto kWorkerSpin = std::chrono::microseconds(50);
// How long a worker whose call has not been taken sleeps before it knocks at the main loop: well
// above the time a woken main thread may wait for a processor on a busy machine (tens of
// milliseconds), since a knock counts as a fault.
constexpr auto kKnockAfter = std::chrono::milliseconds(200);
// How long Close waits for the threads still running to end.
constexpr auto kEndWait = std::chrono::milliseconds(5000);

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
    if (!SYNCHUB_SPIN || !kSeveralProcessors || OtherSideOnThisProcessor) return Ready();
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
  // Written by the main thread as a call starts, read by the caller only when a sleep runs out:
  // on the line the caller spins on, each such write would have to fetch that line back.
  alignas(64) std::atomic<std::uint32_t> Taken{0};  // the call the main thread has begun
  std::atomic<bool> Owned{false};                   // a thread holds this mailbox
  Mailbox* Next = nullptr;  // the next mailbox; set before this one is published
  // The main thread's line.
  alignas(64) std::atomic<std::uint32_t> Answered{0};  // calls that have run
  std::exception_ptr Error;
  std::atomic<int> MainCpu{-1};  // where the main thread runs
};

enum : std::uint32_t {
  kServing,
  kParked,
  kAway,
};

class Hub {
 public:
  Hub() : FMainThread(toolkit_backend::CurrentThreadTag()) {
    toolkit_backend::InitMainThread();
    if (SYNCHUB_SCHEDULING) toolkit_backend::AskForShortTurns();
  }

  bool OnMainThread() const { return toolkit_backend::CurrentThreadTag() == FMainThread; }

  void Call(const std::function<void()>& Method) {
    Inside inside(*this);
    if (!inside.Open) return;
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
    box.Posted.store(call);  // pair A
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
    if (SYNCHUB_SCHEDULING && sameCpu) toolkit_backend::MoveOffProcessor(cpu);
    if (!policy.TrySpin(answered, sameCpu)) Sleep(box, call);
    if (!box.Error) return;
    const std::exception_ptr error = box.Error;
    inside.Leave();
    std::rethrow_exception(error);
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
    Linger = SYNCHUB_LINGER && Linger && FDepth == 1;
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

  std::uint32_t KnockRescues() const { return FKnockRescues.load(); }
  bool Closed() const { return FClosed.load(std::memory_order_relaxed); }

  // Main thread, outside every call, once its loop has ended (pair C). The threads inside the hub
  // are waiting for an answer or about to post a call: each is answered without running its call
  // until none is left inside.
  void Close() {
    if (FClosed.exchange(true)) return;
    while (const std::uint32_t inside = FInside.load()) {
      for (Mailbox* box = FBoxes.load(std::memory_order_acquire); box; box = box->Next) {
        if (IsPending(*box)) Answer(*box);
      }
      toolkit_backend::SleepWhile(FInside, inside, std::chrono::milliseconds(1));
    }
    for (Mailbox* box = FBoxes.exchange(nullptr); box;) delete std::exchange(box, box->Next);
    const auto deadline = Clock::now() + kEndWait;
    while (const std::uint32_t running = FRunning.load()) {
      const auto left = std::chrono::ceil<std::chrono::microseconds>(deadline - Clock::now());
      if (left.count() <= 0) break;
      toolkit_backend::SleepWhile(FRunning, running, left);
    }
  }

  void ThreadStarting() { FRunning.fetch_add(1); }
  void ThreadEnded() {
    FRunning.fetch_sub(1);
    toolkit_backend::WakeSleeper(FRunning);
  }

 private:
  // Marks a thread inside the hub, where it may touch a mailbox; Open is false once the hub is
  // closed, and then nothing of the hub may be touched.
  class Inside {
   public:
    explicit Inside(Hub& H) : FHub(H) {
      FHub.FInside.fetch_add(1);
      Open = !FHub.FClosed.load();  // pair C
    }
    ~Inside() { Leave(); }
    Inside(const Inside&) = delete;
    Inside& operator=(const Inside&) = delete;
    void Leave() {
      if (!std::exchange(FLeft, true)) FHub.FInside.fetch_sub(1);
    }
    bool Open;

   private:
    Hub& FHub;
    bool FLeft = false;
  };

  // Gives a calling thread a mailbox for its life.
  struct Holder {
    explicit Holder(Hub& H) : Owner(H), Box(H.TakeMailbox()) {
      if (SYNCHUB_SCHEDULING) toolkit_backend::AskForShortTurns();
    }
    ~Holder() {
      const Inside inside(Owner);
      if (!inside.Open) return;
      Box->Method = nullptr;
      Box->Owned.store(false, std::memory_order_release);
    }
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;
    Hub& Owner;
    Mailbox* Box;
  };

  Mailbox* TakeMailbox() {
    for (Mailbox* box = FBoxes.load(std::memory_order_acquire); box; box = box->Next) {
      if (!box->Owned.load(std::memory_order_relaxed) && !box->Owned.exchange(true)) return box;
    }
    auto* box = new Mailbox;
    box->Owned.store(true, std::memory_order_relaxed);
    box->Next = FBoxes.load(std::memory_order_relaxed);
    while (!FBoxes.compare_exchange_weak(box->Next, box)) {
    }
    return box;
  }

  // The worker's side once its spin is over: asleep until answered (pair B). A sleep that runs
  // out although the call has been answered, or before the main thread has taken it, is a wait
  // that the knock rescues.
  void Sleep(Mailbox& Box, std::uint32_t Call) {
    const auto answered = [&Box, Call] { return Box.Answered.load() == Call; };
    const auto taken = [&Box, Call] { return Box.Taken.load(std::memory_order_relaxed) == Call; };
    Box.Asleep.store(1);
    bool rescued = false;
    while (!answered()) {
      if (taken()) {
        toolkit_backend::SleepWhile(Box.Answered, Call - 1, std::chrono::microseconds::max());
      } else if (!toolkit_backend::SleepWhile(Box.Answered, Call - 1, kKnockAfter) &&
                 !(taken() && !answered())) {
        rescued = true;
        // The main thread may be held in a loop of the system's that this hub knows nothing
        // of, such as a window being dragged: knock there too.
        if (!answered()) toolkit_backend::WakeMainLoop();
      }
    }
    Box.Asleep.store(0, std::memory_order_relaxed);
    if (rescued) FKnockRescues.fetch_add(1, std::memory_order_relaxed);
  }

  static bool IsPending(const Mailbox& Box) {
    const std::uint32_t posted = Box.Posted.load();  // pair A
    return posted != Box.Answered.load(std::memory_order_relaxed) &&
           posted != Box.Taken.load(std::memory_order_relaxed);
  }

  // The waiting call posted first, or null.
  Mailbox* NextCall() {
    Mailbox* first = nullptr;
    for (Mailbox* box = FBoxes.load(std::memory_order_acquire); box; box = box->Next) {
      if (IsPending(*box) && (!first || box->Ticket - first->Ticket > (~0ULL >> 1))) first = box;
    }
    return first;
  }

  // Leaves kServing for a message loop; a call posted meanwhile wakes that loop (pair A).
  void EnterWait() {
    FMain.store(kAway);
    if (NextCall() && FMain.exchange(kServing) == kAway) toolkit_backend::WakeMainLoop();
  }

  void Run(Mailbox& Box) {
    const std::uint32_t call = Box.Posted.load(std::memory_order_acquire);
    Box.Taken.store(call, std::memory_order_relaxed);
    if (Box.Error) Box.Error = nullptr;
    try {
      Box.Method();
    } catch (...) {
      Box.Error = std::current_exception();
    }
    const int cpu = toolkit_backend::CurrentProcessor();
    if (Box.MainCpu.load(std::memory_order_relaxed) != cpu) {
      Box.MainCpu.store(cpu, std::memory_order_relaxed);
    }
    Answer(Box);
    FLastCaller = &Box;
  }

  // From here on the worker may post its next call, or leave, at any moment (pair B).
  static void Answer(Mailbox& Box) {
    Box.Answered.store(Box.Posted.load(std::memory_order_relaxed));
    if (Box.Asleep.load()) toolkit_backend::WakeSleeper(Box.Answered);
  }

  // Waits up to the linger window for a further call, spinning first where that pays; true when
  // one has come (pair A).
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
  std::atomic<bool> FClosed{false};
  std::atomic<std::uint32_t> FRunning{0};  // threads started and not yet ended
  std::atomic<std::uint32_t> FKnockRescues{0};
  // Each of the three groups below has a cache line of its own, as in a mailbox: a write to a
  // line that the other side reads for every call takes the line away, and that side's next read
  // has to fetch it back, on the way of the call.
  alignas(64) std::atomic<std::uint64_t> FTickets{0};  // the workers', drawn for every call
  std::atomic<std::uint32_t> FInside{0};               // threads inside Call
  // Where the main thread is: read by a worker for every call, written by the main thread only
  // when it changes and by a worker that wakes it.
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
void Close() { TheHub().Close(); }
bool Closed() { return TheHub().Closed(); }
void ThreadStarting() { TheHub().ThreadStarting(); }
void ThreadEnded() { TheHub().ThreadEnded(); }
std::uint32_t KnockRescuedWaits() { return TheHub().KnockRescues(); }

}  // namespace toolkit_sync
