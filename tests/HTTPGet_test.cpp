#include "HTTPGet.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <optional>
#include <thread>
#include <vector>

#include "test_support.h"
#include "toolkit/forms.h"
#include "toolkit/synchub.h"

namespace fs = std::filesystem;
using namespace testing_support;
using vendor::Fault;
using vendor::FaultKind;

namespace {

const std::string Host = "download.drovanetix.example";

// What a component's events reported, and on which thread.
struct Outcome {
  int DoneFile = 0;
  int Errors = 0;
  int Progress = 0;
  std::string DoneName;
  std::int32_t DoneSize = -1;
  std::vector<std::pair<std::int32_t, std::int32_t>> Reports;
  bool AllOnMainThread = true;
  TObject* ProgressSender = nullptr;
  bool SenderWasWorker = true;
  bool Finished() const { return DoneFile + Errors > 0; }
};

class HTTPGetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Target = MakeTempDir("httpget") / "target.bin";
    Get = new THTTPGet(nullptr);
    Get->BinaryData = true;
  }
  void TearDown() override {
    delete Get;
    RunFor(50);
    std::error_code Ignored;
    fs::remove_all(Target.parent_path(), Ignored);
  }

  void Wire(THTTPGet* G, Outcome& O) {
    const auto Main = std::this_thread::get_id();
    G->OnProgress = [&O, Main](TObject* Sender, std::int32_t Total, std::int32_t Readed) {
      O.AllOnMainThread &= std::this_thread::get_id() == Main;
      O.ProgressSender = Sender;
      O.SenderWasWorker &= dynamic_cast<THTTPGetThread*>(Sender) != nullptr;
      O.Reports.emplace_back(Total, Readed);
      ++O.Progress;
    };
    G->OnDoneFile = [&O, Main](TObject*, std::string Name, std::int32_t Size) {
      O.AllOnMainThread &= std::this_thread::get_id() == Main;
      O.DoneName = Name;
      O.DoneSize = Size;
      ++O.DoneFile;
    };
    G->OnError = [&O, Main](TObject*) {
      O.AllOnMainThread &= std::this_thread::get_id() == Main;
      ++O.Errors;
    };
  }

  // Downloads Path into Target and runs the loop until the download ends.
  Outcome Fetch(const std::string& Path, bool Progress = true) {
    Outcome O;
    Wire(Get, O);
    if (!Progress) Get->OnProgress = nullptr;
    Get->URL = Host + Path;
    Get->FileName = Target.string();
    Get->DownloadFile();
    EXPECT_TRUE(RunUntil([&] { return O.Finished(); }));
    RunFor(20);
    return O;
  }

  ProxiedServer Vendor;
  fs::path Target;
  THTTPGet* Get = nullptr;
};

TEST_F(HTTPGetTest, NewComponentHasItsDefaults) {
  EXPECT_EQ(Get->AcceptTypes, "*/*");
  EXPECT_EQ(Get->Agent, "Kestrune HTTPGet");
  THTTPGet Fresh(nullptr);
  EXPECT_FALSE(Fresh.BinaryData);
  EXPECT_FALSE(Fresh.UseCache);
  EXPECT_FALSE(Fresh.WaitThread);
  for (const std::string* S : {&Fresh.URL, &Fresh.FileName, &Fresh.UserName, &Fresh.Password,
                               &Fresh.PostQuery, &Fresh.Referer})
    EXPECT_TRUE(S->empty());
  EXPECT_FALSE(Fresh.OnProgress || Fresh.OnDoneFile || Fresh.OnDoneString || Fresh.OnError);
}

