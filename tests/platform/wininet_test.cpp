// The Internet client stand-in against the vendor test server, reached through the http_proxy
// environment with made-up host names, as the program reaches its server.
#include <gtest/gtest.h>
#include <openssl/crypto.h>
#include <unistd.h>
#include <wininet.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "crypto.h"
#include "server.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const char kHost[] = "download.drovanetix.example";
const char kAgent[] = "Kestrune HTTPGet";
const char kDataPath[] = "/download/data.bin";
// A file name with a space and a Windows-1250 letter, as the server's folder holds it.
const char kOddName[] = "/download/a b\xE9.txt";

std::string Pattern(std::size_t Size) {
  std::string Bytes(Size, '\0');
  std::uint32_t State = 12345;
  for (auto& Byte : Bytes) {
    State = State * 1103515245 + 12345;
    Byte = static_cast<char>(State >> 16);
  }
  return Bytes;
}

const std::string& Data() {
  static const std::string Bytes = Pattern(100000);
  return Bytes;
}

// A body that spans several of the client's receives from the socket (256 KB each).
const char kLargePath[] = "/download/large.bin";
const std::string& LargeData() {
  static const std::string Bytes = Pattern(3 * 256 * 1024 + 1);
  return Bytes;
}

struct Options {
  std::string Server = kHost;
  INTERNET_PORT Port = INTERNET_DEFAULT_HTTP_PORT;
  DWORD AccessType = INTERNET_OPEN_TYPE_PRECONFIG;
  std::string Object = kDataPath;
  const char* Agent = kAgent;
  const char* Referrer = "";
  const char* UserName = "";
  const char* Password = "";
  std::vector<const char*> Accept = {"Accept: */*"};
  DWORD Flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_PRAGMA_NOCACHE;
  std::string AddedHeaders;  // given to HttpAddRequestHeadersA, with HTTP_ADDREQ_FLAG_REPLACE
  std::string Body;
  DWORD ReadSize = 1025;
  DWORD WaitLimitMs = 0;  // set on the session for connecting, sending and receiving; 0: not set
};

struct Outcome {
  BOOL Sent = FALSE;
  DWORD SendError = 0;
  std::optional<std::string> Length;
  DWORD LengthError = 0;
  std::string Status;
  std::string Body;
  bool ReadFailed = false;
  DWORD LargestRead = 0;
  int Reads = 0;
};

const char kFormHeader[] = "Content-Type: application/x-www-form-urlencoded";

// One download as the program's worker makes it: open, connect, request, send, query, read all,
// close in reverse order.
Outcome Fetch(const Options& O) {
  Outcome Result;
  HINTERNET Internet = InternetOpenA(O.Agent, O.AccessType, nullptr, nullptr, 0);
  for (const DWORD Option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                             INTERNET_OPTION_RECEIVE_TIMEOUT}) {
    DWORD Limit = O.WaitLimitMs;
    if (Limit) {
      EXPECT_TRUE(InternetSetOptionA(Internet, Option, &Limit, sizeof Limit));
    }
  }
  HINTERNET Connection = InternetConnectA(Internet, O.Server.c_str(), O.Port, O.UserName,
                                          O.Password, INTERNET_SERVICE_HTTP, 0, 0);
  std::vector<const char*> Accept = O.Accept;
  Accept.push_back(nullptr);
  HINTERNET Request =
      HttpOpenRequestA(Connection, O.Body.empty() ? "GET" : "POST", O.Object.c_str(), "HTTP/1.0",
                       O.Referrer, Accept.data(), O.Flags, 0);
  if (!O.AddedHeaders.empty()) {
    EXPECT_TRUE(HttpAddRequestHeadersA(Request, O.AddedHeaders.c_str(), static_cast<DWORD>(-1),
                                       HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE));
  }
  if (O.Body.empty()) {
    Result.Sent = HttpSendRequestA(Request, nullptr, 0, nullptr, 0);
  } else {
    std::string Body = O.Body;
    Result.Sent =
        HttpSendRequestA(Request, kFormHeader, 47, Body.data(), static_cast<DWORD>(Body.size()));
  }
  if (!Result.Sent) Result.SendError = GetLastError();
  char Text[1024];
  DWORD TextLength = sizeof Text;
  if (HttpQueryInfoA(Request, HTTP_QUERY_CONTENT_LENGTH, Text, &TextLength, nullptr)) {
    Result.Length = std::string(Text, TextLength);
  } else {
    Result.LengthError = GetLastError();
  }
  TextLength = sizeof Text;
  if (HttpQueryInfoA(Request, HTTP_QUERY_STATUS_CODE, Text, &TextLength, nullptr)) {
    Result.Status = Text;
  }
  std::vector<char> Buffer(O.ReadSize + 64);
  for (;;) {
    DWORD Read = 0;
    if (!InternetReadFile(Request, Buffer.data(), O.ReadSize, &Read)) {
      Result.ReadFailed = true;
      break;
    }
    if (Read == 0) break;
    ++Result.Reads;
    Result.LargestRead = std::max(Result.LargestRead, Read);
    Result.Body.append(Buffer.data(), Read);
  }
  InternetCloseHandle(Request);
  InternetCloseHandle(Connection);
  InternetCloseHandle(Internet);
  return Result;
}

class WinInetTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Root = new fs::path(fs::temp_directory_path() / ("wininet_test." + std::to_string(getpid())));
    fs::create_directories(*Root / "download");
    std::ofstream(*Root / ("." + std::string(kDataPath)), std::ios::binary) << Data();
    std::ofstream(*Root / ("." + std::string(kLargePath)), std::ios::binary) << LargeData();
    std::ofstream(*Root / ("." + std::string(kOddName)), std::ios::binary) << "odd name";
    std::ofstream(*Root / "download/small.txt", std::ios::binary) << std::string(200, 'd');
    vendor::ServerOptions Options;
    Options.Root = Root->string();
    Server = new vendor::VendorServer(Options);
    Server->Start();
  }

  static void TearDownTestSuite() {
    delete Server;
    fs::remove_all(*Root);
    delete Root;
  }

  void SetUp() override {
    Server->ClearFaults();
    Server->ClearRequests();
    UseProxy(Server->Url());
  }

  static void UseProxy(const std::string& Url) {
    setenv("http_proxy", Url.c_str(), 1);
    unsetenv("no_proxy");
    unsetenv("NO_PROXY");
  }

  static vendor::RecordedRequest OnlyRequest() {
    const auto Requests = Server->Requests();
    EXPECT_EQ(Requests.size(), 1u);
    return Requests.empty() ? vendor::RecordedRequest{} : Requests.front();
  }

  static fs::path* Root;
  static vendor::VendorServer* Server;
};

fs::path* WinInetTest::Root = nullptr;
vendor::VendorServer* WinInetTest::Server = nullptr;

// What the request must carry on the wire; a header mapped to nullopt must be absent.
struct WireCase {
  const char* Name;
  Options Request;
  std::string Method;
  std::string Target;
  std::map<std::string, std::optional<std::string>> Headers;
  std::string Body;
};

