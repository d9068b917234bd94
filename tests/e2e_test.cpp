// The real product executable, started under a product's file name with a clean environment,
// driven through its window on the X display, against a vendor test server reached through the
// system's proxy setting: the downloads, the launch of setup, the status report and the exit.
#include <gtest/gtest.h>

#include <grp.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "ProductProfiles.h"
#include "e2e_product.h"
#include "signer.h"

namespace e2e {
namespace {

struct PlanEntry {
  const char* Source;
  const char* Target;
};

// The product's files as its profile lists them, in the edition that the processor architecture
// Arch selects.
std::vector<PlanEntry> PlanOf(const std::string& Key, const std::string& Arch = "AMD64") {
  const bool Is64 = Arch.find("64") != std::string::npos;
  std::vector<PlanEntry> Plan;
  for (const TProductProfile& P : ProductProfiles) {
    if (P.Key != Key) continue;
    for (const TProfileEntry& E : std::span(P.Entries, P.Files))
      Plan.push_back({!Is64 && E.Source32 ? E.Source32 : E.Source, E.Target});
  }
  return Plan;
}
const std::vector<PlanEntry> kMerona64 = PlanOf("MERONA");

const std::string kVendorHost = VENDOR_HOST;

// The request line's target of a proxied request for Path on the vendor's host. Clients may name
// the default port.
bool IsProxyTarget(const std::string& Target, const std::string& Path) {
  return Target == "http://" + kVendorHost + Path ||
         Target == "http://" + kVendorHost + ":80" + Path;
}
const char kStatusPath[] = "/programy/setup.asp";

class ProductFlowTest : public ProductTest {
 protected:
  // Serves every entry of the plan under UrlName; returns the bytes by target name.
  std::map<std::string, std::string> ServePlan(const std::string& UrlName,
                                               const std::vector<PlanEntry>& Plan) {
    std::map<std::string, std::string> Saved;
    for (std::size_t I = 0; I < Plan.size(); ++I) {
      const std::string Bytes = std::string(Plan[I].Target) == "setup.exe"
                                    ? SetupProgram()
                                    : Payload(20000 + 7919 * I, static_cast<unsigned>(I + 1));
      Serve(UrlName, Plan[I].Source, Bytes);
      Saved[Plan[I].Target] = Bytes;
    }
    return Saved;
  }

  static std::vector<std::string> DownloadPaths(const std::string& UrlName,
                                                const std::vector<PlanEntry>& Plan,
                                                std::size_t Count) {
    std::vector<std::string> Paths;
    for (std::size_t I = 0; I < Count; ++I)
      Paths.push_back("/download/" + UrlName + "/" + Plan[I].Source);
    return Paths;
  }

  // After a failed download: the "error" box titled with the application title, no further
  // request, nothing launched, the main window open; then the box and the window are closed.
  void ExpectStoppedWithError(WindowId Main, const std::string& Title,
                              const std::vector<std::string>& Expected,
                              std::chrono::seconds BoxWithin = 20s) {
    const auto Box = WaitForOtherWindow(Product->Pid(), Main, BoxWithin);
    ASSERT_TRUE(Box) << "no message box; requests: " << testing::PrintToString(RequestedPaths());
    EXPECT_EQ(WindowName(*Box), Title);
    // Longer than the pause before a further download would start.
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(RequestedPaths(), Expected);
    EXPECT_FALSE(fs::exists(SetupRecord())) << "setup was started";
    EXPECT_TRUE(IsVisible(Product->Pid(), Main));

    EXPECT_TRUE(DismissBox(Product->Pid(), *Box));
    EXPECT_TRUE(IsVisible(Product->Pid(), Main)) << "the window closed with the box";
    EXPECT_TRUE(Product->Running());

    X.RequestClose(Main);
    EXPECT_TRUE(ExitedWithZero(Product->WaitExit(3s))) << ProductLog();
    EXPECT_EQ(RequestedPaths(), Expected);
  }

  // While the last file arrives (slowly), puts a program of its own under setup.exe's name, as
  // any process of the user could: only the setup.exe that arrived, and was checked, may run.
  void ExpectSwappedSetupNotStarted(std::size_t LastRequest) {
    const fs::path Marker = Dir / "swapped-ran";
    Server->SetFault("/download/merona/dobrin.zip",
                     {.Kind = vendor::FaultKind::kDrip, .DripBytes = 4000, .DripIntervalMs = 200});
    ProductProcess& P = Start("merona", ProductEnvironment(ArchitectureSeen("AMD64")));
    const auto Main = WaitForWindow(P.Pid(), "MERONA");
    ASSERT_TRUE(Main) << ProductLog();
    ASSERT_TRUE(ClickFlag(*Main, "en"));
    ASSERT_TRUE(Server->WaitForRequests(LastRequest, 30s));
    WriteFile(Dir / "swap.exe", "#!/bin/sh\ntouch " + Quote(Marker.string()) + "\n");
    fs::permissions(Dir / "swap.exe", fs::perms::owner_all);
    fs::rename(Dir / "swap.exe", Places.Temp / "merona" / "setup.exe");
    EXPECT_TRUE(ExitedWithZero(P.WaitExit(30s))) << ProductLog();
    EXPECT_TRUE(WaitUntil([&] { return fs::exists(SetupRecord()); }, 5s)) << "setup not started";
    EXPECT_FALSE(fs::exists(Marker)) << "the program put in its place ran";
  }

