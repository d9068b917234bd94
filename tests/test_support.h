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
#include "toolkit/forms.h"

namespace testing_support {

inline std::filesystem::path MakeTempDir(const std::string& Tag) {
  std::random_device R;
  auto Dir = std::filesystem::temp_directory_path() /
             (Tag + "-" + std::to_string(R()) + std::to_string(R()));
  std::filesystem::create_directories(Dir);
  return Dir;
}

inline void WriteFile(const std::filesystem::path& P, const std::string& Bytes) {
  std::filesystem::create_directories(P.parent_path());
  std::ofstream(P, std::ios::binary) << Bytes;
}

inline std::string ReadFile(const std::filesystem::path& P) {
  std::ifstream In(P, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(In), {});
}

// Bytes that differ at every position, so a lost or repeated chunk shows.
inline std::string Payload(std::size_t Size, unsigned Seed = 1) {
  std::string S(Size, '\0');
  std::uint32_t X = Seed * 2654435761u + 1;
  for (auto& C : S) {
    X = X * 1664525u + 1013904223u;
    C = static_cast<char>(X >> 24);
  }
  return S;
}

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
