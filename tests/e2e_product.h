// The fixture shared by the end-to-end tests: a vendor test server with a folder of its own, a
// clean environment for the product, and the product started from a copy under a chosen name.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "server.h"

namespace e2e {

// Where the product may write: the temp folder and both common program files folders.
struct Folders {
  fs::path Temp, Common, CommonX86;
};

class ProductTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Target.IsWine() && !WineRunRequested()) {
      GTEST_SKIP() << "the Windows build's scenarios run with ctest --preset windows-e2e";
    }
    ASSERT_FALSE(Target.Display.empty()) << "the tests need an X display";
    ASSERT_TRUE(DisplayConnection().Open())
        << "the X display " << Target.Display << " does not answer";
    if (Target.IsWine()) {
      KeepWineServerUp();
      ASSERT_TRUE(fs::exists(Target.Executable))
          << Target.Executable << " is missing: build the windows preset first";
      ASSERT_TRUE(fs::exists(Target.SetupProgram)) << Target.SetupProgram << " is missing";
    }
    Dir = MakeTempDir("e2e");
    Places =
        Target.IsWine() ? WineFolders() : Folders{Dir / "temp", Dir / "common", Dir / "common-x86"};
    ASSERT_FALSE(Places.Temp.empty()) << "wine reports no temp folder";
    for (const fs::path& P : {Places.Temp, Places.Common, Places.CommonX86, Dir / "vendor"})
      fs::create_directories(P);
    vendor::ServerOptions Options;
    Options.Root = (Dir / "vendor").string();
    Server = std::make_unique<vendor::VendorServer>(Options);
    Server->Start();
    if (Target.Proxy == Platform::ProxySetting::kRegistry) {
      ASSERT_TRUE(SetRegistryProxy(Server->Port()));
    }
  }
  void TearDown() override {
    Product.reset();
    if (Server) Server->Stop();
    std::error_code Ignored;
    if (!Dir.empty()) fs::remove_all(Dir, Ignored);
  }

  // The environment a Windows session would give, names in their usual case: the product
  // matches them without regard to case. Under wine the prefix decides the folders and the
  // architecture whatever the environment says; the stand-in installer learns where to write
  // its record from the environment it inherits.
  Environment ProductEnvironment(const std::string& Architecture) const {
    Environment Vars{{"TEMP", Places.Temp.string()},
                     {"PROCESSOR_ARCHITECTURE", Architecture},
                     {"CommonProgramFiles", Places.Common.string()},
                     {"CommonProgramFiles(x86)", Places.CommonX86.string()}};
    if (Target.Proxy == Platform::ProxySetting::kEnvironment) Vars["http_proxy"] = Server->Url();
    if (Target.IsWine()) Vars = {{"SETUP_RECORD", Target.ProductPath(SetupRecord())}};
    return Vars;
  }

  // The architecture the product sees when the test asks for Wanted.
  std::string ArchitectureSeen(const std::string& Wanted) const {
    return Target.Architecture.empty() ? Wanted : Target.Architecture;
  }

  // Starts a copy of the product named Stem plus the platform's extension. Folders that an
  // earlier run under the same name left in the shared folders of a wine prefix go first.
  ProductProcess& Start(const std::string& Stem, const Environment& Vars) {
    RemoveWorkingFolders(Stem);
    return StartKeepingFolders(Stem, Vars);
  }
  ProductProcess& StartKeepingFolders(const std::string& Stem, const Environment& Vars) {
    Product =
        std::make_unique<ProductProcess>(Target, ProductCopy(Stem), Vars, Dir / "product.log");
    return *Product;
  }
  // A copy of the product named Stem plus the platform's extension.
  fs::path ProductCopy(const std::string& Stem) const {
    const fs::path Copy = Dir / "bin" / (Stem + Target.Extension);
    fs::create_directories(Copy.parent_path());
    fs::copy_file(Executable, Copy, fs::copy_options::overwrite_existing);
    return Copy;
  }

  void Serve(const std::string& UrlName, const std::string& Source, const std::string& Bytes) {
    WriteFile(Dir / "vendor" / "download" / UrlName / Source, Bytes);
  }

  // The product's own installer: records its arguments and working folder, then ends. Natively
  // a shell script; under wine a small Windows program that the record's path reaches through
  // the environment.
  std::string SetupProgram() const {
    if (!Target.SetupProgram.empty()) return ReadFile(Target.SetupProgram);
    const std::string Record = Quote(SetupRecord().string());
    return "#!/bin/sh\nprintf '%s\\n' \"$#\" \"$@\" \"$(pwd -P)\" > " + Record +
           ".tmp && /bin/mv " + Record + ".tmp " + Record + "\n";
  }
  fs::path SetupRecord() const { return Dir / "setup-record.txt"; }

  // The record's lines without their line ends (CR LF on Windows): the number of arguments,
  // each argument, the working folder as the installer saw it.
  std::vector<std::string> SetupRecordLines() const {
    std::istringstream In(ReadFile(SetupRecord()));
    std::vector<std::string> Lines;
    for (std::string Line; std::getline(In, Line);) {
      if (!Line.empty() && Line.back() == '\r') Line.pop_back();
      Lines.push_back(Line);
    }
    return Lines;
  }

  std::vector<std::string> RequestedPaths() const {
    std::vector<std::string> Paths;
    for (const auto& R : Server->Requests()) Paths.push_back(R.Path);
    return Paths;
  }

  // What the product wrote to its standard output and error, for failure messages.
  std::string ProductLog() const { return ReadFile(Dir / "product.log"); }

  // The prefix's own folders, as wine gives them to every program it starts, on this machine.
  Folders WineFolders() const {
    static const Folders Found = [&P = Target] {
      std::istringstream Lines(
          Capture("timeout 60 wine cmd /c "
                  "'echo %TEMP%&echo %CommonProgramFiles%&echo %CommonProgramFiles(x86)%'"));
      std::vector<fs::path> Paths;
      for (std::string Line; std::getline(Lines, Line);) {
        Line.erase(std::remove(Line.begin(), Line.end(), '\r'), Line.end());
        // Only drive paths: a variable that is not set echoes as its own name.
        if (Line.size() > 2 && Line[1] == ':') Paths.push_back(P.HostPath(Line));
      }
      return Paths.size() == 3 ? Folders{Paths[0], Paths[1], Paths[2]} : Folders{};
    }();
    return Found;
  }

  // Points the prefix's system proxy at a server of this machine.
  bool SetRegistryProxy(int Port) const {
    const std::string Key =
        "wine reg add 'HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings' ";
    return Succeeds("timeout 60 " + Key + "/v ProxyEnable /t REG_DWORD /d 1 /f") &&
           Succeeds("timeout 60 " + Key +
                    "/v ProxyServer /t REG_SZ /d 127.0.0.1:" + std::to_string(Port) + " /f");
  }

  // The working folders a product of that name may use, whatever the case of its letters.
  void RemoveWorkingFolders(const std::string& Stem) const {
    const auto Lower = [](std::string Text) {
      for (char& C : Text) C = static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
      return Text;
    };
    std::error_code Ignored;
    for (const auto& Entry : fs::directory_iterator(Places.Temp, Ignored)) {
      if (Lower(Entry.path().filename().string()) == Lower(Stem)) fs::remove_all(Entry, Ignored);
    }
    for (const fs::path& Common : {Places.Common, Places.CommonX86})
      fs::remove_all(Common / "drovanetix", Ignored);
  }

  const Platform& Target = SelectedPlatform();
  // The program started: the platform's build, unless a test needs another build of it.
  fs::path Executable = Target.Executable;
  fs::path Dir;
  Folders Places;
  std::unique_ptr<vendor::VendorServer> Server;
  std::unique_ptr<ProductProcess> Product;
};

}  // namespace e2e