  DisplayConnection X;
};

struct FlowCase {
  const char* Name;
  const char* Stem;  // the executable's name without its extension
  const char* Language;
  const char* Architecture;
  enum { kTemp, kCommonX86, kRelativeTemp } Base;  // kRelativeTemp: Temp, named relatively
  const char* Folder;                              // below Base
  const char* Product = nullptr;  // the program name, where the file name carries more
};

// Test names carry the case's name; gtest would print its bytes otherwise.
void PrintTo(const FlowCase& C, std::ostream* Out) { *Out << C.Name; }

class CompleteFlowTest : public ProductFlowTest, public ::testing::WithParamInterface<FlowCase> {};

TEST_P(CompleteFlowTest, DownloadsEachFileLaunchesSetupReportsAndEnds) {
  const FlowCase& C = GetParam();
  const std::string Architecture = ArchitectureSeen(C.Architecture);
  const std::string Name = C.Product ? C.Product : C.Stem;
  std::string Caption = Name;
  for (char& Ch : Caption) Ch = static_cast<char>(std::toupper(static_cast<unsigned char>(Ch)));
  const std::vector<PlanEntry> Plan = PlanOf(Caption, Architecture);
  const auto Saved = ServePlan(Name, Plan);
  const fs::path Folder =
      (C.Base == FlowCase::kCommonX86 ? Places.CommonX86 : Places.Temp) / C.Folder;
  Environment Vars = ProductEnvironment(Architecture);
  // Relative to the folder the product starts in, its own.
  if (C.Base == FlowCase::kRelativeTemp && !Target.IsWine()) Vars["TEMP"] = "../temp";

  RemoveWorkingFolders(Name);
  ProductProcess& P = Start(C.Stem, Vars);
  const auto Main = WaitForWindow(P.Pid(), Caption);
  ASSERT_TRUE(Main) << ProductLog();
  ASSERT_TRUE(ClickFlag(*Main, C.Language));
  // One second before each file and before the finish, plus the downloads themselves.
  const auto Status = P.WaitExit(std::chrono::seconds(Plan.size() + 12));
  ASSERT_TRUE(Status) << "still running; requests: " << testing::PrintToString(RequestedPaths());
  EXPECT_TRUE(ExitedWithZero(Status)) << ProductLog();

  const auto Requests = Server->Requests();
  ASSERT_EQ(Requests.size(), Plan.size() + 1) << testing::PrintToString(RequestedPaths());
  const auto Expected = DownloadPaths(Name, Plan, Plan.size());
  for (std::size_t I = 0; I < Plan.size(); ++I) {
    SCOPED_TRACE(Plan[I].Source);
    EXPECT_EQ(Requests[I].Path, Expected[I]);
    EXPECT_TRUE(IsProxyTarget(Requests[I].Target, Expected[I])) << Requests[I].Target;
    EXPECT_EQ(Requests[I].Method, "GET");
    EXPECT_EQ(Requests[I].Version, "HTTP/1.0");
    EXPECT_EQ(Requests[I].Header("User-Agent").value_or(""), "Kestrune HTTPGet");
  }
  const auto& Report = Requests.back();
  EXPECT_TRUE(
      IsProxyTarget(Report.Target, std::string(kStatusPath) + "?telefon=XXX&co=stazeno%20OK"))
      << Report.Target;

  std::set<std::string> Names;
  for (const auto& Entry : fs::directory_iterator(Folder)) {
    const std::string Name = Entry.path().filename().string();
    Names.insert(Name);
    EXPECT_TRUE(Saved.count(Name) && ReadFile(Entry.path()) == Saved.at(Name)) << Name;
  }
  EXPECT_EQ(Names.size(), Plan.size()) << testing::PrintToString(Names);

  // setup runs detached and may still be starting when the installer has ended.
  ASSERT_TRUE(WaitUntil([&] { return fs::exists(SetupRecord()); }, 5s)) << "setup not started";
  const auto Record = SetupRecordLines();
  ASSERT_EQ(Record.size(), 3u) << ReadFile(SetupRecord());
  EXPECT_EQ(Record[0], "1");
  EXPECT_EQ(Record[1], C.Language);
  std::error_code NoFolder;
  EXPECT_EQ(fs::canonical(Target.HostPath(Record[2]), NoFolder), fs::canonical(Folder))
      << Record[2];
}

INSTANTIATE_TEST_SUITE_P(
    Products, CompleteFlowTest,
    ::testing::Values(
        FlowCase{"MeronaEnglish64", "merona", "en", "AMD64", FlowCase::kTemp, "merona"},
        FlowCase{"MeronaCzechNameCaseKept32", "Merona", "cz", "x86", FlowCase::kTemp, "Merona"},
        FlowCase{"PluvanFirebird32", "pluvan", "cz", "x86", FlowCase::kTemp, "pluvan"},
        FlowCase{"ZentrikFirebird64", "zentrik", "en", "AMD64", FlowCase::kTemp, "zentrik"},
        FlowCase{"TavoskelIntoCommonFilesX86", "tavoskel", "en", "AMD64", FlowCase::kCommonX86,
                 "drovanetix"},
        FlowCase{"MeronaRelativeTemp", "merona", "en", "AMD64", FlowCase::kRelativeTemp, "merona"},
        // A browser's second copy of the download.
        FlowCase{"MeronaBrowserCopy", "merona (1)", "cz", "AMD64", FlowCase::kTemp, "merona",
                 "merona"}),
    [](const auto& Info) { return std::string(Info.param.Name); });

struct FailureCase {
  const char* Name;
  std::size_t FailingEntry;  // numbered from 1
  vendor::FaultKind Kind;
  bool FileCreated = false;  // the failing entry's target file is written before the failure
  // A server that stops answering: the 60 s limit of the download plus a margin. Natively the
  // stand-in's limits are tested with short ones (wininet_test); here only the Windows build.
  bool Stalls = false;
};

void PrintTo(const FailureCase& C, std::ostream* Out) { *Out << C.Name; }

class FailedDownloadTest : public ProductFlowTest,
                           public ::testing::WithParamInterface<FailureCase> {};

TEST_P(FailedDownloadTest, ShowsErrorAndStopsTheSequence) {
  const FailureCase& C = GetParam();
  if (C.Stalls && !Target.IsWine()) GTEST_SKIP() << "the stand-in's limits: see wininet_test";
  ServePlan("merona", kMerona64);
  Server->SetFault("/download/merona/" + std::string(kMerona64[C.FailingEntry - 1].Source),
                   {.Kind = C.Kind});
  ProductProcess& P = Start("merona", ProductEnvironment("AMD64"));
  const auto Main = WaitForWindow(P.Pid(), "MERONA");
  ASSERT_TRUE(Main) << ProductLog();
  ASSERT_TRUE(ClickFlag(*Main, "en"));
  ExpectStoppedWithError(*Main, "merona", DownloadPaths("merona", kMerona64, C.FailingEntry),
                         C.Stalls ? 80s : 20s);
  EXPECT_EQ(fs::exists(Places.Temp / "merona" / kMerona64[C.FailingEntry - 1].Target),
            C.FileCreated);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FailedDownloadTest,
    ::testing::Values(FailureCase{"NotFoundThird", 3, vendor::FaultKind::kNotFound},
                      FailureCase{"NoContentLengthFourth", 4, vendor::FaultKind::kNoLength},
                      FailureCase{"ShortBodyFifth", 5, vendor::FaultKind::kShort, true},
                      // setup.exe has arrived by then: it must still not be started.
                      FailureCase{"ShortBodyLastAfterSetup", 7, vendor::FaultKind::kShort, true},
                      // Answers that look like a success to a careless reader.
                      FailureCase{"StatusInAHeaderLineSecond", 2,
                                  vendor::FaultKind::kStatusInHeader},
                      FailureCase{"FoldedStatusLineThird", 3, vendor::FaultKind::kFoldedStatus},
                      FailureCase{"PartialContentSetup", 6, vendor::FaultKind::kPartial},
                      FailureCase{"TwoLengthsSetup", 6, vendor::FaultKind::kTwoLengths},
                      FailureCase{"ChunkedWithALengthFourth", 4, vendor::FaultKind::kChunkedLength},
                      // Servers that stop answering: only the time limit ends the download.
                      FailureCase{"NoAnswerFirst", 1, vendor::FaultKind::kStall, false, true},
                      FailureCase{"BodyStopsSecond", 2, vendor::FaultKind::kStallBody, true, true}),
    [](const auto& Info) { return std::string(Info.param.Name); });

// A body that keeps coming, but too slowly to ever end (a byte every two seconds), fails once a
// minute of it has brought less than a kilobyte.
TEST_F(ProductFlowTest, TrickleIsAFailedDownload) {
  // Wine's InternetReadFile returns only once its whole buffer is filled: the trickle shows only
  // after a kilobyte, about half an hour here.
  if (Target.IsWine()) GTEST_SKIP() << "wine's reads wait for a whole buffer";
  ServePlan("merona", kMerona64);
  Server->SetFault("/download/merona/ntdll.zip",
                   {.Kind = vendor::FaultKind::kDrip, .DripBytes = 1, .DripIntervalMs = 2000});
  ProductProcess& P = Start("merona", ProductEnvironment("AMD64"));
  const auto Main = WaitForWindow(P.Pid(), "MERONA");
  ASSERT_TRUE(Main) << ProductLog();
  ASSERT_TRUE(ClickFlag(*Main, "en"));
  ExpectStoppedWithError(*Main, "merona", DownloadPaths("merona", kMerona64, 2), 80s);
}

// setup.exe replaced by another program of the same user after it has arrived: the file that
// arrived is the one started.
TEST_F(ProductFlowTest, SetupReplacedAfterItArrivedIsNeverStarted) {
  if (Target.IsWine()) GTEST_SKIP() << "a host rename passes by wine's sharing modes";
  ServePlan("merona", kMerona64);
  ExpectSwappedSetupNotStarted(kMerona64.size());
}

// Another user who shares a group folder with the installing user (temp a sticky setgid group
// share, umask 002) waits for setup.exe's change of mode and renames a program of his own over it.
// The working folder is private, so he cannot: only the setup.exe that arrived runs.
TEST_F(ProductFlowTest, AnotherUsersProgramIsNeverStarted) {
  if (Target.IsWine() || ::geteuid() != 0) GTEST_SKIP() << "a second user of the POSIX build";
  ServePlan("merona", kMerona64);
  const fs::path Share = Dir / "share";
  fs::create_directories(Share);
  ASSERT_EQ(::chown(Share.c_str(), 0, 65534), 0);
  ASSERT_EQ(::chmod(Share.c_str(), 03775), 0);
  const std::string Working = (Share / "merona").string();
  const std::string Setup = (Share / "merona" / "setup.exe").string();
  const std::string Foreign = (Share / "foreign.exe").string();
  const std::string Script = "#!/bin/sh\ntouch " + Quote((Share / "foreign-ran").string()) + "\n";
  const pid_t Other = ::fork();
  ASSERT_GE(Other, 0);
  if (Other == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(1);
    const int Out = ::open(Foreign.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0755);
    if (Out < 0 || ::write(Out, Script.data(), Script.size()) < 0) ::_exit(1);
    ::close(Out);
    const int Watch = ::inotify_init1(0);
    const timespec Pause{0, 1'000'000};
    while (::inotify_add_watch(Watch, Working.c_str(), IN_ATTRIB) < 0) ::nanosleep(&Pause, nullptr);
    alignas(inotify_event) char Events[4096];
    for (;;) {
      const ssize_t Got = ::read(Watch, Events, sizeof Events);
      for (ssize_t At = 0; At < Got;) {
        const auto* Event = reinterpret_cast<const inotify_event*>(Events + At);
        if (Event->len > 0 && std::strcmp(Event->name, "setup.exe") == 0) {
          ::rename(Foreign.c_str(), Setup.c_str());
          ::_exit(0);
        }
        At += static_cast<ssize_t>(sizeof(inotify_event) + Event->len);
      }
    }
  }
  struct EndOther {
    pid_t Pid;
    ~EndOther() {
      ::kill(Pid, SIGKILL);
      ::waitpid(Pid, nullptr, 0);
    }
  } End{Other};
  Environment Vars = ProductEnvironment("AMD64");
  Vars["TEMP"] = Share.string();
  const mode_t Umask = ::umask(002);
  ProductProcess& P = Start("merona", Vars);
  ::umask(Umask);
  const auto Main = WaitForWindow(P.Pid(), "MERONA");
  ASSERT_TRUE(Main) << ProductLog();
  ASSERT_TRUE(ClickFlag(*Main, "en"));
  EXPECT_TRUE(ExitedWithZero(P.WaitExit(30s))) << ProductLog();
  EXPECT_TRUE(WaitUntil([&] { return fs::exists(SetupRecord()); }, 5s)) << "setup not started";
  std::this_thread::sleep_for(500ms);
  EXPECT_FALSE(fs::exists(Share / "foreign-ran")) << "the other user's program ran";
  EXPECT_EQ(fs::status(Working).permissions() & (fs::perms::group_all | fs::perms::others_all),
            fs::perms::none);
}

// The same working folder spelt another way is the same folder: a second copy started with the
// temp folder as "temp/./" ends quietly while the first goes on.
TEST_F(ProductFlowTest, SecondCopyByAnotherSpellingEndsQuietly) {
  if (Target.IsWine()) GTEST_SKIP() << "wine sets the temp folder itself";
  ServePlan("merona", kMerona64);
  ProductProcess& First = Start("merona", ProductEnvironment("AMD64"));
  const auto Main = WaitForWindow(First.Pid(), "MERONA");
  ASSERT_TRUE(Main) << ProductLog();
  Environment Vars = ProductEnvironment("AMD64");
  Vars["TEMP"] = (Places.Temp / "." / "").string();
  ProductProcess Second(Target, Dir / "bin" / ("merona" + Target.Extension), Vars,
                        Dir / "second.log");
  const auto Status = Second.WaitExit(15s);
  ASSERT_TRUE(Status) << "the second copy still runs";
  EXPECT_TRUE(ExitedWithZero(Status)) << ReadFile(Dir / "second.log");
  EXPECT_TRUE(Server->Requests().empty());
  X.RequestClose(*Main);
  EXPECT_TRUE(ExitedWithZero(First.WaitExit(5s))) << ProductLog();
}

// No thread can be made after the launch: the status report is not sent, nothing is shown, and
// the installer ends as after any report.
TEST_F(ProductFlowTest, StatusReportThatCannotStartEndsQuietly) {
  if (Target.IsWine()) GTEST_SKIP() << "a library preloaded into the POSIX build";
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's runtime must come before any preloaded library";
#endif
  ServePlan("merona", kMerona64);
  Environment Vars = ProductEnvironment("AMD64");
  Vars["LD_PRELOAD"] = THREAD_REFUSAL_LIBRARY;
  ProductProcess& P = Start("merona", Vars);
  const auto Main = WaitForWindow(P.Pid(), "MERONA");
  ASSERT_TRUE(Main) << ProductLog();
  ASSERT_TRUE(ClickFlag(*Main, "en"));
  EXPECT_TRUE(ExitedWithZero(P.WaitExit(30s))) << ProductLog();
  EXPECT_TRUE(WaitUntil([&] { return fs::exists(SetupRecord()); }, 5s)) << "setup not started";
  EXPECT_EQ(RequestedPaths(), DownloadPaths("merona", kMerona64, kMerona64.size()));
}

// A file size limit makes the first write fail: a failed download like any other, not a
// process ended by a signal.
TEST_F(ProductFlowTest, FileSizeLimitIsAFailedDownload) {
  if (Target.IsWine()) GTEST_SKIP() << "a limit of the POSIX build's process";
  ServePlan("merona", kMerona64);
  RemoveWorkingFolders("merona");
  const fs::path Copy = ProductCopy("merona");
  rlimit Saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &Saved), 0);
  rlimit Small = Saved;
  Small.rlim_cur = 8192;  // less than the first file
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &Small), 0);
  Product = std::make_unique<ProductProcess>(Target, Copy, ProductEnvironment("AMD64"),
                                             Dir / "product.log");
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &Saved), 0);
  const auto Main = WaitForWindow(Product->Pid(), "MERONA");
  ASSERT_TRUE(Main) << ProductLog();
  ASSERT_TRUE(ClickFlag(*Main, "en"));
  ExpectStoppedWithError(*Main, "merona", DownloadPaths("merona", kMerona64, 1));
}

