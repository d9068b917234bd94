// Components with owners, and threads whose calls and termination reach the main thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "toolkit/classes.h"
#include "toolkit/forms.h"
#include "toolkit/synchub.h"

namespace {

using namespace std::chrono_literals;

// Handles messages on the main thread until Done() holds; fails after a generous deadline.
void PumpUntil(const std::function<bool()>& Done) {
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (!Done()) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "main loop waited in vain";
    Application->WaitMessage(50);
  }
}

// A thread whose body is a function; it records what happens around it.
class LambdaThread : public TThread {
 public:
  explicit LambdaThread(std::function<void(LambdaThread&)> Body)
      : TThread(true), FBody(std::move(Body)) {}
  ~LambdaThread() override {
    if (Destroyed) Destroyed->store(true);
  }
  using TThread::Synchronize;
  std::atomic<bool>* Destroyed = nullptr;

 protected:
  void Execute() override { FBody(*this); }

 private:
  std::function<void(LambdaThread&)> FBody;
};

// ---------------------------------------------------------------------------------------------
// TComponent

class Tracked : public TComponent {
 public:
  Tracked(TComponent* Owner, int Id, std::vector<int>* Log)
      : TComponent(Owner), FId(Id), FLog(Log) {}
  ~Tracked() override { FLog->push_back(FId); }

 private:
  int FId;
  std::vector<int>* FLog;
};

TEST(ComponentTest, OwnerDestroysOwnedComponentsLastCreatedFirst) {
  std::vector<int> log;
  auto* owner = new Tracked(nullptr, 0, &log);
  new Tracked(owner, 1, &log);
  auto* second = new Tracked(owner, 2, &log);
  new Tracked(second, 21, &log);  // owned in turn: goes with its owner
  new Tracked(owner, 3, &log);
  EXPECT_EQ(owner->ComponentCount(), 3);
  EXPECT_EQ(owner->Components(1), second);
  delete owner;
  EXPECT_EQ(log, (std::vector<int>{0, 3, 2, 21, 1}));  // each logs before its own
}

TEST(ComponentTest, ComponentDestroyedFirstLeavesItsOwner) {
  std::vector<int> log;
  Tracked owner(nullptr, 0, &log);
  auto* first = new Tracked(&owner, 1, &log);
  new Tracked(&owner, 2, &log);
  delete first;
  ASSERT_EQ(owner.ComponentCount(), 1);
  EXPECT_EQ(owner.Components(0)->Owner(), &owner);
  EXPECT_EQ(log, (std::vector<int>{1}));
}

// ---------------------------------------------------------------------------------------------
// Synchronize

// Every wait of a worker must end by a wake-up: a wait that the main loop's knock rescued shows a
// lost wake-up, which would otherwise cost only time.
class SynchronizeTest : public ::testing::Test {
 protected:
  void SetUp() override { FRescuedBefore = toolkit_sync::KnockRescuedWaits(); }
  void TearDown() override {
    EXPECT_EQ(toolkit_sync::KnockRescuedWaits(), FRescuedBefore) << "waits rescued by a knock";
  }

 private:
  std::uint32_t FRescuedBefore = 0;
};

// Each way a call and its answer meet: the main thread spinning, parked between calls or asleep in
// its loop; the worker spinning, asleep, or asleep while its call waits for messages for longer
// than a knock's interval (a message box raised in the call). None may need the knock.
TEST_F(SynchronizeTest, EveryHandOverWakesTheOtherSide) {
  const struct {
    const char* Name;
    int Calls;
    std::chrono::microseconds Between, InCall;
    bool Modal;  // the call waits for messages meanwhile
  } kCases[] = {
      {"main spinning", 2000, 0us, 0us, false},          {"main parked", 300, 500us, 0us, false},
      {"main asleep in its loop", 100, 5ms, 0us, false}, {"worker asleep", 300, 0us, 1ms, false},
      {"message box in the call", 2, 0us, 300ms, true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.Name);
    const std::uint32_t rescuedBefore = toolkit_sync::KnockRescuedWaits();
    int done = 0;
    bool finished = false;
    LambdaThread worker([&](LambdaThread& self) {
      for (int n = 0; n < c.Calls; ++n) {
        if (c.Between.count() > 0) std::this_thread::sleep_for(c.Between);
        self.Synchronize([&] {
          ++done;
          const auto until = std::chrono::steady_clock::now() + c.InCall;
          while (c.Modal && std::chrono::steady_clock::now() < until) Application->WaitMessage(10);
          if (!c.Modal) std::this_thread::sleep_for(c.InCall);
        });
      }
    });
    worker.OnTerminate = [&](TObject*) { finished = true; };
    worker.Start();
    // Long waits: only a wake-up (or the knock) ends them early.
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!finished && std::chrono::steady_clock::now() < deadline) Application->WaitMessage(2000);
    worker.WaitFor();
    EXPECT_EQ(done, c.Calls);
    EXPECT_EQ(toolkit_sync::KnockRescuedWaits(), rescuedBefore);
  }
}