TEST_F(HTTPGetTest, SavesTheBodyByteForByteWithProgressOnTheMainThread) {
  const std::string Body = Payload(100000);
  Vendor.Serve("files/a.zip", Body);
  const std::uint32_t RescuedBefore = toolkit_sync::KnockRescuedWaits();
  const Outcome O = Fetch("/files/a.zip");
  // Every hand-over of the download woke its waiter: none needed the main loop's knock.
  EXPECT_EQ(toolkit_sync::KnockRescuedWaits(), RescuedBefore);
  EXPECT_EQ(O.DoneFile, 1);
  EXPECT_EQ(O.Errors, 0);
  EXPECT_EQ(O.DoneName, Target.string());
  EXPECT_EQ(O.DoneSize, 100000);
  EXPECT_EQ(ReadFile(Target), Body);
  EXPECT_TRUE(O.AllOnMainThread);
  // Chunks of at most 1025 bytes, each reported with the announced size.
  ASSERT_GE(O.Reports.size(), 100000u / 1025);
  std::int32_t Last = 0;
  for (auto [Total, Readed] : O.Reports) {
    EXPECT_EQ(Total, 100000);
    EXPECT_GT(Readed, Last);
    EXPECT_LE(Readed - Last, 1025);
    Last = Readed;
  }
  EXPECT_EQ(Last, 100000);
  // The progress event's sender is the worker, not the component.
  EXPECT_TRUE(O.SenderWasWorker);
}

// How each way of ending leaves the outcome and the target file.
TEST_F(HTTPGetTest, OutcomeTableInFileMode) {
  const std::string Body = Payload(5000);
  struct Row {
    const char* Name;
    std::optional<FaultKind> Kind;
    bool BinaryData;
    bool Succeeds;
    bool FileCreated;
    std::optional<std::size_t> FileSize;  // checked when set
    const char* Served;                   // body on the server; null: Body
  } Rows[] = {
      {"complete", std::nullopt, true, true, true, 5000, nullptr},
      {"no length, binary", FaultKind::kNoLength, true, false, false, {}, nullptr},
      {"no length, text allowed, bytes", FaultKind::kNoLength, false, false, true, 5000, nullptr},
      {"no length, text allowed, empty", FaultKind::kNoLength, false, true, true, 0, ""},
      {"short body", FaultKind::kShort, true, false, true, 2500, nullptr},
      {"longer body: the announced length is read", FaultKind::kLong, true, true, true, 5000,
       nullptr},
      {"zero length, no body", FaultKind::kZero, true, true, true, 0, nullptr},
      {"length not a number", FaultKind::kBadLength, true, false, false, {}, nullptr},
      {"length 2^31", FaultKind::kHuge, true, false, false, {}, nullptr},
      {"negative length", FaultKind::kNegative, true, false, true, {}, nullptr},
      {"error page with length", FaultKind::kNotFound, true, false, false, {}, nullptr},
      {"closed before the head", FaultKind::kCloseHead, true, false, false, {}, nullptr},
      {"404 with a status-like header line",
       FaultKind::kStatusInHeader,
       true,
       false,
       false,
       {},
       nullptr},
      {"403 with a folded status-like line",
       FaultKind::kFoldedStatus,
       true,
       false,
       false,
       {},
       nullptr},
      {"206 never asked for", FaultKind::kPartial, true, false, false, {}, nullptr},
      {"two lengths, the smaller first", FaultKind::kTwoLengths, true, false, false, {}, nullptr},
  };
  int N = 0;
  for (const Row& R : Rows) {
    SCOPED_TRACE(R.Name);
    const std::string Path = "/t/" + std::to_string(++N) + ".zip";
    Vendor.Serve(Path.substr(1), R.Served ? R.Served : Body);
    if (R.Kind) Vendor.Server->SetFault(Path, Fault{.Kind = *R.Kind});
    fs::remove(Target);
    Get->BinaryData = R.BinaryData;
    const Outcome O = Fetch(Path, false);
    EXPECT_EQ(O.DoneFile, R.Succeeds ? 1 : 0);
    EXPECT_EQ(O.Errors, R.Succeeds ? 0 : 1);
    EXPECT_EQ(fs::exists(Target), R.FileCreated);
    if (R.FileSize) {
      EXPECT_EQ(fs::file_size(Target), *R.FileSize);
      EXPECT_EQ(ReadFile(Target), Body.substr(0, *R.FileSize));
    }
  }
}