// A second copy for the same working folder leaves it alone and ends without a window while the
// first goes on to the end; a copy killed outright blocks no later one.
TEST_F(ProductFlowTest, SecondCopyForTheSameFolderEndsQuietly) {
  const auto Saved = ServePlan("merona", kMerona64);
  ProductProcess& First = Start("merona", ProductEnvironment("AMD64"));
  const auto Main = WaitForWindow(First.Pid(), "MERONA");
  ASSERT_TRUE(Main) << ProductLog();
  {
    ProductProcess Second(Target, Dir / "bin" / ("merona" + Target.Extension),
                          ProductEnvironment("AMD64"), Dir / "second.log");
    const auto Status = Second.WaitExit(15s);
    ASSERT_TRUE(Status) << "the second copy still runs";
    EXPECT_TRUE(ExitedWithZero(Status)) << ReadFile(Dir / "second.log");
  }
  EXPECT_TRUE(Server->Requests().empty());
  ASSERT_TRUE(ClickFlag(*Main, "en"));
  EXPECT_TRUE(ExitedWithZero(First.WaitExit(30s))) << ProductLog();
  EXPECT_TRUE(WaitUntil([&] { return fs::exists(SetupRecord()); }, 5s)) << "setup not started";
  EXPECT_EQ(Server->Requests().size(), kMerona64.size() + 1);
  for (const auto& [Name, Bytes] : Saved)
    EXPECT_TRUE(ReadFile(Places.Temp / "merona" / Name) == Bytes) << Name;

  ProductProcess& Killed = StartKeepingFolders("merona", ProductEnvironment("AMD64"));
  ASSERT_TRUE(WaitForWindow(Killed.Pid(), "MERONA")) << ProductLog();
  ::kill(Killed.Pid(), SIGKILL);
  Killed.WaitExit(5s);
  ProductProcess& Next = StartKeepingFolders("merona", ProductEnvironment("AMD64"));
  const auto NextMain = WaitForWindow(Next.Pid(), "MERONA");
  ASSERT_TRUE(NextMain) << "a killed copy still holds the folder";
  X.RequestClose(*NextMain);
  EXPECT_TRUE(ExitedWithZero(Next.WaitExit(5s))) << ProductLog();
}

