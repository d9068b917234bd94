// Helpers shared by the tests that drive the product in-process: a temporary folder, a vendor
// test server reached through the proxy setting, and running the main loop until a condition.
#pragma once

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <string>

#include "server.h"
#include "test_files.h"
#include "toolkit/forms.h"

namespace testing_support {

// Whether the X display that DISPLAY names answers. A test that shows windows checks it in its
// set-up: the toolkit would end the process on a display that does not answer.
bool DisplayAnswers();

// Runs the main loop until Done holds or the timeout passes; true when Done holds.
inline bool RunUntil(const std::function<bool()>& Done, int TimeoutMs = 10000) {
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
  while (!Done()) {
    if (std::chrono::steady_clock::now() > Deadline) return false;
    Application->WaitMessage(20);
  }
  return true;
}

// Runs the main loop for a while, handling whatever arrives.
inline void RunFor(int Milliseconds) {
  RunUntil([] { return false; }, Milliseconds);
}

// A vendor server serving a temporary folder, set as the process's proxy.
class ProxiedServer {
 public:
  ProxiedServer() : Root(MakeTempDir("vendor-root")) {
    vendor::ServerOptions Options;
    Options.Root = Root.string();
    Server = std::make_unique<vendor::VendorServer>(Options);
    Server->Start();
    setenv("http_proxy", Server->Url().c_str(), 1);
    unsetenv("no_proxy");
    unsetenv("NO_PROXY");
  }
  ~ProxiedServer() {
    Server->Stop();
    std::error_code Ignored;
    std::filesystem::remove_all(Root, Ignored);
  }
  void Serve(const std::string& Path, const std::string& Bytes) { WriteFile(Root / Path, Bytes); }

  std::filesystem::path Root;
  std::unique_ptr<vendor::VendorServer> Server;
};

}  // namespace testing_support