TEST_F(HTTPGetTest, RefusedConnectionIsAFailureWithoutAFile) {
  setenv("http_proxy", ("http://127.0.0.1:" + std::to_string(vendor::FindUnusedPort())).c_str(), 1);
  const Outcome O = Fetch("/x.zip");
  EXPECT_EQ(O.Errors, 1);
  EXPECT_FALSE(fs::exists(Target));
}

// A redirect to another scheme fails without any connection to the host it names.
TEST_F(HTTPGetTest, RedirectToAnotherSchemeFailsWithoutLeavingTheProxy) {
  const int Listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in Address{};
  Address.sin_family = AF_INET;
  Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t Length = sizeof Address;
  ASSERT_EQ(::bind(Listener, reinterpret_cast<sockaddr*>(&Address), sizeof Address), 0);
  ASSERT_EQ(::listen(Listener, 8), 0);
  ASSERT_EQ(::getsockname(Listener, reinterpret_cast<sockaddr*>(&Address), &Length), 0);
  const std::string Elsewhere = "127.0.0.1:" + std::to_string(ntohs(Address.sin_port)) + "/x";
  for (const char* Scheme : {"ftp://", "https://", "HTTPS://"}) {
    SCOPED_TRACE(Scheme);
    Vendor.Server->SetFault("/r.zip",
                            Fault{.Kind = FaultKind::kRedirect, .Target = Scheme + Elsewhere});
    fs::remove(Target);
    const Outcome O = Fetch("/r.zip", false);
    EXPECT_EQ(O.Errors, 1);
    EXPECT_FALSE(fs::exists(Target));
    const int Peer = ::accept4(Listener, nullptr, nullptr, SOCK_CLOEXEC);
    EXPECT_LT(Peer, 0) << "a connection reached the redirect's host";
    if (Peer >= 0) ::close(Peer);
  }
  ::close(Listener);
}

// A link planted where the file goes is not followed: the place it points to stays untouched.
TEST_F(HTTPGetTest, LinkWhereTheFileGoesIsNotFollowed) {
  Vendor.Serve("a.zip", Payload(3000));
  const fs::path Elsewhere = Target.parent_path() / "elsewhere.bin";
  fs::create_symlink(Elsewhere, Target);
  const Outcome O = Fetch("/a.zip");
  EXPECT_EQ(O.Errors, 1);
  EXPECT_FALSE(fs::exists(Elsewhere));
}

// A handler may destroy the component inside its own completion event, also while DownloadFile
// waits for the download.
TEST_F(HTTPGetTest, DestroyedInsideItsOwnCompletionEvent) {
  Vendor.Serve("a.zip", Payload(3000));
  for (const char* Path : {"/a.zip", "/missing.zip"}) {
    for (const bool Wait : {false, true}) {
      SCOPED_TRACE(std::string(Path) + (Wait ? " waiting" : ""));
      auto* G = new THTTPGet(nullptr);
      int Events = 0;
      G->BinaryData = true;
      G->WaitThread = Wait;
      G->URL = Host + Path;
      G->FileName = Target.string();
      G->OnDoneFile = [&](TObject*, std::string, std::int32_t) { ++Events, delete G; };
      G->OnError = [&](TObject*) { ++Events, delete G; };
      G->DownloadFile();
      EXPECT_TRUE(RunUntil([&] { return Events > 0; }));
      RunFor(50);
      EXPECT_EQ(Events, 1);
    }
  }
}