// A working folder that another user controls, or that Windows-1250 cannot name, is refused at
// the start like one that cannot be created: nothing is written or fetched.
TEST_F(ProductFlowTest, ForeignOrUnnamableWorkingFolderIsRefused) {
  if (Target.IsWine()) GTEST_SKIP() << "the POSIX build's folders";
  ServePlan("merona", kMerona64);
  const struct {
    const char* Name;
    uid_t Owner;  // of an existing working folder; 0: none exists
    fs::perms Mode;
    const char* Temp;  // below the test's folder; null: the usual temp folder
  } Cases[] = {
      {"another user's folder", 65534, fs::perms::owner_all, nullptr},
      {"a folder anyone may write to", 0, fs::perms::all, nullptr},
      {"a temp folder outside the code page", 0, fs::perms::none, "temp-\xCE\xA9"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    RemoveWorkingFolders("merona");
    const fs::path Working = Places.Temp / "merona";
    if (C.Mode != fs::perms::none) {
      fs::create_directories(Working);
      fs::permissions(Working, C.Mode);
      ASSERT_EQ(::chown(Working.c_str(), C.Owner, C.Owner), 0);
    }
    Environment Vars = ProductEnvironment("AMD64");
    if (C.Temp) Vars["TEMP"] = (Dir / C.Temp).string();
    ProductProcess& P = StartKeepingFolders("merona", Vars);
    const auto Box = WaitForWindow(P.Pid(), "merona", 10s);
    ASSERT_TRUE(Box) << ProductLog();
    EXPECT_TRUE(DismissBox(P.Pid(), *Box));
    EXPECT_TRUE(ExitedWithZero(P.WaitExit(5s))) << ProductLog();
    EXPECT_TRUE(Server->Requests().empty());
    if (C.Mode != fs::perms::none) {
      EXPECT_TRUE(fs::is_empty(Working));
    }
    std::set<std::string> Made;
    for (const auto& E : fs::directory_iterator(Dir)) Made.insert(E.path().filename().string());
    EXPECT_FALSE(Made.count("temp-?")) << "a folder named with '?' was made";
  }
}

// Under wine the locale sets the ANSI code page (cs_CZ 1250, ru_RU 1251, en_US 1252). A temp
// folder, or a folder the program starts from, whose name Windows-1250 cannot hold: the product
// works in that very folder (reached by its short name) or, where the folder has no short name,
// refuses it with the folder's message. Nothing is made anywhere else.
struct CodePageCase {
  const char* Name;
  const char* Locale;  // with UTF-8 for the file names of this machine
  const char* Temp;    // beside the prefix's temp folder; null: that folder
  const char* Start;   // the folder, below the test's, the program starts from; null: bin
  bool Works;          // false: the temp folder does not exist, and the message is expected
};

void PrintTo(const CodePageCase& C, std::ostream* Out) { *Out << C.Name; }

class CodePageTest : public ProductFlowTest, public ::testing::WithParamInterface<CodePageCase> {
 public:
  // The prefix's temp folder (HKCU\Environment TEMP, a path on C:), set for the test's run.
  void SetTemp(const std::string& Value) {
    const std::string Answer =
        Capture("timeout 60 wine reg add 'HKCU\\Environment' /v TEMP /t REG_SZ /d " + Quote(Value) +
                " /f 2>&1; echo \"exit $?\"");
    ASSERT_NE(Answer.find("exit 0"), std::string::npos) << Answer;
  }
  static std::set<std::string> Names(const fs::path& Folder) {
    std::set<std::string> Found;
    std::error_code Missing;
    for (const auto& E : fs::directory_iterator(Folder, Missing)) Found.insert(E.path().filename());
    return Found;
  }
};

TEST_P(CodePageTest, WorksInTheRealFolderOrRefusesIt) {
  const CodePageCase& C = GetParam();
  if (!Target.IsWine()) GTEST_SKIP() << "the code pages of Windows";
  // Without it wine would quietly take another code page.
  ASSERT_TRUE(Succeeds("locale -a | grep -qx " + Quote(std::string(C.Locale) + ".utf8")))
      << C.Locale << " is missing: scripts/install-windows-deps.sh generates it";
  ServePlan("merona", kMerona64);
  RemoveWorkingFolders("merona");
  const std::string OwnTemp = "C:\\users\\" + Places.Temp.parent_path().filename().string();
  const fs::path Users = Places.Temp.parent_path();
  fs::path Folder = Places.Temp / "merona";
  const auto UsersBefore = Names(Users);
  // The prefix as it was: its temp folder, and no folder that the case made beside it.
  struct RestoreTemp {
    CodePageTest* Test;
    std::string Value;
    fs::path Users;
    std::set<std::string> Before;
    ~RestoreTemp() {
      Test->SetTemp(Value);
      std::error_code Ignored;
      for (const std::string& Name : Names(Users)) {
        if (!Before.count(Name)) fs::remove_all(Users / Name, Ignored);
      }
    }
  } Restore{this, OwnTemp + "\\" + Places.Temp.filename().string(), Users, UsersBefore};
  if (C.Temp) {
    Folder = Users / C.Temp / "merona";
    if (C.Works) fs::create_directories(Users / C.Temp);
    SetTemp(OwnTemp + "\\" + C.Temp);
  }
  const fs::path Start = Dir / (C.Start ? C.Start : "bin");
  fs::create_directories(Start);
  fs::copy_file(Executable, Start / "merona.exe", fs::copy_options::overwrite_existing);
  auto UsersMade = UsersBefore;
  if (C.Temp && C.Works) UsersMade.insert(C.Temp);
  auto TestBefore = Names(Dir);

  Environment Vars = ProductEnvironment("AMD64");
  Vars["LANG"] = std::string(C.Locale) + ".UTF-8";
  Product =
      std::make_unique<ProductProcess>(Target, Start / "merona.exe", Vars, Dir / "product.log");
  if (C.Works) {
    const auto Main = WaitForWindow(Product->Pid(), "MERONA");
    ASSERT_TRUE(Main) << ProductLog();
    ASSERT_TRUE(ClickFlag(*Main, "en"));
    EXPECT_TRUE(ExitedWithZero(Product->WaitExit(std::chrono::seconds(kMerona64.size() + 12))))
        << testing::PrintToString(RequestedPaths());
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(SetupRecord()); }, 5s)) << "setup not started";
    const auto Record = SetupRecordLines();
    ASSERT_EQ(Record.size(), 3u);
    std::error_code NoFolder;
    EXPECT_EQ(fs::canonical(Target.HostPath(Record[2]), NoFolder), fs::canonical(Folder, NoFolder))
        << Record[2];
    EXPECT_EQ(Names(Folder).size(), kMerona64.size());
  } else {
    const auto Box = WaitForWindow(Product->Pid(), "merona", 20s);
    ASSERT_TRUE(Box) << ProductLog();
    EXPECT_TRUE(DismissBox(Product->Pid(), *Box));
    EXPECT_TRUE(ExitedWithZero(Product->WaitExit(5s))) << ProductLog();
    EXPECT_TRUE(Server->Requests().empty());
  }
  // Only what the case made itself, and the setup's record.
  EXPECT_EQ(Names(Users), UsersMade);
  auto TestAfter = Names(Dir);
  TestAfter.erase(SetupRecord().filename());
  TestAfter.erase("product.log");
  TestBefore.erase("product.log");
  EXPECT_EQ(TestAfter, TestBefore);
}

