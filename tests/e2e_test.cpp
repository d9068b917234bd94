// The real product executable, started under a product's file name with a clean environment,
// driven through its window on the X display, against a vendor test server reached through the
// system's proxy setting: the downloads, the launch of setup, the status report and the exit.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

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

  DisplayConnection X;
};

struct FlowCase {
  const char* Name;
  const char* Stem;  // the executable's name without its extension
  const char* Language;
  const char* Architecture;
  enum { kTemp, kCommonX86, kRelativeTemp } Base;  // kRelativeTemp: Temp, named relatively
  const char* Folder;                              // below Base
};

// Test names carry the case's name; gtest would print its bytes otherwise.
void PrintTo(const FlowCase& C, std::ostream* Out) { *Out << C.Name; }

class CompleteFlowTest : public ProductFlowTest, public ::testing::WithParamInterface<FlowCase> {};

TEST_P(CompleteFlowTest, DownloadsEachFileLaunchesSetupReportsAndEnds) {
  const FlowCase& C = GetParam();
  const std::string Architecture = ArchitectureSeen(C.Architecture);
  std::string Caption = C.Stem;
  for (char& Ch : Caption) Ch = static_cast<char>(std::toupper(static_cast<unsigned char>(Ch)));
  const std::vector<PlanEntry> Plan = PlanOf(Caption, Architecture);
  const auto Saved = ServePlan(C.Stem, Plan);
  const fs::path Folder =
      (C.Base == FlowCase::kCommonX86 ? Places.CommonX86 : Places.Temp) / C.Folder;
  Environment Vars = ProductEnvironment(Architecture);
  // Relative to the folder the product starts in, its own.
  if (C.Base == FlowCase::kRelativeTemp && !Target.IsWine()) Vars["TEMP"] = "../temp";

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
  const auto Expected = DownloadPaths(C.Stem, Plan, Plan.size());
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
        FlowCase{"MeronaRelativeTemp", "merona", "en", "AMD64", FlowCase::kRelativeTemp, "merona"}),
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
                      // Servers that stop answering: only the time limit ends the download.
                      FailureCase{"NoAnswerFirst", 1, vendor::FaultKind::kStall, false, true},
                      FailureCase{"BodyStopsSecond", 2, vendor::FaultKind::kStallBody, true, true}),
    [](const auto& Info) { return std::string(Info.param.Name); });

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

TEST_F(ProductFlowTest, UnmatchedNameRequestsTheEmptyEntryAndShowsError) {
  ServePlan("merona", kMerona64);
  ProductProcess& P = Start("other", ProductEnvironment("AMD64"));
  const auto Main = WaitForWindow(P.Pid(), "OTHER");
  ASSERT_TRUE(Main) << ProductLog();
  ASSERT_TRUE(ClickFlag(*Main, "cz"));
  ExpectStoppedWithError(*Main, "other", {"/download/other/"});
}

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
