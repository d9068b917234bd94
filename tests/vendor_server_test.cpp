// The vendor test server on its own: fault options from the command line, path mapping,
// both request forms and the request log, checked over a plain socket.
#include "server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

TEST(FaultOptionTest, ParsesKindsAndArguments) {
  const struct {
    const char* Option;
    bool Valid;
    std::string Path;
    vendor::FaultKind Kind;
    std::size_t DripBytes;
    int DripIntervalMs;
    std::string Target;
  } Cases[] = {
      {"/a.zip=short", true, "/a.zip", vendor::FaultKind::kShort, 1, 10, "/"},
      {"*=404", true, "*", vendor::FaultKind::kNotFound, 1, 10, "/"},
      {"/d=drip:64:250", true, "/d", vendor::FaultKind::kDrip, 64, 250, "/"},
      {"/d=drip:8", true, "/d", vendor::FaultKind::kDrip, 8, 10, "/"},
      {"/r=redirect:/new", true, "/r", vendor::FaultKind::kRedirect, 1, 10, "/new"},
      {"/q=a=closehead", true, "/q=a", vendor::FaultKind::kCloseHead, 1, 10, "/"},
      {"/p=206", true, "/p", vendor::FaultKind::kPartial, 1, 10, "/"},
      {"/x", false, "", vendor::FaultKind::kNotFound, 0, 0, ""},
      {"=short", false, "", vendor::FaultKind::kNotFound, 0, 0, ""},
      {"/x=bogus", false, "", vendor::FaultKind::kNotFound, 0, 0, ""},
      {"/x=drip:0", false, "", vendor::FaultKind::kNotFound, 0, 0, ""},
      {"/x=drip:5:x", false, "", vendor::FaultKind::kNotFound, 0, 0, ""},
      {"/x=short:3", false, "", vendor::FaultKind::kNotFound, 0, 0, ""},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Option);
    const auto Parsed = vendor::ParseFaultOption(C.Option);
    ASSERT_EQ(Parsed.has_value(), C.Valid);
    if (!Parsed) continue;
    EXPECT_EQ(Parsed->first, C.Path);
    EXPECT_EQ(Parsed->second.Kind, C.Kind);
    EXPECT_EQ(Parsed->second.DripBytes, C.DripBytes);
    EXPECT_EQ(Parsed->second.DripIntervalMs, C.DripIntervalMs);
    EXPECT_EQ(Parsed->second.Target, C.Target);
  }
}

TEST(PercentDecodeTest, DecodesWellFormedEscapesOnly) {
  EXPECT_EQ(vendor::PercentDecode("/a%20b%E9%2f"), "/a b\xE9/");
  EXPECT_EQ(vendor::PercentDecode("%zz%4"), "%zz%4");
}

class VendorServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Root = fs::temp_directory_path() / ("vendor_server_test." + std::to_string(getpid()));
    fs::create_directories(Root / "download" / "folder");
    std::ofstream(Root / "download" / "file.txt") << "file body";
    vendor::ServerOptions Options;
    Options.Root = Root.string();
    Options.LogFile = (Root / "requests.log").string();
    Server = std::make_unique<vendor::VendorServer>(Options);
    Server->Start();
  }

  void TearDown() override {
    Server.reset();
    fs::remove_all(Root);
  }

  // Sends Request as it is and returns everything the server answers until it closes.
  std::string Exchange(const std::string& Request) {
    const int Socket = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Address.sin_port = htons(Server->Port());
    EXPECT_EQ(::connect(Socket, reinterpret_cast<sockaddr*>(&Address), sizeof Address), 0);
    EXPECT_EQ(::send(Socket, Request.data(), Request.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(Request.size()));
    std::string Answer;
    char Buffer[4096];
    ssize_t Got;
    while ((Got = ::recv(Socket, Buffer, sizeof Buffer, 0)) > 0) Answer.append(Buffer, Got);
    ::close(Socket);
    return Answer;
  }

  fs::path Root;
  std::unique_ptr<vendor::VendorServer> Server;
};

TEST_F(VendorServerTest, MapsTargetsToAnswers) {
  const struct {
    const char* Target;
    const char* Head;
    const char* Body;
  } Cases[] = {
      {"/download/file.txt", "HTTP/1.0 200 OK\r\n", "\r\n\r\nfile body"},
      {"http://download.drovanetix.example:8080/download/file.txt?x=1", "HTTP/1.0 200 OK\r\n",
       "Content-Length: 9\r\n"},
      {"/download/fi%6Ce.txt", "HTTP/1.0 200 OK\r\n", "file body"},
      {"/download/folder", "HTTP/1.0 404 Not Found\r\n", "Content-Length: 41\r\n"},
      {"/download/../download/file.txt", "HTTP/1.0 404", "404 Not Found"},
      {"/download/missing.txt", "HTTP/1.0 404", "404 Not Found"},
      {"/programy/setup.asp?telefon=XXX&co=stazeno%20OK", "HTTP/1.0 200 OK\r\n", "OK"},
      {"http://www.drovanetix.example/programy/setup.asp/more", "HTTP/1.0 200", "OK"},
      {"/programy/setup.aspx", "HTTP/1.0 404", "404 Not Found"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Target);
    const std::string Answer = Exchange("GET " + std::string(C.Target) + " HTTP/1.0\r\n\r\n");
    EXPECT_EQ(Answer.rfind(C.Head, 0), 0u) << Answer;
    EXPECT_NE(Answer.find(C.Body), std::string::npos) << Answer;
  }
}

TEST_F(VendorServerTest, RecordsAndLogsEveryRequest) {
  Exchange("POST /form HTTP/1.0\r\nContent-Length: 5\r\nX-Test:  two  \r\n\r\na=1\n\x01");
  ASSERT_TRUE(Server->WaitForRequests(1, std::chrono::seconds(5)));
  const auto R = Server->Requests().front();
  EXPECT_EQ(R.RequestLine, "POST /form HTTP/1.0");
  EXPECT_EQ(R.Header("x-test"), "two");
  EXPECT_EQ(R.Body, "a=1\n\x01");
  Server->Stop();
  std::ifstream Log(Root / "requests.log");
  std::stringstream Text;
  Text << Log.rdbuf();
  const std::string Expected =
      "HEADER Content-Length: 5\nHEADER X-Test: two\nBODY 613d310a01\nEND\n";
  EXPECT_EQ(Text.str().rfind("REQUEST POST /form HTTP/1.0\nTIME ", 0), 0u) << Text.str();
  EXPECT_NE(Text.str().find(Expected), std::string::npos) << Text.str();
}

TEST_F(VendorServerTest, FaultsApplyToTheirPathOrToAll) {
  Server->SetFault("/download/file.txt", vendor::Fault{vendor::FaultKind::kZero});
  EXPECT_NE(Exchange("GET /download/file.txt HTTP/1.0\r\n\r\n").find("Content-Length: 0\r\n"),
            std::string::npos);
  Server->SetFault("*", vendor::Fault{vendor::FaultKind::kCloseHead});
  EXPECT_EQ(Exchange("GET /anything HTTP/1.0\r\n\r\n"), "");
}

}  // namespace