INSTANTIATE_TEST_SUITE_P(
    Wine, CodePageTest,
    ::testing::Values(
        CodePageCase{"CyrillicTempOn1250", "cs_CZ", "\u0422\u0435\u043c\u043f", nullptr, true},
        CodePageCase{"CzechTempOn1252", "en_US", "Ji\u0159\u00ed", nullptr, true},
        CodePageCase{"MissingCyrillicTempOn1250", "cs_CZ", "\u0422\u0435\u043c\u043f2", nullptr,
                     false},
        CodePageCase{"StartedFromCyrillicFolderOn1252", "en_US", nullptr,
                     "\u0418\u0432\u0430\u043d", true},
        CodePageCase{"StartedFromCzechFolderOn1251", "ru_RU", nullptr, "Ji\u0159\u00ed", true}),
    [](const auto& Info) { return std::string(Info.param.Name); });

class UnmatchedNameTest : public ProductFlowTest,
                          public ::testing::WithParamInterface<const char*> {};

TEST_P(UnmatchedNameTest, RequestsTheEmptyEntryAndShowsError) {
  const std::string Stem = GetParam();
  ServePlan("merona", kMerona64);
  ProductProcess& P = Start(Stem, ProductEnvironment("AMD64"));
  std::string Caption = Stem;
  for (char& Ch : Caption) Ch = static_cast<char>(std::toupper(static_cast<unsigned char>(Ch)));
  const auto Main = WaitForWindow(P.Pid(), Caption);
  ASSERT_TRUE(Main) << ProductLog();
  ASSERT_TRUE(ClickFlag(*Main, "cz"));
  ExpectStoppedWithError(*Main, Stem, {"/download/" + Stem + "/"});
}

