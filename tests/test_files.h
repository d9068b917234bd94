// Temporary folders, files and payloads for tests.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

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

}  // namespace testing_support