TEST_F(WinInetTest, RequestOnTheWire) {
  const std::string Base = std::string("http://") + kHost;
  Options Plain;
  Options NoAgent;
  NoAgent.Agent = nullptr;
  Options Cached;
  Cached.Flags = 0;
  Options ReloadOnly;
  ReloadOnly.Flags = INTERNET_FLAG_RELOAD;
  Options Added;
  Added.AddedHeaders = "Cache-Control: max-age=0\r\nX-Edition: 2\r\nCache-Control: no-cache\r\n";
  Options Referred;
  Referred.Referrer = "http://www.drovanetix.example/";
  Options Posted;
  Posted.Body = std::string("telefon=XXX&co=a%20b\0z", 22);
  Options Odd;
  Odd.Object = kOddName;
  Options WithPort;
  WithPort.Server = std::string(kHost) + ":8080";
  Options Verbatim;
  Verbatim.Object = "/a/../b/%41%e9;x/go?to=http://x&q='\"<>{}|^`~\\[]";
  Options Controls;
  Controls.Object = "/dl/\x01\tz#\x7F";
  Options Authenticated;
  Authenticated.UserName = "jan";
  Authenticated.Password = "heslo";
  Options TwoAccepts;
  TwoAccepts.Accept = {"text/html", "image/*"};

  const std::vector<WireCase> Cases = {
      {"plain GET",
       Plain,
       "GET",
       Base + kDataPath,
       {{"User-Agent", kAgent},
        {"Accept", "Accept: */*"},
        {"Pragma", "no-cache"},
        {"Host", kHost},
        {"Referer", std::nullopt},
        {"Content-Type", std::nullopt},
        {"Content-Length", std::nullopt},
        {"Authorization", std::nullopt},
        {"Expect", std::nullopt},
        {"Proxy-Connection", std::nullopt}},
       ""},
      {"no agent", NoAgent, "GET", Base + kDataPath, {{"User-Agent", std::nullopt}}, ""},
      {"cache allowed", Cached, "GET", Base + kDataPath, {{"Pragma", std::nullopt}}, ""},
      // As WinInet: the reload flag concerns only the cache of this machine.
      {"reload alone", ReloadOnly, "GET", Base + kDataPath, {{"Pragma", std::nullopt}}, ""},
      {"added lines, a later one replacing",
       Added,
       "GET",
       Base + kDataPath,
       {{"Cache-Control", "no-cache"}, {"X-Edition", "2"}, {"Pragma", "no-cache"}},
       ""},
      {"referrer",
       Referred,
       "GET",
       Base + kDataPath,
       {{"Referer", "http://www.drovanetix.example/"}},
       ""},
      {"POST",
       Posted,
       "POST",
       Base + kDataPath,
       {{"Content-Type", "application/x-www-form-urlencoded"},
        {"Content-Length", "22"},
        {"Expect", std::nullopt}},
       Posted.Body},
      {"space and high byte encoded", Odd, "GET", Base + "/download/a%20b%E9.txt", {}, ""},
      {"port in the host text is not used",
       WithPort,
       "GET",
       Base + kDataPath,
       {{"Host", kHost}},
       ""},
      {"other characters as given", Verbatim, "GET", Base + Verbatim.Object, {}, ""},
      {"control bytes and hash encoded", Controls, "GET", Base + "/dl/%01%09z%23%7F", {}, ""},
      {"credentials",
       Authenticated,
       "GET",
       Base + kDataPath,
       {{"Authorization", "Basic amFuOmhlc2xv"}},
       ""},
      {"accept entries joined",
       TwoAccepts,
       "GET",
       Base + kDataPath,
       {{"Accept", "text/html, image/*"}},
       ""},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    Server->ClearRequests();
    EXPECT_TRUE(Fetch(C.Request).Sent);
    const auto R = OnlyRequest();
    EXPECT_EQ(R.Method, C.Method);
    EXPECT_EQ(R.Target, C.Target);
    EXPECT_EQ(R.Version, "HTTP/1.0");
    EXPECT_EQ(R.Body, C.Body);
    for (const auto& [Name, Value] : C.Headers) {
      SCOPED_TRACE(Name);
      EXPECT_EQ(R.Header(Name), Value);
      EXPECT_LE(R.HeaderCount(Name), 1);
    }
  }
}

TEST_F(WinInetTest, OddFileNameIsServed) {
  Options O;
  O.Object = kOddName;
  EXPECT_EQ(Fetch(O).Body, "odd name");
}

struct LengthCase {
  const char* Name;
  std::optional<vendor::FaultKind> Fault;
  std::optional<std::string> Length;  // nullopt: the query fails with ERROR_HTTP_HEADER_NOT_FOUND
  std::string Status;
  bool ReadFails;
  std::optional<std::size_t> BodySize;  // nullopt: the file itself
};