// Only a browser's " (N)" goes from the name: a digit of its own keeps it from every profile.
INSTANTIATE_TEST_SUITE_P(Names, UnmatchedNameTest, ::testing::Values("other", "merona2"),
                         [](const auto& Info) { return std::string(Info.param); });

// A wininet.dll beside the program (a Downloads folder that any web page can write to), with wine
// told to prefer such a DLL to its own: never loaded, and the installer works as ever.
TEST_F(ProductFlowTest, DllBesideTheProgramIsNeverLoaded) {
  if (!Target.IsWine()) GTEST_SKIP() << "the search order of Windows DLLs";
  ServePlan("merona", kMerona64);
  fs::create_directories(Dir / "bin");
  fs::copy_file(Target.PlantedDll, Dir / "bin" / "wininet.dll",
                fs::copy_options::overwrite_existing);
  Environment Vars = ProductEnvironment("AMD64");
  Vars["WINEDLLOVERRIDES"] = "mscoree,mshtml=;wininet=n,b";
  ProductProcess& P = Start("merona", Vars);
  const auto Main = WaitForWindow(P.Pid(), "MERONA");
  ASSERT_TRUE(Main) << ProductLog();
  ASSERT_TRUE(ClickFlag(*Main, "en"));
  EXPECT_TRUE(ExitedWithZero(P.WaitExit(std::chrono::seconds(kMerona64.size() + 12))))
      << "requests: " << testing::PrintToString(RequestedPaths());
  EXPECT_EQ(Server->Requests().size(), kMerona64.size() + 1);
  EXPECT_TRUE(WaitUntil([&] { return fs::exists(SetupRecord()); }, 5s)) << "setup not started";
  EXPECT_FALSE(fs::exists(Dir / "bin" / "planted-dll-loaded.txt")) << "the planted DLL ran";
}

