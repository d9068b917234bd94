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
// Counts every wake-up of the main thread; TThread::WaitFor sleeps on it.
std::atomic<std::uint32_t> g_WakeSeq{0};

void BumpWakeSeq() {
  g_WakeSeq.fetch_add(1);
  g_WakeSeq.notify_all();
}

}  // namespace

namespace toolkit_backend {

void InitMainThread() { g_WakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC); }

std::uintptr_t CurrentThreadTag() { return static_cast<std::uintptr_t>(pthread_self()); }

bool SeveralProcessorsAvailable() {
  if (std::thread::hardware_concurrency() <= 1) return false;
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return true;
  return CPU_COUNT(&set) > 1;
}

int CurrentProcessor() { return sched_getcpu(); }

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
