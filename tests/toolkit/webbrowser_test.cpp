// The hidden browser control against the vendor test server, reached through the http_proxy
// environment as the program reaches the vendor's web server.
#include "toolkit/webbrowser.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "server.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const wchar_t kStatusUrl[] =
    L"http://download.drovanetix.example/programy/setup.asp?telefon=XXX&co=stazeno OK";
const char kStatusTarget[] =
    "http://download.drovanetix.example/programy/setup.asp?telefon=XXX&co=stazeno%20OK";

class WebBrowserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vendor::ServerOptions Options;
    Options.Root = std::filesystem::temp_directory_path().string();
    Server = std::make_unique<vendor::VendorServer>(Options);
    Server->Start();
    setenv("http_proxy", Server->Url().c_str(), 1);
    unsetenv("no_proxy");
    unsetenv("NO_PROXY");
  }

  // Every byte of the status page arrives 300 ms after the one before: about 9 s in all.
  void SlowDownStatusPage() {
    vendor::Fault Drip{vendor::FaultKind::kDrip};
    Drip.DripIntervalMs = 300;
    Server->SetFault("/programy/setup.asp", Drip);
  }

  std::unique_ptr<vendor::VendorServer> Server;
};

TEST_F(WebBrowserTest, DestructionWaitsUntilTheStatusRequestWasReceived) {
  auto Browser = std::make_unique<TWebBrowser>(nullptr, nullptr);
  Browser->Navigate(kStatusUrl);
  Browser.reset();
  const auto Requests = Server->Requests();
  ASSERT_EQ(Requests.size(), 1u);
  EXPECT_EQ(Requests[0].Method, "GET");
  EXPECT_EQ(Requests[0].Target, kStatusTarget);
  EXPECT_EQ(Requests[0].Version, "HTTP/1.0");
  EXPECT_EQ(Requests[0].Query, "telefon=XXX&co=stazeno%20OK");
  EXPECT_TRUE(Requests[0].Header("User-Agent").has_value());
  // Never answered from a cache on the way: each report must reach the vendor.
  EXPECT_EQ(Requests[0].Header("Pragma"), "no-cache");
  EXPECT_EQ(Requests[0].Header("Cache-Control"), "no-cache");
}

TEST_F(WebBrowserTest, AddressesAreMadeSendable) {
  const struct {
    const wchar_t* Url;
    const char* Target;
  } Cases[] = {
      {L"HTTP://download.drovanetix.example/a b", "http://download.drovanetix.example/a%20b"},
      {L"download.drovanetix.example/k\u0161\u00e9x", "http://download.drovanetix.example/k??x"},
      {L"http://download.drovanetix.example", "http://download.drovanetix.example/"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Target);
    Server->ClearRequests();
    TWebBrowser Browser(nullptr, nullptr);
    Browser.Navigate(C.Url);
    EXPECT_TRUE(Browser.WaitForNavigation(5000));
    const auto Requests = Server->Requests();
    ASSERT_EQ(Requests.size(), 1u);
    EXPECT_EQ(Requests[0].Target, C.Target);
  }
}

TEST_F(WebBrowserTest, AddressWithoutHostIsRefused) {
  TWebBrowser Browser(nullptr, nullptr);
  for (const wchar_t* Url : {L"", L"http://", L"/programy/setup.asp"}) {
    EXPECT_THROW(Browser.Navigate(Url), Exception);
  }
  EXPECT_TRUE(Browser.WaitForNavigation(0));
  EXPECT_TRUE(Server->Requests().empty());
}

TEST_F(WebBrowserTest, WaitingEndsWithTheRequest) {
  SlowDownStatusPage();
  TWebBrowser Browser(nullptr, nullptr);
  Browser.Navigate(kStatusUrl);
  EXPECT_FALSE(Browser.WaitForNavigation(300));
  Server->ClearFaults();
  Server->Stop();
  EXPECT_TRUE(Browser.WaitForNavigation(5000)) << "a broken answer ends the request too";
}

TEST_F(WebBrowserTest, DestructionWaitsOnlyAFewSeconds) {
  SlowDownStatusPage();
  auto Browser = std::make_unique<TWebBrowser>(nullptr, nullptr);
  Browser->Navigate(kStatusUrl);
  ASSERT_TRUE(Server->WaitForRequests(1, milliseconds(5000)));
  const auto Start = Clock::now();
  Browser.reset();
  const auto Waited = Clock::now() - Start;
  EXPECT_GE(Waited, milliseconds(4000));
  EXPECT_LT(Waited, milliseconds(7000));
  // The request's thread goes on without the control until the server breaks the connection.
  Server->Stop();
}

}  // namespace