// A setup.exe the system cannot run is no success: the failure report goes out, the user is
// told, and the installer ends once the box is dismissed.
TEST_F(ProductFlowTest, SetupThatCannotRunIsReportedAsAFailure) {
  ServePlan("merona", kMerona64);
  Serve("merona", "setup.zip", Payload(5000, 77));  // no program the system can start
  ProductProcess& P = Start("merona", ProductEnvironment("AMD64"));
  const auto Main = WaitForWindow(P.Pid(), "MERONA");
  ASSERT_TRUE(Main) << ProductLog();
  ASSERT_TRUE(ClickFlag(*Main, "en"));
  // Found by its title: a system's own notice about the file it could not run may come too.
  const auto Box = WaitForWindow(P.Pid(), "merona", 30s);
  ASSERT_TRUE(Box) << "no message box; requests: " << testing::PrintToString(RequestedPaths());
  ASSERT_TRUE(Server->WaitForRequests(8, 5s));
  EXPECT_EQ(Server->Requests().back().Query, "telefon=XXX&co=chyba%20stazeni%20souboru");
  EXPECT_TRUE(DismissBox(P.Pid(), *Box));
  EXPECT_TRUE(ExitedWithZero(P.WaitExit(10s))) << ProductLog();
  EXPECT_EQ(Server->Requests().size(), 8u);
}

TEST_F(ProductFlowTest, ClosingTheWindowDuringADownloadEndsTheProgramPromptly) {
  ServePlan("merona", kMerona64);
  const std::string First = "/download/merona/pravl32.zip";
  Serve("merona", "pravl32.zip", Payload(200000, 9));
  Server->SetFault(First,
                   {.Kind = vendor::FaultKind::kDrip, .DripBytes = 256, .DripIntervalMs = 20});
  ProductProcess& P = Start("merona", ProductEnvironment("AMD64"));
  const auto Main = WaitForWindow(P.Pid(), "MERONA");
  ASSERT_TRUE(Main) << ProductLog();
  ASSERT_TRUE(ClickFlag(*Main, "en"));
  ASSERT_TRUE(Server->WaitForRequests(1, 5s));
  std::this_thread::sleep_for(800ms);

  // The download is under way: the gauge shows some of it, in the bar's dark blue.
  const auto Shot = Screenshot::Take(*Main, Dir / "downloading.ppm");
  ASSERT_TRUE(Shot);
  EXPECT_GT(Shot->Count(11, 61, 564, 28, [](Rgb P) { return Near(P, {41, 86, 141}, 10); }), 0);

  X.RequestClose(*Main);
  const auto Status = P.WaitExit(3s);
  ASSERT_TRUE(Status) << "still running 3 s after the close request";
  EXPECT_TRUE(WIFEXITED(*Status)) << "ended by signal " << WTERMSIG(*Status) << "\n"
                                  << ProductLog();
  EXPECT_TRUE(ExitedWithZero(Status)) << ProductLog();
  EXPECT_EQ(RequestedPaths(), std::vector<std::string>{First});
  EXPECT_FALSE(fs::exists(SetupRecord()));
}

// A build that carries the vendor's key (the throw-away key of tests/data) keeps and starts only
// files that match the product's signed list. These scenarios start that build (preset filelist,
// or windows-filelist under wine) and run only through the test presets that build it.
struct SignedListCase {
  const char* Name;
  enum {
    kIntact,
    kByteChanged,   // one byte of the file, after signing
    kLonger,        // a byte more than listed
    kShorter,       // a byte less than listed
    kNotListed,     // the file is missing from the list
    kOtherKey,      // the list is signed with another key
    kOtherProduct,  // the list is signed for another product
    kEntryChanged,  // an entry of the list changed after signing
    kNoList,        // 404 for the list
    kNotAList,      // a web page where the list should be
  } Fault;
  std::size_t Entry;  // the file the fault concerns, numbered from 1; 0: the list itself
};

void PrintTo(const SignedListCase& C, std::ostream* Out) { *Out << C.Name; }