// Without a thread for the download, it ends at once as the error event and the component is
// free for the next start.
TEST_F(HTTPGetTest, ThreadThatCannotBeCreatedEndsAsTheErrorEvent) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "forks a process that has threads";
#endif
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // In a process of its own: threads count as processes of their user, and root is exempt.
  const auto StartWithoutThreads = [this] {
    if (::geteuid() == 0 && ::setuid(65534) != 0) ::_exit(3);
    const rlimit None{0, 0};
    ::setrlimit(RLIMIT_NPROC, &None);
    int Errors = 0;
    auto* G = new THTTPGet(nullptr);
    G->URL = Host + "/a.zip";
    G->FileName = Target.string();
    G->OnError = [&Errors](TObject*) { ++Errors; };
    try {
      G->DownloadFile();
      G->DownloadFile();
    } catch (...) {
      ::_exit(1);
    }
    ::_exit(Errors == 2 ? 0 : 2);
  };
  EXPECT_EXIT(StartWithoutThreads(), ::testing::ExitedWithCode(0), "");
}

TEST_F(HTTPGetTest, UnwritableTargetIsAFailure) {
  Vendor.Serve("a.zip", Payload(3000));
  Target = Target.parent_path() / "missing-folder" / "a.bin";
  const Outcome O = Fetch("/a.zip");
  EXPECT_EQ(O.Errors, 1);
  EXPECT_EQ(O.DoneFile, 0);
}

TEST_F(HTTPGetTest, ProgressHandlerThatRaisesEndsTheDownloadAsAFailure) {
  Vendor.Serve("a.zip", Payload(20000));
  Outcome O;
  Wire(Get, O);
  int Calls = 0;
  Get->OnProgress = [&](TObject*, std::int32_t, std::int32_t) {
    if (++Calls == 3) throw Exception("Value must be between 1 and 2147483647");
  };
  Get->URL = Host + "/a.zip";
  Get->FileName = Target.string();
  Get->DownloadFile();
  ASSERT_TRUE(RunUntil([&] { return O.Finished(); }));
  EXPECT_EQ(O.Errors, 1);
  EXPECT_EQ(Calls, 3);
  // The file was closed with what had arrived until then.
  EXPECT_EQ(fs::file_size(Target), 3u * 1025);
}