TEST_F(SynchronizeTest, RunsOnTheMainThreadWhileTheWorkerWaits) {
  std::atomic<bool> ranOnMain{false}, workerPastCall{false}, sawWorkerWaiting{false};
  LambdaThread worker([&](LambdaThread& self) {
    self.Synchronize([&] {
      ranOnMain = TThread::IsMainThread();
      // Give the worker time to run on if it did not wait.
      std::this_thread::sleep_for(20ms);
      sawWorkerWaiting = !workerPastCall.load();
    });
    workerPastCall = true;
  });
  EXPECT_TRUE(TThread::IsMainThread());
  worker.Start();
  worker.WaitFor();
  EXPECT_TRUE(ranOnMain);
  EXPECT_TRUE(sawWorkerWaiting);
  EXPECT_TRUE(workerPastCall);
}

TEST_F(SynchronizeTest, CallsFromSeveralWorkersRunInTheOrderTheyWereQueued) {
  constexpr int kWorkers = 4;
  std::vector<int> order;
  std::vector<std::unique_ptr<LambdaThread>> workers;
  for (int i = 0; i < kWorkers; ++i) {
    workers.push_back(std::make_unique<LambdaThread>(
        [i, &order](LambdaThread& self) { self.Synchronize([&] { order.push_back(i); }); }));
    workers.back()->Start();
    // The next worker starts only once this one's call is queued.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (toolkit_sync::PendingCount() < i + 1) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline);
      std::this_thread::sleep_for(1ms);
    }
  }
  EXPECT_TRUE(order.empty()) << "a call ran before the main thread handled messages";
  Application->ProcessMessages();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3}));
  for (auto& w : workers) w->WaitFor();
}

TEST_F(SynchronizeTest, ManyCallsFromConcurrentWorkersRunExactlyOnce) {
  constexpr int kWorkers = 3, kCalls = 20000;
  long total = 0;  // touched on the main thread only
  std::vector<long> perWorker(kWorkers, 0);
  std::vector<std::unique_ptr<LambdaThread>> workers;
  for (int i = 0; i < kWorkers; ++i) {
    workers.push_back(std::make_unique<LambdaThread>([&, i](LambdaThread& self) {
      for (int n = 0; n < kCalls; ++n) {
        self.Synchronize([&, n] {
          EXPECT_EQ(perWorker[i], n) << "worker " << i << " call out of order";
          perWorker[i] = n + 1;
          ++total;
        });
      }
    }));
  }
  std::atomic<int> finished{0};
  for (auto& w : workers) w->OnTerminate = [&](TObject*) { ++finished; };
  for (auto& w : workers) w->Start();
  PumpUntil([&] { return finished.load() == kWorkers; });
  for (auto& w : workers) w->WaitFor();
  EXPECT_EQ(total, long{kWorkers} * kCalls);
}