class SignedFileListTest : public ProductFlowTest,
                           public ::testing::WithParamInterface<SignedListCase> {
 protected:
  void SetUp() override {
    ProductFlowTest::SetUp();
    if (IsSkipped()) return;
    Executable = Target.IsWine() ? fs::path(KEYED_WIN32_BUILD_DIR) / "setup.exe"
                                 : fs::path(KEYED_PRODUCT_EXECUTABLE);
    ASSERT_TRUE(fs::exists(Executable)) << Executable << " is missing: build it with the preset "
                                        << (Target.IsWine() ? "windows-filelist" : "filelist");
  }

  // Writes the product's files.sig, with the case's fault.
  void PublishList(const SignedListCase& C, const std::vector<PlanEntry>& Plan) {
    namespace sign = file_list_sign;
    const fs::path Folder = Dir / "vendor" / "download" / "merona";
    const fs::path Changed = C.Entry ? Folder / Plan[C.Entry - 1].Source : fs::path();
    auto List =
        sign::ListFolder(C.Fault == SignedListCase::kOtherProduct ? "PLUVAN" : "MERONA", Folder);
    ASSERT_TRUE(List);
    if (C.Fault == SignedListCase::kNotListed) List->Files.erase(Plan[C.Entry - 1].Source);
    const std::string Key = C.Fault == SignedListCase::kOtherKey ? sign::GenerateKeyPem()
                                                                 : ReadFile(FILE_LIST_TEST_KEY);
    auto Text = sign::SignFileList(Key, *List);
    ASSERT_TRUE(Text);
    std::string Bytes = C.Entry ? ReadFile(Changed) : "";
    switch (C.Fault) {
      case SignedListCase::kByteChanged:
        Bytes[Bytes.size() / 2] ^= 0x20;
        break;
      case SignedListCase::kLonger:
        Bytes += 'x';
        break;
      case SignedListCase::kShorter:
        Bytes.pop_back();
        break;
      case SignedListCase::kEntryChanged: {
        const auto Size = Text->find(" 20000 ");  // the first file's
        ASSERT_NE(Size, std::string::npos);
        (*Text)[Size + 1] = '3';
        break;
      }
      case SignedListCase::kNotAList:
        *Text = "<html><body>Please log in to use this network</body></html>\r\n";
        break;
      default:
        break;
    }
    if (C.Entry) WriteFile(Changed, Bytes);
    if (C.Fault != SignedListCase::kNoList) WriteFile(Folder / "files.sig", *Text);
  }
};

TEST_P(SignedFileListTest, KeepsAndStartsOnlyWhatTheVendorSigned) {
  const SignedListCase& C = GetParam();
  const std::string Architecture = ArchitectureSeen("AMD64");
  const std::vector<PlanEntry> Plan = PlanOf("MERONA", Architecture);
  ServePlan("merona", Plan);
  PublishList(C, Plan);
  const fs::path Folder = Places.Temp / "merona";
  // The list first, then the files up to the one that fails.
  const bool Intact = C.Fault == SignedListCase::kIntact;
  std::vector<std::string> Expected = {"/download/merona/files.sig"};
  for (const std::string& Path : DownloadPaths("merona", Plan, Intact ? Plan.size() : C.Entry))
    Expected.push_back(Path);

  ProductProcess& P = Start("merona", ProductEnvironment(Architecture));
  const auto Main = WaitForWindow(P.Pid(), "MERONA");
  ASSERT_TRUE(Main) << ProductLog();
  ASSERT_TRUE(ClickFlag(*Main, "en"));
  if (Intact) {
    ASSERT_TRUE(ExitedWithZero(P.WaitExit(std::chrono::seconds(Plan.size() + 14))))
        << testing::PrintToString(RequestedPaths()) << ProductLog();
    Expected.push_back(kStatusPath);
    EXPECT_EQ(RequestedPaths(), Expected);
    EXPECT_EQ(Server->Requests().back().Query, "telefon=XXX&co=stazeno%20OK");
    EXPECT_TRUE(WaitUntil([&] { return fs::exists(SetupRecord()); }, 5s)) << "setup not started";
  } else {
    ExpectStoppedWithError(*Main, "merona", Expected);
    if (C.Entry) {
      EXPECT_FALSE(fs::exists(Folder / Plan[C.Entry - 1].Target)) << "the file was kept";
    }
  }
  EXPECT_FALSE(fs::exists(Folder / "files.sig"));
}

// The keyed build: setup.exe replaced after its hash matched the list is never started.
class SignedFileListSwapTest : public SignedFileListTest {};

TEST_F(SignedFileListSwapTest, SetupReplacedAfterItsCheckIsNeverStarted) {
  if (Target.IsWine()) GTEST_SKIP() << "a host rename passes by wine's sharing modes";
  const std::vector<PlanEntry> Plan = PlanOf("MERONA", ArchitectureSeen("AMD64"));
  ServePlan("merona", Plan);
  PublishList(SignedListCase{"", SignedListCase::kIntact, 0}, Plan);
  ExpectSwappedSetupNotStarted(Plan.size() + 1);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, SignedFileListTest,
    ::testing::Values(SignedListCase{"EveryFileMatches", SignedListCase::kIntact, 0},
                      SignedListCase{"ByteChangedFirst", SignedListCase::kByteChanged, 1},
                      SignedListCase{"ByteChangedMiddle", SignedListCase::kByteChanged, 4},
                      SignedListCase{"ByteChangedSetup", SignedListCase::kByteChanged, 6},
                      SignedListCase{"ByteChangedLastAfterSetup", SignedListCase::kByteChanged, 7},
                      SignedListCase{"LongerThanListed", SignedListCase::kLonger, 3},
                      SignedListCase{"ShorterThanListed", SignedListCase::kShorter, 5},
                      SignedListCase{"FileNotListed", SignedListCase::kNotListed, 2},
                      SignedListCase{"ListSignedByAnotherKey", SignedListCase::kOtherKey, 0},
                      SignedListCase{"ListForAnotherProduct", SignedListCase::kOtherProduct, 0},
                      SignedListCase{"ListEntryChanged", SignedListCase::kEntryChanged, 0},
                      SignedListCase{"ListMissing", SignedListCase::kNoList, 0},
                      SignedListCase{"ListIsAWebPage", SignedListCase::kNotAList, 0}),
    [](const auto& Info) { return std::string(Info.param.Name); });

}  // namespace
}  // namespace e2e