TEST_F(HTTPGetTest, RequestOnTheWire) {
  Vendor.Serve("dir/file.zip", "x");
  struct Case {
    const char* Name;
    std::function<void(THTTPGet&)> Set;
    std::function<void(const vendor::RecordedRequest&)> Check;
  } Cases[] = {
      {"default GET", [](THTTPGet&) {},
       [](const vendor::RecordedRequest& R) {
         EXPECT_EQ(R.Method, "GET");
         EXPECT_EQ(R.Version, "HTTP/1.0");
         EXPECT_EQ(R.Path, "/dir/file.zip");
         EXPECT_EQ(R.Header("User-Agent").value_or("-"), "Kestrune HTTPGet");
         EXPECT_EQ(R.Header("Accept").value_or("-"), "Accept: */*");
         // A fresh copy from every cache on the way, HTTP/1.0 and HTTP/1.1 alike.
         EXPECT_EQ(R.Header("Pragma").value_or("-"), "no-cache");
         EXPECT_EQ(R.Header("Cache-Control").value_or("-"), "no-cache");
         EXPECT_FALSE(R.Header("Referer"));
         EXPECT_FALSE(R.Header("Content-Type"));
         EXPECT_TRUE(R.Body.empty());
       }},
      {"POST with a form body", [](THTTPGet& G) { G.PostQuery = "a=1&b=%C4"; },
       [](const vendor::RecordedRequest& R) {
         EXPECT_EQ(R.Method, "POST");
         EXPECT_EQ(R.Body, "a=1&b=%C4");
         EXPECT_EQ(R.HeaderCount("Content-Type"), 1);
         EXPECT_EQ(R.Header("Content-Type").value_or("-"), "application/x-www-form-urlencoded");
       }},
      {"no agent, cache allowed, referer",
       [](THTTPGet& G) {
         G.Agent = "";
         G.UseCache = true;
         G.Referer = "http://ref.example/page";
       },
       [](const vendor::RecordedRequest& R) {
         EXPECT_FALSE(R.Header("User-Agent"));
         EXPECT_FALSE(R.Header("Pragma"));
         EXPECT_FALSE(R.Header("Cache-Control"));
         EXPECT_EQ(R.Header("Referer").value_or("-"), "http://ref.example/page");
       }},
      {"scheme in capitals", [](THTTPGet& G) { G.URL = "HTTP://" + Host + "/dir/file.zip"; },
       [](const vendor::RecordedRequest& R) { EXPECT_EQ(R.Path, "/dir/file.zip"); }},
      {"http:// further on is kept", [](THTTPGet& G) { G.URL = Host + "/go?to=http://x"; },
       [](const vendor::RecordedRequest& R) {
         EXPECT_EQ(R.Path, "/go");
         EXPECT_EQ(R.Query, "to=http://x");
       }},
      {"double slash stays in the path", [](THTTPGet& G) { G.URL = Host + "//x"; },
       [](const vendor::RecordedRequest& R) { EXPECT_EQ(R.Path, "//x"); }},
      {"folder path kept with its slash", [](THTTPGet& G) { G.URL = Host + "/dir/"; },
       [](const vendor::RecordedRequest& R) { EXPECT_EQ(R.Path, "/dir/"); }},
      {"a port in the URL is not used", [](THTTPGet& G) { G.URL = Host + ":8080/dir/file.zip"; },
       [](const vendor::RecordedRequest& R) {
         EXPECT_EQ(R.Path, "/dir/file.zip");
         EXPECT_EQ(R.Target.find("8080"), std::string::npos) << R.Target;
       }},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Name);
    Vendor.Server->ClearRequests();
    THTTPGet G(nullptr);
    G.URL = Host + "/dir/file.zip";
    G.FileName = Target.string();
    C.Set(G);
    Outcome O;
    Wire(&G, O);
    G.DownloadFile();
    ASSERT_TRUE(RunUntil([&] { return O.Finished(); }));
    const auto Requests = Vendor.Server->Requests();
    ASSERT_EQ(Requests.size(), 1u);
    C.Check(Requests[0]);
  }
}

TEST_F(HTTPGetTest, UrlsWithoutAUsableHostFail) {
  for (const char* URL : {"host", "https://h/x", "/x"}) {
    SCOPED_TRACE(URL);
    Vendor.Server->ClearRequests();
    Outcome O;
    Wire(Get, O);
    Get->URL = URL;
    Get->FileName = Target.string();
    Get->DownloadFile();
    ASSERT_TRUE(RunUntil([&] { return O.Finished(); }));
    EXPECT_EQ(O.Errors, 1);
    EXPECT_TRUE(Vendor.Server->Requests().empty());
  }
}

TEST_F(HTTPGetTest, StartWhileBusyIsIgnoredAndCopiesAreTakenAtStart) {
  Vendor.Serve("slow.zip", Payload(40));
  Vendor.Serve("other.zip", "other");
  Vendor.Server->SetFault("/slow.zip",
                          Fault{.Kind = FaultKind::kDrip, .DripBytes = 4, .DripIntervalMs = 20});
  Outcome O;
  Wire(Get, O);
  Get->URL = Host + "/slow.zip";
  Get->FileName = Target.string();
  Get->DownloadFile();
  // Changes after the start do not reach the running download...
  Get->URL = Host + "/other.zip";
  Get->FileName = (Target.parent_path() / "other.bin").string();
  bool NewProgressCalled = false;
  Get->OnProgress = [&](TObject*, std::int32_t, std::int32_t) { NewProgressCalled = true; };
  Get->DownloadFile();  // ignored: busy
  // ...but the completion events are read when it ends.
  int LateDone = 0;
  Get->OnDoneFile = [&](TObject*, std::string Name, std::int32_t) {
    ++LateDone;
    EXPECT_EQ(Name, Target.string());
    Get->DownloadFile();  // ignored: still busy inside the completion event
  };
  ASSERT_TRUE(RunUntil([&] { return LateDone > 0; }));
  RunFor(100);
  EXPECT_EQ(LateDone, 1);
  EXPECT_FALSE(NewProgressCalled);
  EXPECT_EQ(Vendor.Server->Requests().size(), 1u);
  EXPECT_FALSE(fs::exists(Target.parent_path() / "other.bin"));
  // Idle again: the next start uses the properties as they are now.
  Outcome Next;
  Wire(Get, Next);
  Get->DownloadFile();
  ASSERT_TRUE(RunUntil([&] { return Next.Finished(); }));
  EXPECT_EQ(ReadFile(Target.parent_path() / "other.bin"), "other");
}

