// Round trips per second of TThread::Synchronize from one worker to the main message loop: the
// bound on how fast a download worker can report its blocks.
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "toolkit/classes.h"
#include "toolkit/forms.h"

namespace {

class Reporter : public TThread {
 public:
  Reporter(long Calls, long* Counter) : TThread(true), FCalls(Calls), FCounter(Counter) {}

 protected:
  void Execute() override {
    for (long i = 0; i < FCalls; ++i) Synchronize([this] { ++*FCounter; });
  }

 private:
  long FCalls;
  long* FCounter;
};

}  // namespace

int main(int argc, char** argv) {
  const long calls = argc > 1 ? std::atol(argv[1]) : 1000000;
  long counter = 0;
  bool finished = false;
  Reporter worker(calls, &counter);
  worker.OnTerminate = [&](TObject*) { finished = true; };
  const auto start = std::chrono::steady_clock::now();
  worker.Start();
  while (!finished) Application->WaitMessage(-1);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  worker.WaitFor();
  std::printf("%ld synchronised calls in %.3f s: %.0f round trips/s, %.2f us each\n", counter,
              seconds, counter / seconds, seconds * 1e6 / counter);
  std::printf("at one call per 1025-byte block: %.0f MB/s\n", counter / seconds * 1025 / 1e6);
  return counter == calls ? 0 : 1;
}