// A download synchronises once per block. With every processor taken by a busy thread, as on a
// user's busy computer, each round trip must still cost microseconds, not a scheduler's turn.
TEST_F(SynchronizeTest, CallsKeepFlowingWhileEveryProcessorIsBusy) {
  constexpr int kCalls = 20000;
  std::atomic<bool> stop{false};
  std::vector<std::unique_ptr<LambdaThread>> busy;
  // At least one busy thread per processor of the machines the tests run on.
  for (int i = 0; i < 4; ++i) {
    busy.push_back(std::make_unique<LambdaThread>([&stop](LambdaThread&) {
      while (!stop.load(std::memory_order_relaxed)) {
      }
    }));
    busy.back()->Start();
  }
  long done = 0;
  LambdaThread worker([&](LambdaThread& self) {
    for (int n = 0; n < kCalls; ++n) {
      self.Synchronize([&] {
        ++done;
        Application->ProcessMessages();  // as the product's progress handler does
      });
    }
  });
  bool finished = false;
  worker.OnTerminate = [&](TObject*) { finished = true; };
  const auto start = std::chrono::steady_clock::now();
  worker.Start();
  PumpUntil([&] { return finished; });
  const auto took = std::chrono::steady_clock::now() - start;
  stop.store(true);
  for (auto& t : busy) t->WaitFor();
  worker.WaitFor();
  EXPECT_EQ(done, kCalls);
  EXPECT_LT(took, 10s) << kCalls << " round trips while the processors were busy";
}

// A call that waits for messages (a message box, a nested loop) must still let the calls of other
// workers through, and its own worker must stay blocked until it returns.
TEST_F(SynchronizeTest, AWaitInsideACallServesTheCallsOfOtherWorkers) {
  std::atomic<bool> firstReturned{false};
  bool secondRan = false, firstStillWaiting = false;
  auto waited = std::chrono::steady_clock::duration::max();
  LambdaThread second([&](LambdaThread& self) { self.Synchronize([&] { secondRan = true; }); });
  LambdaThread first([&](LambdaThread& self) {
    self.Synchronize([&] {
      const auto start = std::chrono::steady_clock::now();
      second.Start();
      // Long waits: only the second worker's call can end them early.
      while (!secondRan) Application->WaitMessage(10000);
      waited = std::chrono::steady_clock::now() - start;
      firstStillWaiting = !firstReturned.load();
    });
    firstReturned = true;
  });
  first.Start();
  first.WaitFor();
  second.WaitFor();
  EXPECT_TRUE(firstStillWaiting);
  EXPECT_LT(waited, 5s);
}

TEST_F(SynchronizeTest, AnErrorRaisedOnTheMainThreadReachesTheWorker) {
  std::string caught;
  bool wasException = false;
  LambdaThread worker([&](LambdaThread& self) {
    try {
      self.Synchronize([] { throw Exception("Value must be between 1 and 2147483647"); });
    } catch (const Exception& e) {
      wasException = true;
      caught = e.Message();
    }
  });
  worker.Start();
  worker.WaitFor();
  EXPECT_TRUE(wasException);
  EXPECT_EQ(caught, "Value must be between 1 and 2147483647");
}

TEST_F(SynchronizeTest, OnTheMainThreadTheCallRunsAtOnce) {
  LambdaThread idle([](LambdaThread&) {});
  bool ran = false;
  idle.Synchronize([&] { ran = true; });
  EXPECT_TRUE(ran);
}

// ---------------------------------------------------------------------------------------------
// Thread lifecycle

TEST(ThreadTest, OnTerminateRunsOnTheMainThreadThenTheThreadFreesItself) {
  std::atomic<bool> destroyed{false};
  bool terminateOnMain = false, destroyedBeforeTerminate = true;
  TObject* sender = nullptr;
  auto* worker = new LambdaThread([](LambdaThread&) {});
  worker->Destroyed = &destroyed;
  worker->FreeOnTerminate = true;
  worker->OnTerminate = [&](TObject* Sender) {
    terminateOnMain = TThread::IsMainThread();
    destroyedBeforeTerminate = destroyed.load();
    sender = Sender;
  };
  worker->Start();
  PumpUntil([&] { return destroyed.load(); });
  EXPECT_TRUE(terminateOnMain);
  EXPECT_FALSE(destroyedBeforeTerminate);
  EXPECT_EQ(sender, worker);
}