TEST_F(HTTPGetTest, StopDownload) {
  Get->StopDownload();  // idle: nothing happens
  RunFor(20);
  Vendor.Serve("slow.zip", Payload(400));
  Vendor.Server->SetFault("/slow.zip",
                          Fault{.Kind = FaultKind::kDrip, .DripBytes = 10, .DripIntervalMs = 20});
  Outcome O;
  Wire(Get, O);
  Get->URL = Host + "/slow.zip";
  Get->FileName = Target.string();
  Get->DownloadFile();
  ASSERT_TRUE(RunUntil([&] { return O.Progress >= 2; }));
  Get->StopDownload();
  ASSERT_TRUE(RunUntil([&] { return O.Finished(); }));
  EXPECT_EQ(O.Errors, 1);
  // The bytes read until the stop stay in the closed file.
  EXPECT_GE(fs::file_size(Target), 20u);
  EXPECT_LT(fs::file_size(Target), 400u);
}

TEST_F(HTTPGetTest, StopWhileTheRequestIsUnderWayCreatesNoFile) {
  Vendor.Serve("late.zip", Payload(400));
  Vendor.Server->SetFault("/late.zip", Fault{.Kind = FaultKind::kSlowHead, .HeadDelayMs = 300});
  Outcome O;
  Wire(Get, O);
  Get->URL = Host + "/late.zip";
  Get->FileName = Target.string();
  Get->DownloadFile();
  ASSERT_TRUE(Vendor.Server->WaitForRequests(1, std::chrono::seconds(5)));
  Get->StopDownload();
  ASSERT_TRUE(RunUntil([&] { return O.Finished(); }));
  EXPECT_EQ(O.Errors, 1);
  EXPECT_EQ(O.Progress, 0);
  EXPECT_FALSE(fs::exists(Target));
}

TEST_F(HTTPGetTest, DestroyDuringDownloadReachesNoHandler) {
  Vendor.Serve("slow.zip", Payload(4000));
  Vendor.Server->SetFault("/slow.zip",
                          Fault{.Kind = FaultKind::kDrip, .DripBytes = 10, .DripIntervalMs = 10});
  auto* G = new THTTPGet(nullptr);
  Outcome O;
  Wire(G, O);
  G->BinaryData = true;
  G->URL = Host + "/slow.zip";
  G->FileName = Target.string();
  G->DownloadFile();
  ASSERT_TRUE(RunUntil([&] { return O.Progress >= 1; }));
  const int ProgressBefore = O.Progress;
  delete G;
  RunFor(500);
  EXPECT_EQ(O.Progress, ProgressBefore);
  EXPECT_FALSE(O.Finished());
  // The download itself has stopped long before its end: the file is closed with a part.
  EXPECT_GT(fs::file_size(Target), 0u);
  EXPECT_LT(fs::file_size(Target), 4000u);
}

