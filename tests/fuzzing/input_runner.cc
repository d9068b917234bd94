// Replays inputs through a fuzz target without libFuzzer: each argument is a file or a folder of
// files (a seed corpus), each file one input. An input that breaks the target aborts the run, as
// it would under the fuzzer; the last name printed is the input that did it.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size);

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  std::set<fs::path> inputs;  // in name order, so that a run is repeatable
  for (int i = 1; i < argc; ++i) {
    if (fs::is_directory(argv[i])) {
      for (const auto& entry : fs::directory_iterator(argv[i]))
        if (entry.is_regular_file()) inputs.insert(entry.path());
    } else {
      inputs.insert(argv[i]);
    }
  }
  if (inputs.empty()) {
    std::fprintf(stderr, "no inputs\n");
    return 1;
  }
  for (const fs::path& input : inputs) {
    std::printf("%s\n", input.c_str());
    std::fflush(stdout);
    std::ifstream in(input, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "cannot read %s\n", input.c_str());
      return 1;
    }
    const std::vector<char> bytes{std::istreambuf_iterator<char>(in), {}};
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }
  std::printf("%zu inputs replayed\n", inputs.size());
  return 0;
}