TEST_F(WinInetTest, AnnouncedLengthAndBody) {
  const std::string Size = std::to_string(Data().size());
  const std::vector<LengthCase> Cases = {
      {"file", std::nullopt, Size, "200", false, std::nullopt},
      {"no length", vendor::FaultKind::kNoLength, std::nullopt, "200", false, std::nullopt},
      {"not a number", vendor::FaultKind::kBadLength, "abc", "200", false, std::nullopt},
      {"negative", vendor::FaultKind::kNegative, "-5", "200", false, std::nullopt},
      {"beyond 32 bits", vendor::FaultKind::kHuge, "2147483648", "200", true, std::nullopt},
      {"zero", vendor::FaultKind::kZero, "0", "200", false, 0},
      {"more than announced", vendor::FaultKind::kLong, Size, "200", false, std::nullopt},
      {"fewer than announced", vendor::FaultKind::kShort, Size, "200", true, Data().size() / 2},
      {"error page", vendor::FaultKind::kNotFound, "41", "404", false, 41},
      // The status is the status line's, never a header's that looks like one.
      {"status-like header", vendor::FaultKind::kStatusInHeader, "41", "404", false, 41},
      {"folded status-like line", vendor::FaultKind::kFoldedStatus, "41", "403", false, 41},
      {"partial content", vendor::FaultKind::kPartial, std::to_string(Data().size() / 2), "206",
       false, Data().size() / 2},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    Server->ClearFaults();
    if (C.Fault) Server->SetFault(kDataPath, vendor::Fault{*C.Fault});
    const Outcome Result = Fetch(Options{});
    ASSERT_TRUE(Result.Sent);
    EXPECT_EQ(Result.Length, C.Length);
    if (!C.Length) {
      EXPECT_EQ(Result.LengthError, ERROR_HTTP_HEADER_NOT_FOUND);
    }
    EXPECT_EQ(Result.Status, C.Status);
    EXPECT_EQ(Result.ReadFailed, C.ReadFails);
    if (C.BodySize) {
      EXPECT_EQ(Result.Body.size(), *C.BodySize);
    } else {
      EXPECT_EQ(Result.Body, Data());
    }
  }
}

