// POSIX side of the thread class and of the hand-off of synchronised calls: threads, the eventfd
// that wakes the FLTK message loop, and sleeping on futexes.
#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <memory>
#include <thread>

#include "toolkit/backend.h"
#include "toolkit/classes.h"
#include "toolkit/synchub.h"

namespace {

int g_WakeFd = -1;
// The processors the process may use, as the main thread found them.
cpu_set_t g_ProcessProcessors;
// Counts every wake-up of the main thread; TThread::WaitFor sleeps on it.
std::atomic<std::uint32_t> g_WakeSeq{0};

void BumpWakeSeq() {
  g_WakeSeq.fetch_add(1);
  g_WakeSeq.notify_all();
}

}  // namespace

namespace toolkit_backend {

void InitMainThread() {
  g_WakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (sched_getaffinity(0, sizeof g_ProcessProcessors, &g_ProcessProcessors) != 0) {
    CPU_ZERO(&g_ProcessProcessors);
  }
}

std::uintptr_t CurrentThreadTag() { return static_cast<std::uintptr_t>(pthread_self()); }

bool SeveralProcessorsAvailable() {
  if (std::thread::hardware_concurrency() <= 1) return false;
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return true;
  return CPU_COUNT(&set) > 1;
}

int CurrentProcessor() { return sched_getcpu(); }

void MoveOffProcessor(int Cpu) {
  if (Cpu < 0 || Cpu >= CPU_SETSIZE) return;
  cpu_set_t set = g_ProcessProcessors;
  if (!CPU_ISSET(Cpu, &set)) return;
  CPU_CLR(Cpu, &set);
  if (CPU_COUNT(&set) > 0) sched_setaffinity(0, sizeof set, &set);
}

// Linux 6.12 and later take a thread's own slice from sched_runtime: a thread with a shorter
// slice than a busy one gets the processor as it wakes up instead of after the busy thread's
// turn, for the same share in the end. Older kernels ignore the value. The nice value and the
// policy stay as they are; only a normal thread is touched.
void AskForShortTurns() {
  struct SchedAttr {
    std::uint32_t Size;
    std::uint32_t Policy;
    std::uint64_t Flags;
    std::int32_t Nice;
    std::uint32_t Priority;
    std::uint64_t Runtime, Deadline, Period;
  } attr{};
  constexpr std::uint64_t kSliceNs = 100'000;
  if (syscall(SYS_sched_getattr, 0, &attr, sizeof attr, 0) != 0 || attr.Policy != SCHED_OTHER)
    return;
  attr.Size = sizeof attr;
  attr.Flags = 0;
  attr.Runtime = kSliceNs;
  syscall(SYS_sched_setattr, 0, &attr, 0);
}

void WakeMainLoop() {
  BumpWakeSeq();
  const std::uint64_t one = 1;
  if (g_WakeFd >= 0) {
    [[maybe_unused]] ssize_t n = write(g_WakeFd, &one, sizeof one);
  }
}

void AcknowledgeWake() {
  std::uint64_t value;
  if (g_WakeFd >= 0) {
    [[maybe_unused]] ssize_t n = read(g_WakeFd, &value, sizeof value);
  }
}

void NoteThreadEnded() { BumpWakeSeq(); }

// The futex calls directly: the library's atomic wait yields the processor a few times before it
// sleeps, which on a busy machine queues the thread behind every busy thread.
bool SleepWhile(std::atomic<std::uint32_t>& Word, std::uint32_t Value,
                std::chrono::microseconds Limit) {
  timespec limit{};
  const bool limited = Limit != std::chrono::microseconds::max();
  if (limited) {
    limit.tv_sec = static_cast<time_t>(Limit.count() / 1000000);
    limit.tv_nsec = static_cast<long>(Limit.count() % 1000000 * 1000);
  }
  return syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&Word), FUTEX_WAIT_PRIVATE, Value,
                 limited ? &limit : nullptr, nullptr, 0) == 0 ||
         errno != ETIMEDOUT;
}

// A private futex is known by its address alone: the word need not be there any more.
void WakeSleeper(std::atomic<std::uint32_t>& Word) {
  syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&Word), FUTEX_WAKE_PRIVATE, 1, nullptr,
          nullptr, 0);
}

}  // namespace toolkit_backend

namespace toolkit_sync {

int WakeDescriptor() {
  NoteMainThread();
  return g_WakeFd;
}

}  // namespace toolkit_sync

// ---------------------------------------------------------------------------------------------
// TThread

struct TThread::Handle {
  std::thread Thread;
};

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

void TThread::Start() {
  PrepareStart();
  FHandle = new Handle;
  // The thread runs once Thread has been stored; from then on it may free this object at any
  // moment, so only the flag that the two share is touched.
  const auto stored = std::make_shared<std::atomic<bool>>(false);
  try {
    FHandle->Thread = std::thread([this, stored] {
      stored->wait(false);
      ThreadMain(this);
    });
  } catch (...) {
    toolkit_sync::ThreadEnded();
    throw;
  }
  stored->store(true);
  stored->notify_one();
}

void TThread::WaitFor() {
  if (!FHandle || !FHandle->Thread.joinable()) return;
  if (IsMainThread()) {
    const toolkit_sync::BlockingWait waiting;
    while (!FFinished.load()) {
      const std::uint32_t seq = g_WakeSeq.load();
      toolkit_sync::ServePending();
      if (FFinished.load()) break;
      g_WakeSeq.wait(seq);
    }
  }
  FHandle->Thread.join();
}
