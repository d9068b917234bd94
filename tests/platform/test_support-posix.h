// Windows-1250 literals and scratch directories for the tests of the POSIX stand-ins.
#pragma once

#include <gtest/gtest.h>
#include <iconv.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

// Text converted by the system's iconv; Missing when the target lacks a character.
inline std::string Iconv(std::string In, const char* From, const char* To,
                         const std::string& Missing = "<missing>") {
  iconv_t Converter = iconv_open(To, From);
  std::string Out(In.size() * 4 + 4, '\0');
  char *InPtr = In.data(), *OutPtr = Out.data();
  size_t InLeft = In.size(), OutLeft = Out.size();
  const bool Ok = iconv(Converter, &InPtr, &InLeft, &OutPtr, &OutLeft) != static_cast<size_t>(-1);
  iconv_close(Converter);
  return Ok ? Out.substr(0, Out.size() - OutLeft) : Missing;
}

// A Windows-1250 string written in UTF-8 in the test source.
inline std::string W(const std::string& Utf8) { return Iconv(Utf8, "UTF-8", "CP1250"); }

// A fresh directory under the temp folder, removed at the end of the test; the current
// directory is put back too.
class ScratchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string Template = (std::filesystem::temp_directory_path() / "platform-XXXXXX").string();
    ASSERT_NE(mkdtemp(Template.data()), nullptr);
    Root = Template;
  }
  void TearDown() override {
    std::filesystem::current_path(StartDirectory);
    std::filesystem::remove_all(Root);
  }
  std::string Path(const std::string& Relative) const { return Root + "/" + Relative; }
  void WriteFile(const std::string& Relative, const std::string& Content) const {
    std::ofstream(Path(Relative), std::ios::binary) << Content;
  }

  const std::filesystem::path StartDirectory = std::filesystem::current_path();
  std::string Root;
};