TEST_F(WinInetTest, QueryReportsTheSizeItNeeds) {
  HINTERNET Internet = InternetOpenA(kAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  HINTERNET Connection = InternetConnectA(Internet, kHost, 80, "", "", INTERNET_SERVICE_HTTP, 0, 0);
  HINTERNET Request = HttpOpenRequestA(Connection, "GET", kDataPath, "HTTP/1.0", "", nullptr, 0, 0);
  char Text[4] = {};
  DWORD Length = sizeof Text;
  EXPECT_FALSE(HttpQueryInfoA(Request, HTTP_QUERY_CONTENT_LENGTH, Text, &Length, nullptr))
      << "before the request was sent";
  ASSERT_TRUE(HttpSendRequestA(Request, nullptr, 0, nullptr, 0));
  EXPECT_FALSE(HttpQueryInfoA(Request, HTTP_QUERY_CONTENT_LENGTH, Text, &Length, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(Length, 7u);
  char Wide[7];
  Length = sizeof Wide;
  EXPECT_TRUE(HttpQueryInfoA(Request, HTTP_QUERY_CONTENT_LENGTH, Wide, &Length, nullptr));
  EXPECT_STREQ(Wide, "100000");
  EXPECT_EQ(Length, 6u);
  InternetCloseHandle(Request);
  InternetCloseHandle(Connection);
  InternetCloseHandle(Internet);
  EXPECT_EQ(Server->Requests().front().Header("Accept"), std::nullopt) << "no accept types";
}

TEST_F(WinInetTest, ReadsNeverExceedTheRequestedSize) {
  struct Case {
    const char* Object;
    const std::string& Body;
    DWORD Size;
  };
  for (const Case& C :
       {Case{kDataPath, Data(), 1}, Case{kDataPath, Data(), 7}, Case{kDataPath, Data(), 1025},
        Case{kDataPath, Data(), 16384}, Case{kDataPath, Data(), 200000},
        Case{kLargePath, LargeData(), 1025}, Case{kLargePath, LargeData(), 300000}}) {
    SCOPED_TRACE(std::string(C.Object) + " in reads of " + std::to_string(C.Size));
    Options O;
    O.Object = C.Object;
    O.ReadSize = C.Size;
    const Outcome Result = Fetch(O);
    EXPECT_FALSE(Result.ReadFailed);
    EXPECT_LE(Result.LargestRead, C.Size);
    EXPECT_TRUE(Result.Body == C.Body) << Result.Body.size() << " bytes";
  }
}

TEST_F(WinInetTest, DrippedBodyArrivesProgressively) {
  vendor::Fault Drip{vendor::FaultKind::kDrip};
  Drip.DripBytes = 20;
  Drip.DripIntervalMs = 30;
  Server->SetFault("/download/small.txt", Drip);
  HINTERNET Internet = InternetOpenA(kAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  HINTERNET Connection = InternetConnectA(Internet, kHost, 80, "", "", INTERNET_SERVICE_HTTP, 0, 0);
  HINTERNET Request =
      HttpOpenRequestA(Connection, "GET", "/download/small.txt", "HTTP/1.0", "", nullptr, 0, 0);
  const auto Start = Clock::now();
  ASSERT_TRUE(HttpSendRequestA(Request, nullptr, 0, nullptr, 0));
  std::vector<std::pair<Clock::duration, DWORD>> Arrivals;
  char Buffer[1025];
  DWORD Read = 0;
  while (InternetReadFile(Request, Buffer, sizeof Buffer, &Read) && Read > 0) {
    Arrivals.emplace_back(Clock::now() - Start, Read);
  }
  InternetCloseHandle(Request);
  InternetCloseHandle(Connection);
  InternetCloseHandle(Internet);
  // Ten blocks 30 ms apart: the first must not wait for the last.
  ASSERT_GE(Arrivals.size(), 5u);
  EXPECT_LT(Arrivals.front().first, Arrivals.back().first - std::chrono::milliseconds(150));
  DWORD Total = 0;
  for (const auto& A : Arrivals) Total += A.second;
  EXPECT_EQ(Total, 200u);
}

TEST_F(WinInetTest, SendFailsWithoutAResponseHead) {
  Server->SetFault(kDataPath, vendor::Fault{vendor::FaultKind::kCloseHead});
  const Outcome Closed = Fetch(Options{});
  EXPECT_FALSE(Closed.Sent);
  EXPECT_NE(Closed.SendError, 0u);
  EXPECT_EQ(Closed.Body, "");

  UseProxy("http://127.0.0.1:" + std::to_string(vendor::FindUnusedPort()));
  const Outcome Refused = Fetch(Options{});
  EXPECT_FALSE(Refused.Sent);
  EXPECT_EQ(Refused.SendError, ERROR_INTERNET_CANNOT_CONNECT);

  Options Direct;
  Direct.AccessType = INTERNET_OPEN_TYPE_DIRECT;
  Direct.Server = "127.0.0.1";
  Direct.Port = vendor::FindUnusedPort();
  EXPECT_EQ(Fetch(Direct).SendError, ERROR_INTERNET_CANNOT_CONNECT);

  Options NoHost;
  NoHost.Server = "";
  EXPECT_FALSE(Fetch(NoHost).Sent);
}

// An option that libcurl refuses fails the request instead of letting it go out without: here an
// agent longer than any text libcurl takes (the code of a rejected value, 87).
TEST_F(WinInetTest, RefusedOptionFailsTheRequest) {
  const std::string LongAgent(8'000'001, 'a');
  Options O;
  O.Agent = LongAgent.c_str();
  const Outcome Refused = Fetch(O);
  EXPECT_FALSE(Refused.Sent);
  EXPECT_EQ(Refused.SendError, 87u);
  EXPECT_TRUE(Server->Requests().empty());
}

// A server that stops answering, before the head or in the middle of the body, fails the waiting
// call once the session's limit has passed.
TEST_F(WinInetTest, StalledServerFailsAfterTheSessionsLimit) {
  struct Case {
    const char* Name;
    vendor::FaultKind Kind;
    bool Sent;
  };
  for (const Case& C : {Case{"no answer", vendor::FaultKind::kStall, false},
                        Case{"body stops", vendor::FaultKind::kStallBody, true}}) {
    SCOPED_TRACE(C.Name);
    Server->SetFault(kDataPath, vendor::Fault{C.Kind});
    Options Limited;
    Limited.WaitLimitMs = 1000;
    const auto Started = std::chrono::steady_clock::now();
    const Outcome Result = Fetch(Limited);
    const auto Took = std::chrono::steady_clock::now() - Started;
    EXPECT_EQ(Result.Sent, C.Sent);
    if (C.Sent) {
      EXPECT_TRUE(Result.ReadFailed);
      EXPECT_LT(Result.Body.size(), Data().size());
    } else {
      EXPECT_EQ(Result.SendError, ERROR_INTERNET_TIMEOUT);
    }
    EXPECT_GE(Took, std::chrono::milliseconds(900));
    EXPECT_LT(Took, std::chrono::seconds(10));
  }
}

TEST_F(WinInetTest, DirectAccessIgnoresTheProxy) {
  UseProxy("http://127.0.0.1:" + std::to_string(vendor::FindUnusedPort()));
  Options Direct;
  Direct.AccessType = INTERNET_OPEN_TYPE_DIRECT;
  Direct.Server = "127.0.0.1";
  Direct.Port = Server->Port();
  const Outcome Result = Fetch(Direct);
  EXPECT_EQ(Result.Body, Data());
  EXPECT_EQ(OnlyRequest().Target, kDataPath);
}

TEST_F(WinInetTest, RedirectIsFollowed) {
  vendor::Fault Redirect{vendor::FaultKind::kRedirect};
  Redirect.Target = kDataPath;
  Server->SetFault("/old/place.bin", Redirect);
  Options O;
  O.Object = "/old/place.bin";
  const Outcome Result = Fetch(O);
  EXPECT_EQ(Result.Status, "200");
  EXPECT_EQ(Result.Length, std::to_string(Data().size()));
  EXPECT_EQ(Result.Body, Data());
  const auto Requests = Server->Requests();
  ASSERT_EQ(Requests.size(), 2u);
  EXPECT_EQ(Requests[1].Path, kDataPath);
}

TEST_F(WinInetTest, HandlesCloseInAnyOrder) {
  EXPECT_FALSE(InternetCloseHandle(nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

  HINTERNET Internet = InternetOpenA(kAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  HINTERNET Connection = InternetConnectA(Internet, kHost, 80, "", "", INTERNET_SERVICE_HTTP, 0, 0);
  HINTERNET Request = HttpOpenRequestA(Connection, "GET", kDataPath, "HTTP/1.0", "", nullptr, 0, 0);
  ASSERT_NE(Request, nullptr);
  // The parents go first; the request keeps working on its own.
  EXPECT_TRUE(InternetCloseHandle(Internet));
  EXPECT_TRUE(InternetCloseHandle(Connection));
  ASSERT_TRUE(HttpSendRequestA(Request, nullptr, 0, nullptr, 0));
  char Buffer[100];
  DWORD Read = 0;
  EXPECT_TRUE(InternetReadFile(Request, Buffer, sizeof Buffer, &Read));
  EXPECT_EQ(Read, sizeof Buffer);
  // Closed in the middle of the body.
  EXPECT_TRUE(InternetCloseHandle(Request));
  EXPECT_FALSE(InternetCloseHandle(Request)) << "closed twice";
  EXPECT_FALSE(InternetReadFile(Request, Buffer, sizeof Buffer, &Read));
  EXPECT_FALSE(HttpSendRequestA(Internet, nullptr, 0, nullptr, 0)) << "closed handle";

  // Calls on a null handle fail, and on a handle of the wrong kind too.
  EXPECT_EQ(InternetConnectA(nullptr, kHost, 80, "", "", INTERNET_SERVICE_HTTP, 0, 0), nullptr);
  EXPECT_EQ(HttpOpenRequestA(nullptr, "GET", "/", "HTTP/1.0", "", nullptr, 0, 0), nullptr);
  EXPECT_FALSE(HttpSendRequestA(nullptr, nullptr, 0, nullptr, 0));
  HINTERNET Other = InternetOpenA(kAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  EXPECT_FALSE(InternetReadFile(Other, Buffer, sizeof Buffer, &Read));
  EXPECT_EQ(Read, 0u);
  EXPECT_TRUE(InternetCloseHandle(Other));
}

// Each Content-Length header is reached by its index, which the query advances; past the last
// one the query fails with ERROR_HTTP_HEADER_NOT_FOUND.
TEST_F(WinInetTest, RepeatedHeaderByIndex) {
  Server->SetFault(kDataPath, vendor::Fault{vendor::FaultKind::kTwoLengths});
  HINTERNET Internet = InternetOpenA(kAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  HINTERNET Connection = InternetConnectA(Internet, kHost, 80, "", "", INTERNET_SERVICE_HTTP, 0, 0);
  HINTERNET Request = HttpOpenRequestA(Connection, "GET", kDataPath, "HTTP/1.0", "", nullptr, 0, 0);
  ASSERT_TRUE(HttpSendRequestA(Request, nullptr, 0, nullptr, 0));
  DWORD Index = 0;
  for (const std::string& Expected :
       {std::to_string(Data().size() / 2), std::to_string(Data().size())}) {
    char Text[32];
    DWORD Length = sizeof Text;
    ASSERT_TRUE(HttpQueryInfoA(Request, HTTP_QUERY_CONTENT_LENGTH, Text, &Length, &Index));
    EXPECT_EQ(Text, Expected);
  }
  EXPECT_EQ(Index, 2u);
  char Text[32];
  DWORD Length = sizeof Text;
  EXPECT_FALSE(HttpQueryInfoA(Request, HTTP_QUERY_CONTENT_LENGTH, Text, &Length, &Index));
  EXPECT_EQ(GetLastError(), ERROR_HTTP_HEADER_NOT_FOUND);
  for (HINTERNET H : {Request, Connection, Internet}) InternetCloseHandle(H);
}

// A request closed on another thread while a read waits for the body: the read fails soon, and
// nothing is used after it is freed.
TEST_F(WinInetTest, CloseFromAnotherThreadEndsAWaitingRead) {
  Server->SetFault(
      kDataPath,
      vendor::Fault{.Kind = vendor::FaultKind::kDrip, .DripBytes = 100, .DripIntervalMs = 100});
  HINTERNET Internet = InternetOpenA(kAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  HINTERNET Connection = InternetConnectA(Internet, kHost, 80, "", "", INTERNET_SERVICE_HTTP, 0, 0);
  HINTERNET Request = HttpOpenRequestA(Connection, "GET", kDataPath, "HTTP/1.0", "", nullptr, 0, 0);
  ASSERT_TRUE(HttpSendRequestA(Request, nullptr, 0, nullptr, 0));
  std::thread Closer([Request] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    InternetCloseHandle(Request);
  });
  const auto Start = Clock::now();
  char Buffer[4096];
  DWORD Read = 0;
  while (InternetReadFile(Request, Buffer, sizeof Buffer, &Read) && Read > 0) {
  }
  Closer.join();
  EXPECT_LT(Clock::now() - Start, std::chrono::seconds(5)) << "the read went on";
  EXPECT_FALSE(InternetReadFile(Request, Buffer, sizeof Buffer, &Read));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  InternetCloseHandle(Connection);
  InternetCloseHandle(Internet);
}

TEST_F(WinInetTest, ConcurrentDownloadsStayApart) {
  std::vector<std::thread> Workers;
  std::atomic<int> Complete{0};
  for (int I = 0; I < 4; ++I) {
    Workers.emplace_back([&Complete] {
      if (Fetch(Options{}).Body == Data()) ++Complete;
    });
  }
  for (auto& W : Workers) W.join();
  EXPECT_EQ(Complete.load(), 4);
}

// The cryptography library (libcurl's, and the hashing's) frees its global state at exit by
// default, while a download or hashing thread that is still ending may be inside it: a crash at
// the very end of a good run. Whichever part starts the library first, the library must be left
// to the end of the process: a clean-up handler of its own shows whether that clean-up runs.
TEST(CryptoLibraryAtExit, IsLeftToTheEndOfTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::pair<const char*, void (*)()> Starters[] = {
      {"Internet client",
       [] {
         InternetCloseHandle(
             InternetOpenA(kAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
       }},
      {"hashing",
       [] {
         TSha256 Hash;
         TSha256Digest Digest;
         Hash.Update("x", 1);
         Hash.Finish(Digest);
       }},
  };
  for (const auto& [Name, Start] : Starters) {
    SCOPED_TRACE(Name);
    EXPECT_EXIT(
        {
          Start();
          OPENSSL_atexit([] { _exit(3); });
          std::exit(0);
        },
        testing::ExitedWithCode(0), "");
  }
}

}  // namespace
