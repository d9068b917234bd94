// The queue of calls that worker threads hand to the main thread (TThread::Synchronize), shared
// by the thread class and the message loop of the backend. Internal to the toolkit.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>

namespace toolkit_sync {

// Records the calling thread as the main thread if none is recorded yet.
void NoteMainThread();
// A descriptor that becomes readable when calls are waiting for the main thread. The message
// loop watches it and calls ServeFromLoop when it fires.
int WakeDescriptor();
// Runs the waiting calls on the main thread. ServeFromLoop also keeps serving calls that arrive
// shortly after (a worker that reports progress usually sends its next call within
// microseconds) for a few milliseconds at most, so the window stays responsive.
void ServeFromLoop();
void ServePending();
// Number of calls queued and not yet taken by the main thread.
int PendingCount();
bool OnMainThread();
// Queues Method for the main thread and waits until it has run there; worker threads only. Once
// the hub is closed, returns without running it.
void CallOnMainThread(const std::function<void()>& Method);
// Marks a wait of the main thread for messages or for a thread, for as long as it lives: a call
// posted meanwhile wakes the wait, also when the wait is inside another call.
class BlockingWait {
 public:
  BlockingWait();
  ~BlockingWait();
  BlockingWait(const BlockingWait&) = delete;
  BlockingWait& operator=(const BlockingWait&) = delete;

 private:
  const bool FEntered;
};
// Where an error escaping a thread's termination handler is shown; set by the application.
using ErrorReporter = void (*)(const std::exception& E);
void SetErrorReporter(ErrorReporter Reporter);
void ReportError(const std::exception& E);

// Called once the main loop has ended, on the main thread outside every call: answers the waiting
// calls without running them, refuses later ones, and waits a while for the running threads to
// end. From then on every thread reads as told to terminate.
void Close();
bool Closed();
// A thread is about to start; it has ended (its object may be gone). Close waits for the running
// threads.
void ThreadStarting();
void ThreadEnded();
// Waits of worker threads that were not woken in time and were rescued by knocking at the main
// loop: a lost wake-up, or a main thread held where it does not serve calls. Zero unless broken.
std::uint32_t KnockRescuedWaits();

}  // namespace toolkit_sync
