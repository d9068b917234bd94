// The fixture shared by the end-to-end tests: a vendor test server with a folder of its own, a
// clean environment for the product, and the product started from a copy under a chosen name.
#pragma once

#include <gtest/gtest.h>

#include <memory>
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
    ASSERT_FALSE(Target.Display.empty()) << "the tests need an X display";
    Dir = MakeTempDir("e2e");
    Places = {Dir / "temp", Dir / "common", Dir / "common-x86"};
    for (const fs::path& P : {Places.Temp, Places.Common, Places.CommonX86, Dir / "vendor"})
      fs::create_directories(P);
    vendor::ServerOptions Options;
    Options.Root = (Dir / "vendor").string();
    Server = std::make_unique<vendor::VendorServer>(Options);
    Server->Start();
  }
  void TearDown() override {
    Product.reset();
    Server->Stop();
    std::error_code Ignored;
    fs::remove_all(Dir, Ignored);
  }

  // The environment a Windows session would give, names in their usual case: the product
  // matches them without regard to case.
  Environment ProductEnvironment(const std::string& Architecture) const {
    Environment Vars{{"TEMP", Places.Temp.string()},
                     {"PROCESSOR_ARCHITECTURE", Architecture},
                     {"CommonProgramFiles", Places.Common.string()},
                     {"CommonProgramFiles(x86)", Places.CommonX86.string()}};
    if (Target.Proxy == Platform::ProxySetting::kEnvironment) Vars["http_proxy"] = Server->Url();
    return Vars;
  }

  // Starts a copy of the product named Stem plus the platform's extension.
  ProductProcess& Start(const std::string& Stem, const Environment& Vars) {
    const fs::path Copy = Dir / "bin" / (Stem + Target.Extension);
    fs::create_directories(Copy.parent_path());
    fs::copy_file(Target.Executable, Copy, fs::copy_options::overwrite_existing);
    Product = std::make_unique<ProductProcess>(Target, Copy, Vars, Dir / "product.log");
    return *Product;
  }

  void Serve(const std::string& UrlName, const std::string& Source, const std::string& Bytes) {
    WriteFile(Dir / "vendor" / "download" / UrlName / Source, Bytes);
  }

  // The product's own installer: records its arguments and working folder, then ends.
  std::string SetupScript() const {
    const std::string Record = Quote(SetupRecord().string());
    return "#!/bin/sh\nprintf '%s\\n' \"$#\" \"$@\" \"$(pwd -P)\" > " + Record +
           ".tmp && /bin/mv " + Record + ".tmp " + Record + "\n";
  }
  fs::path SetupRecord() const { return Dir / "setup-record.txt"; }

  std::vector<std::string> RequestedPaths() const {
    std::vector<std::string> Paths;
    for (const auto& R : Server->Requests()) Paths.push_back(R.Path);
    return Paths;
  }

  // What the product wrote to its standard output and error, for failure messages.
  std::string ProductLog() const { return ReadFile(Dir / "product.log"); }

  Platform Target = NativePlatform();
  fs::path Dir;
  Folders Places;
  std::unique_ptr<vendor::VendorServer> Server;
  std::unique_ptr<ProductProcess> Product;
};

}  // namespace e2e