TEST_F(HTTPGetTest, WaitThreadRaisesTheEventsBeforeReturning) {
  Vendor.Serve("a.zip", Payload(5000));
  Outcome O;
  Wire(Get, O);
  Get->WaitThread = true;
  Get->URL = Host + "/a.zip";
  Get->FileName = Target.string();
  Get->DownloadFile();
  EXPECT_EQ(O.DoneFile, 1);
  EXPECT_GE(O.Progress, 5);
  EXPECT_TRUE(O.AllOnMainThread);
  // Idle on return: a second start runs at once.
  Get->DownloadFile();
  EXPECT_EQ(O.DoneFile, 2);
}

TEST_F(HTTPGetTest, DownloadWithoutHandlersStillWritesItsFile) {
  Vendor.Serve("a.zip", Payload(7000));
  Get->URL = Host + "/a.zip";
  Get->FileName = Target.string();
  Get->WaitThread = true;
  Get->DownloadFile();
  EXPECT_EQ(ReadFile(Target), Payload(7000));
}

TEST_F(HTTPGetTest, ManySequentialDownloads) {
  Vendor.Serve("a.zip", Payload(2000));
  Outcome O;
  Wire(Get, O);
  Get->OnProgress = nullptr;
  Get->URL = Host + "/a.zip";
  Get->FileName = Target.string();
  for (int I = 1; I <= 200; ++I) {
    Get->DownloadFile();
    ASSERT_TRUE(RunUntil([&] { return O.DoneFile == I; })) << I;
  }
  EXPECT_EQ(O.Errors, 0);
  EXPECT_EQ(ReadFile(Target), Payload(2000));
}

// The worker in text mode, as a component that fetched into a text would create it.
class TextWorkerTest : public ::testing::Test {
 protected:
  struct Result {
    bool Done = false;
    bool Succeeded = false;
    std::string Text;
    std::int32_t Readed = -1;
  };
  Result Run(const std::string& Path, bool BinaryData, bool TerminateFirst = false) {
    Result R;
    auto* W = new THTTPGetThread("*/*", "Kestrune HTTPGet", Host + Path, "", "", "", "", "",
                                 BinaryData, false, nullptr, false);
    W->OnTerminate = [&R](TObject* Sender) {
      auto* T = static_cast<THTTPGetThread*>(Sender);
      R.Succeeded = T->Succeeded;
      R.Text = T->ResultText;
      R.Readed = T->Readed;
      R.Done = true;
    };
    if (TerminateFirst) W->Terminate();
    W->Start();
    EXPECT_TRUE(RunUntil([&] { return R.Done; }));
    return R;
  }
  ProxiedServer Vendor;
};

TEST_F(TextWorkerTest, OutcomeTableInTextMode) {
  std::string WithZeros("a\0b\0c", 5);
  Vendor.Serve("z.txt", WithZeros);
  Vendor.Serve("empty.txt", "");
  Vendor.Serve("nolen.txt", "hello");
  Vendor.Server->SetFault("/nolen.txt", Fault{.Kind = FaultKind::kNoLength});
  Vendor.Server->SetFault("/empty.txt", Fault{.Kind = FaultKind::kZero});

  Result Zeros = Run("/z.txt", false);
  EXPECT_TRUE(Zeros.Succeeded);
  EXPECT_EQ(Zeros.Text, WithZeros);
  EXPECT_EQ(Zeros.Readed, 5);

  EXPECT_FALSE(Run("/empty.txt", false).Succeeded);
  Result NoLength = Run("/nolen.txt", false);
  EXPECT_TRUE(NoLength.Succeeded);
  EXPECT_EQ(NoLength.Text, "hello");
  EXPECT_FALSE(Run("/nolen.txt", true).Succeeded);
  EXPECT_FALSE(Run("/z.txt", false, /*TerminateFirst=*/true).Succeeded);
  EXPECT_EQ(Vendor.Server->Requests().size(), 4u);
}

}  // namespace
