// The buffered file: what reaches the disk, in order, whatever the sizes of the writes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "toolkit/fileio.h"
#include "toolkit/sysutils.h"

namespace {

constexpr std::size_t kBuffer = 64 * 1024;  // the file's buffer

std::string ReadAll(const std::filesystem::path& Path) {
  std::ifstream in(Path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(FileIoTest, WritesOfEverySizeReachTheFileInOrder) {
  // Sizes of consecutive writes: small ones that fill the buffer, one that just overflows it,
  // and ones larger than the buffer that go to the file directly after what is buffered.
  const std::vector<std::vector<std::size_t>> cases = {
      {},
      {1},
      std::vector<std::size_t>(70, 1025),
      {kBuffer},
      {kBuffer - 1, 1, 1},
      {10, kBuffer + 1, 10},
      {3 * kBuffer + 7, 5, 2 * kBuffer},
  };
  const auto path = std::filesystem::temp_directory_path() / "toolkit_fileio_test.bin";
  for (const auto& sizes : cases) {
    std::string expected;
    TUntypedFile file;
    file.Rewrite(path.string());
    for (std::size_t size : sizes) {
      std::string block(size, '\0');
      for (std::size_t i = 0; i < size; ++i)
        block[i] = static_cast<char>('a' + (expected.size() + i) % 26);
      file.BlockWrite(block.data(), block.size());
      expected += block;
    }
    file.CloseFile();
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(ReadAll(path), expected) << sizes.size() << " writes";
  }
  std::filesystem::remove(path);
}

TEST(FileIoTest, FailuresRaiseInputOutputErrors) {
  TUntypedFile file;
  const char byte = 'x';
  EXPECT_THROW(file.BlockWrite(&byte, 1), EInOutError);  // not open
  const auto folder = std::filesystem::temp_directory_path() / "toolkit_fileio_no_such_folder";
  EXPECT_THROW(file.Rewrite((folder / "file.bin").string()), EInOutError);
}

}  // namespace