TEST(ThreadTest, AnErrorEscapingTheBodyStillEndsTheThreadNormally) {
  std::atomic<bool> destroyed{false};
  bool terminated = false;
  auto* worker = new LambdaThread([](LambdaThread&) { throw Exception("lost connection"); });
  worker->Destroyed = &destroyed;
  worker->FreeOnTerminate = true;
  worker->OnTerminate = [&](TObject*) { terminated = true; };
  worker->Start();
  PumpUntil([&] { return destroyed.load(); });
  EXPECT_TRUE(terminated);
}

TEST(ThreadTest, TerminateBeforeStartIsSeenByTheBody) {
  bool sawTerminated = false;
  LambdaThread worker([&](LambdaThread& self) { sawTerminated = self.Terminated(); });
  worker.Terminate();
  worker.Start();
  worker.WaitFor();
  EXPECT_TRUE(sawTerminated);
}

TEST(ThreadTest, DestroyingARunningThreadStopsItWhileServingItsCalls) {
  std::atomic<int> calls{0};
  auto* worker = new LambdaThread([&](LambdaThread& self) {
    while (!self.Terminated()) {
      self.Synchronize([&] { ++calls; });
      std::this_thread::sleep_for(1ms);
    }
    // A final call after the stop request must still be served, or the destructor hangs.
    self.Synchronize([&] { ++calls; });
  });
  worker->Start();
  PumpUntil([&] { return calls.load() >= 3; });
  delete worker;  // terminates and waits
  EXPECT_GE(calls.load(), 4);
}

// A thread started without a termination handler hands nothing to the main thread at its end: it
// ends while the main thread serves no call.
TEST(ThreadTest, WithoutOnTerminateTheThreadEndsOnItsOwn) {
  static std::atomic<bool> destroyed{false};
  auto* worker = new LambdaThread([](LambdaThread&) {});
  worker->Destroyed = &destroyed;
  worker->FreeOnTerminate = true;
  worker->Start();
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!destroyed.load() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_TRUE(destroyed.load());
}

// When the main loop ends, a worker waiting for the main thread gets its call back unrun, reads as
// told to terminate, and ends before Run returns; its later calls return at once.
TEST(ThreadTest, EndOfTheMainLoopEndsTheThreadsWithTheirCallsUnrun) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "forks a process that has threads";
#endif
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto endTheLoop = [] {
    std::atomic<int> ran{0};
    std::atomic<bool> ended{false};
    auto* worker = new LambdaThread([&](LambdaThread& self) {
      self.Synchronize([&] { ++ran; });
      while (!self.Terminated()) std::this_thread::sleep_for(1ms);
      self.Synchronize([&] { ++ran; });
    });
    worker->Destroyed = &ended;
    worker->FreeOnTerminate = true;
    worker->OnTerminate = [&](TObject*) { ++ran; };
    worker->Start();
    while (toolkit_sync::PendingCount() == 0) std::this_thread::sleep_for(1ms);
    Application->Terminate();
    Application->Run();
    std::_Exit(ended.load() ? ran.load() : 9);
  };
  EXPECT_EXIT(endTheLoop(), ::testing::ExitedWithCode(0), "");
}

TEST(ThreadTest, StartingTwiceIsRefused) {
  LambdaThread worker([](LambdaThread&) {});
  worker.Start();
  EXPECT_THROW(worker.Start(), Exception);
  worker.WaitFor();
}

TEST(ThreadTest, AnErrorInOnTerminateIsShownAndTheThreadStillEnds) {
  std::vector<std::string> shown;
  Application->SetMessagePresenter(
      [&](const std::string& Text, const std::string&, TMsgDlgType) { shown.push_back(Text); });
  std::atomic<bool> destroyed{false};
  auto* worker = new LambdaThread([](LambdaThread&) {});
  worker->Destroyed = &destroyed;
  worker->FreeOnTerminate = true;
  worker->OnTerminate = [](TObject*) { throw Exception("handler failed"); };
  worker->Start();
  PumpUntil([&] { return destroyed.load(); });
  Application->SetMessagePresenter(nullptr);
  EXPECT_EQ(shown, (std::vector<std::string>{"handler failed"}));
}

}  // namespace
