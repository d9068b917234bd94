// Tests of the file and path helpers over the platform's file functions.
#include "toolkit/sysutils.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

namespace {

TEST(SysUtils, InOutErrorMessagesAndFileNames) {
  const std::pair<int, const char*> Messages[] = {
      {2, "File not found."},
      {3, "Invalid filename."},
      {4, "Too many open files."},
      {5, "File access denied."},
      {100, "Read beyond end of file."},
      {101, "Disk full."},
      {106, "Invalid numeric input."},
      {183, "I/O error 183."},
      {-1, "I/O error -1."},
  };
  for (const auto& [Code, Message] : Messages) {
    const EInOutError Error(Code);
    EXPECT_STREQ(Error.what(), Message);
    EXPECT_EQ(Error.ErrorCode, Code);
  }
  // Split at the last slash, backslash or colon, whatever the platform.
  const std::pair<const char*, const char*> Names[] = {
      {"/opt/products/merona.exe", "merona.exe"},
      {"merona.exe", "merona.exe"},
      {"/a.b/c:d", "d"},
      {"/opt/", ""},
      {"/bin/..\\..\\escaped\\merona.run", "merona.run"},
      {"C:merona.exe", "merona.exe"},
      {"C:\\a/b\\c", "c"}};
  for (const auto& [Path, Name] : Names) EXPECT_EQ(ExtractFileName(Path), Name) << Path;
}

class SysUtilsFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string Template = (std::filesystem::temp_directory_path() / "sysutils-XXXXXX").string();
    ASSERT_NE(mkdtemp(Template.data()), nullptr);
    Root = Template;
    std::ofstream(Root + "/file") << "data";
  }
  void TearDown() override {
    std::filesystem::current_path(StartDirectory);
    std::filesystem::remove_all(Root);
  }
  const std::filesystem::path StartDirectory = std::filesystem::current_path();
  std::string Root;
};

TEST_F(SysUtilsFiles, FileExistsAndForceDirectories) {
  EXPECT_TRUE(FileExists(Root + "/file"));
  EXPECT_FALSE(FileExists(Root)) << "a directory is no file";
  EXPECT_FALSE(FileExists(Root + "/none"));
  const std::pair<std::string, bool> Cases[] = {
      {Root + "/a/b/c", true},
      {Root + "/a/b/c", true},
      {Root + "/d/e/", true},
      {Root + "\\m\\s\\", true},
      {Root, true},
      {"", false},
      {Root + "/file", false},
      {Root + "/file/sub/dir", false},
  };
  for (const auto& [Dir, Expected] : Cases) EXPECT_EQ(ForceDirectories(Dir), Expected) << Dir;
  for (const char* Made : {"/a/b/c", "/d/e", "/m/s"}) {
    EXPECT_TRUE(std::filesystem::is_directory(Root + Made)) << Made;
  }
  EXPECT_TRUE(DeleteFile(Root + "/file"));
  EXPECT_FALSE(DeleteFile(Root + "/file"));
}

TEST_F(SysUtilsFiles, ChDirRaisesTheErrorOfThePlatform) {
  const std::pair<std::string, const char*> Failures[] = {
      {Root + "/none", "File not found."},
      {Root + "/none/sub", "Invalid filename."},
      {Root + "/file", "Invalid filename."},
  };
  for (const auto& [Dir, Message] : Failures) {
    try {
      ChDir(Dir);
      ADD_FAILURE() << Dir << " raised nothing";
    } catch (const EInOutError& Error) {
      EXPECT_STREQ(Error.what(), Message) << Dir;
    }
  }
  ChDir(Root);
  EXPECT_EQ(std::filesystem::current_path(), std::filesystem::canonical(Root));
}

}  // namespace
