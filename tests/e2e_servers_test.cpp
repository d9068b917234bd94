// The product against real servers as a vendor deploys it: the vendor's nginx site
// (tools/deploy/nginx-vendor.conf) behind squid, a cache that keeps what the site lets it keep.
// Both are started for each test on loopback ports (tests/servers/serve.sh); the project's own
// test server stays for the faults (e2e_test.cpp).
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "e2e_product.h"

namespace e2e {
namespace {

// MERONA on a 64-bit system: what the server holds, and the name each file is saved under.
const std::vector<std::pair<std::string, std::string>> kMeronaFiles = {
    {"pravl32.zip", "pravl32._dl"},      {"ntdll.zip", "ntdll._dl"},
    {"qtintf70.zip", "qtintf70._dl"},    {"merona.zip", "merona._ex"},
    {"Firebird-64.zip", "Firebird.exe"}, {"setup.zip", "setup.exe"},
    {"dobrin.zip", "dobrin._ex"}};
const char kStatusTarget[] = "/programy/setup.asp?telefon=XXX&co=stazeno%20OK";

// One line of the site's access log: the request's target, the status, and the request's two
// cache headers ("-" when absent).
struct LogLine {
  std::string Target;
  std::string Status;
  std::string Pragma;
  std::string CacheControl;
};

// The log format of the vendor's site: ... "GET target HTTP/1.1" status bytes "pragma"
// "cache-control" "agent" "via".
std::vector<LogLine> ReadAccessLog(const fs::path& File) {
  std::vector<LogLine> Lines;
  std::istringstream In(ReadFile(File));
  for (std::string Text; std::getline(In, Text);) {
    std::vector<std::string> Quoted;
    std::string Between;  // the text after the request: " status bytes "
    for (std::size_t Open = Text.find('"'); Open != std::string::npos;) {
      const std::size_t Close = Text.find('"', Open + 1);
      if (Close == std::string::npos) break;
      Quoted.push_back(Text.substr(Open + 1, Close - Open - 1));
      Open = Text.find('"', Close + 1);
      if (Quoted.size() == 1 && Open != std::string::npos)
        Between = Text.substr(Close + 1, Open - Close - 1);
    }
    if (Quoted.size() < 3) continue;
    std::istringstream Request(Quoted[0]), Result(Between);
    LogLine Line;
    std::string Method;
    Request >> Method >> Line.Target;
    Result >> Line.Status;
    Line.Pragma = Quoted[1];
    Line.CacheControl = Quoted[2];
    Lines.push_back(Line);
  }
  return Lines;
}

class RealServersTest : public ProductTest {
 protected:
  void SetUp() override {
    ProductTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    std::istringstream Ports(Capture(Servers("start") + " " + Quote((Dir / "vendor").string())));
    for (std::string Name; Ports >> Name;) Ports >> (Name == "squid" ? SquidPort : NginxPort);
    Started = SquidPort > 0 && NginxPort > 0;
    ASSERT_TRUE(Started) << "nginx and squid did not start: see tests/servers/serve.sh";
    if (Target.Proxy == Platform::ProxySetting::kRegistry) {
      ASSERT_TRUE(SetRegistryProxy(SquidPort));
    }
  }
  void TearDown() override {
    if (Started) Succeeds(Servers("stop"));
    ProductTest::TearDown();
  }

  // The command that starts or stops the servers, whose files go below the test's folder.
  std::string Servers(const std::string& Command) const {
    const fs::path Script = fs::path(__FILE__).parent_path() / "servers" / "serve.sh";
    return "bash " + Quote(Script.string()) + " " + Command + " " +
           Quote((Dir / "servers").string());
  }

  Environment ProxiedEnvironment() const {
    Environment Vars = ProductEnvironment("AMD64");
    if (Target.Proxy == Platform::ProxySetting::kEnvironment)
      Vars["http_proxy"] = "http://127.0.0.1:" + std::to_string(SquidPort);
    return Vars;
  }

  // Puts a version of every file on the site, each of another length than in the version
  // before; returns the bytes by target name.
  std::map<std::string, std::string> Publish(unsigned Version) {
    std::map<std::string, std::string> Saved;
    for (std::size_t I = 0; I < kMeronaFiles.size(); ++I) {
      const auto& [Source, Name] = kMeronaFiles[I];
      const std::string Bytes = Name == "setup.exe"
                                    ? SetupProgram() + std::string(Version, '\n')
                                    : Payload(20000 + 7919 * I + Version, Version * 100 + I);
      Serve("merona", Source, Bytes);
      Saved[Name] = Bytes;
    }
    return Saved;
  }

  // Runs MERONA to its end and checks what arrived and what the site saw: every file and one
  // status report, each asked for fresh through the cache.
  void RunAndExpect(const std::map<std::string, std::string>& Saved) {
    const std::size_t Before = SiteLog().size();
    std::error_code Ignored;
    fs::remove(SetupRecord(), Ignored);
    ProductProcess& P = Start("merona", ProxiedEnvironment());
    const auto Main = WaitForWindow(P.Pid(), "MERONA");
    ASSERT_TRUE(Main) << ProductLog();
    ASSERT_TRUE(ClickFlag(*Main, "en"));
    ASSERT_TRUE(ExitedWithZero(P.WaitExit(std::chrono::seconds(kMeronaFiles.size() + 14))))
        << ProductLog();
    EXPECT_TRUE(WaitUntil([&] { return fs::exists(SetupRecord()); }, 5s)) << "setup not started";
    for (const auto& [Name, Bytes] : Saved)
      EXPECT_TRUE(ReadFile(Places.Temp / "merona" / Name) == Bytes)
          << Name << " is not the new one";

    std::vector<LogLine> Lines = SiteLog();
    Lines.erase(Lines.begin(), Lines.begin() + static_cast<std::ptrdiff_t>(Before));
    std::vector<std::string> Targets;
    for (const LogLine& L : Lines) {
      Targets.push_back(L.Target);
      EXPECT_EQ(L.Status, "200") << L.Target;
      EXPECT_EQ(L.Pragma, "no-cache") << L.Target;
      EXPECT_EQ(L.CacheControl, "no-cache") << L.Target;
    }
    std::vector<std::string> Expected;
    for (const auto& [Source, Name] : kMeronaFiles)
      Expected.push_back("/download/merona/" + Source);
    Expected.push_back(kStatusTarget);
    EXPECT_EQ(Targets, Expected);
  }

  std::vector<LogLine> SiteLog() const { return ReadAccessLog(Dir / "servers/nginx/access.log"); }

  bool Started = false;
  int SquidPort = 0;
  int NginxPort = 0;
};

// A run, then a new version of every file on the site and a second run: each run gets what the
// site holds at the time, not the copy the cache kept from the run before, and each report
// reaches the site.
TEST_F(RealServersTest, EveryRunGetsTheFilesTheSiteHoldsThroughACache) {
  for (unsigned Version : {1u, 2u}) {
    SCOPED_TRACE("version " + std::to_string(Version));
    RunAndExpect(Publish(Version));
    if (HasFatalFailure()) return;
  }
}

}  // namespace
}  // namespace e2e
