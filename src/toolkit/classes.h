// Object model of the windowing toolkit: events, exceptions, components with owners, and the
// thread class whose calls to the main thread are synchronised.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

class TObject {
 public:
  virtual ~TObject() = default;
};

// A handler bound to its receiving object, or empty. An empty event is not raised.
using TNotifyEvent = std::function<void(TObject* Sender)>;

// Base of the errors the toolkit and the product raise. The message holds Windows-1250 bytes.
class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& Message) : std::runtime_error(Message) {}
  std::string Message() const { return what(); }
};

// A component may have an owner; the owner destroys the components it owns, last created first.
class TComponent : public TObject {
 public:
  explicit TComponent(TComponent* AOwner);
  ~TComponent() override;
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const { return FOwner; }
  int ComponentCount() const { return static_cast<int>(FComponents.size()); }
  TComponent* Components(int Index) const { return FComponents[Index]; }

  std::string Name;

 private:
  TComponent* FOwner;
  std::vector<TComponent*> FComponents;
};

// A thread of execution. It is created suspended and runs Execute once after Start. With
// FreeOnTerminate the object destroys itself when the thread ends; OnTerminate runs on the main
// thread after Execute has ended and before that.
class TThread : public TObject {
 public:
  explicit TThread(bool CreateSuspended);
  // Destroying a thread that runs and does not free itself terminates it and waits for it.
  ~TThread() override;
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  void Start();
  void Terminate() { FTerminated.store(true); }
  // Also true for every thread once the application's main loop has ended.
  bool Terminated() const;
  // Waits for the thread to end, serving its synchronised calls meanwhile when called on the
  // main thread. Only for threads without FreeOnTerminate.
  void WaitFor();

  bool FreeOnTerminate = false;
  // Runs on the main thread once Execute has ended; read there when it is due. A thread started
  // without one hands nothing to the main thread at its end.
  TNotifyEvent OnTerminate;

  static bool IsMainThread();

 protected:
  virtual void Execute() = 0;
  // Queues Method for the main thread and waits until it has run there. An exception raised by
  // Method is carried back and raised again here. On the main thread Method runs at once.
  void Synchronize(const std::function<void()>& Method);

 private:
  static void ThreadMain(TThread* Self);
  // The part of Start common to the backends, before the thread is created.
  void PrepareStart();

  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FFinished{false};
  bool FStarted = false;
  bool FEndCall = false;  // OnTerminate was set at Start
  struct Handle;
  Handle* FHandle = nullptr;
};
