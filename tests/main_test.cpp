// The installer flow driven in-process: start-up for given executable names and environments,
// and the download sequence, launch and status report with the handlers called directly.
#include "main.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ProductProfiles.h"
#include "_utility.h"
#include "platform/fakes-posix.h"
#include "test_support.h"

namespace fs = std::filesystem;
using namespace testing_support;

namespace {

struct Shown {
  std::string Text;
  TMsgDlgType Type;
};

class FlowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(DisplayAnswers()) << "no X display answers at DISPLAY";
    Temp = MakeTempDir("flow");
    Common = Temp / "common";
    setenv("temp", Temp.string().c_str(), 1);
    setenv("processor_architecture", "AMD64", 1);
    setenv("CommonProgramFiles", (Common / "x64").string().c_str(), 1);
    setenv("CommonProgramFiles(x86)", (Common / "x86").string().c_str(), 1);
    Application->SetMessagePresenter(
        [this](const std::string& Text, const std::string&, TMsgDlgType Type) {
          Messages.push_back({Text, Type});
        });
  }
  void TearDown() override {
    delete Form;
    RunFor(20);
    Application->SetMessagePresenter(nullptr);
    program_invocation_name = SavedName;
    unsetenv("temp");
    unsetenv("processor_architecture");
    unsetenv("CommonProgramFiles");
    unsetenv("CommonProgramFiles(x86)");
    std::error_code Ignored;
    fs::remove_all(Temp, Ignored);
  }

  // Creates the main window as the executable ExeName would.
  TForm1* Start(const std::string& ExeName) {
    ProgramName.clear();
    DownloadDir.clear();
    LanguageCode.clear();
    Is64BitWindows = false;
    DownloadPlan = TDownloadPlan{};
    Invocation = (Temp / "bin" / ExeName).string();
    program_invocation_name = Invocation.data();
    delete Form;
    Form = new TForm1(nullptr);
    return Form;
  }

  fs::path Temp, Common;
  std::string Invocation;
  char* SavedName = program_invocation_name;
  TForm1* Form = nullptr;
  std::vector<Shown> Messages;
};

// The profile whose key is Key, or none.
const TProductProfile* ProfileOf(const char* Key) {
  for (const TProductProfile& P : ProductProfiles)
    if (Key && std::string(P.Key) == Key) return &P;
  return nullptr;
}

TEST_F(FlowTest, StartUpPicksTheProfileByFileName) {
  struct Case {
    const char* Exe;
    const char* Architecture;
    const char* Name;
    const char* Profile;  // the key of the profile picked, if any
  } Cases[] = {
      {"merona.run", "AMD64", "merona", "MERONA"},
      {"MERONA.RUN", "x86", "MERONA", "MERONA"},
      {"Merona.run", "IA64", "Merona", "MERONA"},
      {"pluvan.run", "x86", "pluvan", "PLUVAN"},
      {"zentrik.run", "AMD64", "zentrik", "ZENTRIK"},
      {"korvidale12.run", "x86", "korvidale12", "KORVIDALE12"},
      {"tavoskel.run", "AMD64", "tavoskel", "TAVOSKEL"},
      // A browser's second copy of the download is the same product.
      {"merona (1).run", "AMD64", "merona", "MERONA"},
      {"Pluvan (12).run", "x86", "Pluvan", "PLUVAN"},
      {"merona (x).run", "AMD64", "merona (x)", nullptr},
      {"merona(1).run", "AMD64", "merona(1)", nullptr},
      {"merona ().run", "AMD64", "merona ()", nullptr},
      {"merona2.run", "AMD64", "merona2", nullptr},
      {"MERONA", "AMD64", "ME", nullptr},
      {"run", "AMD64", "", nullptr},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Exe);
    setenv("processor_architecture", C.Architecture, 1);
    Start(C.Exe);
    const TProductProfile* Profile = ProfileOf(C.Profile);
    EXPECT_EQ(ProgramName, C.Name);
    EXPECT_EQ(DownloadPlan.FileCount, Profile ? Profile->Files : 0);
    EXPECT_EQ(Form->Caption(), CzechUpperCase(C.Name));
    EXPECT_EQ(Form->Notebook1->PageIndex(), 0);
    EXPECT_EQ(Form->had->Progress(), 0);
    EXPECT_EQ(DownloadPlan.CurrentIndex, 0);
    EXPECT_TRUE(LanguageCode.empty());
    EXPECT_EQ(Is64BitWindows, std::string(C.Architecture).find("64") != std::string::npos);
    for (int I = DownloadPlan.FileCount + 1; I <= 10; ++I) {
      EXPECT_TRUE(DownloadPlan.SourceNames[I].empty());
      EXPECT_TRUE(DownloadPlan.TargetNames[I].empty());
    }
    const bool Tavoskel = std::string(C.Name) == "tavoskel";
    const fs::path Expected = Tavoskel ? Common / "x86" / "drovanetix" : Temp / std::string(C.Name);
    EXPECT_EQ(DownloadDir, Expected.string() + "/");
    EXPECT_TRUE(fs::is_directory(DownloadDir));
  }
  EXPECT_TRUE(Messages.empty());
}

// Every product's files in the order of its profile, with the edition of a file that the kind of
// Windows selects.
TEST_F(FlowTest, PlansInOrder) {
  for (const char* Architecture : {"AMD64", "x86"}) {
    setenv("processor_architecture", Architecture, 1);
    for (const TProductProfile& Profile : ProductProfiles) {
      SCOPED_TRACE(std::string(Profile.Key) + " on " + Architecture);
      Start(Profile.Key + std::string(".run"));
      ASSERT_EQ(DownloadPlan.FileCount, Profile.Files);
      for (int I = 1; I <= Profile.Files; ++I) {
        const TProfileEntry& Entry = Profile.Entries[I - 1];
        const bool Own32 = !Is64BitWindows && Entry.Source32;
        EXPECT_EQ(DownloadPlan.SourceNames[I], Own32 ? Entry.Source32 : Entry.Source);
        EXPECT_EQ(DownloadPlan.TargetNames[I], Entry.Target);
      }
    }
  }
}

TEST_F(FlowTest, TavoskelOn32BitUsesTheCommonFolder) {
  setenv("processor_architecture", "x86", 1);
  Start("tavoskel.run");
  EXPECT_EQ(DownloadDir, (Common / "x64" / "drovanetix").string() + "/");
  EXPECT_EQ(DownloadPlan.ProductDir, DownloadDir);
}

TEST_F(FlowTest, CzechLettersInTheNameAreUpperCasedForTheCaption) {
  // "žluťák.run" in Windows-1250, as the file system's UTF-8 name.
  Start("\xC5\xBElu\xC5\xA5\xC3\xA1k.run");
  EXPECT_EQ(ProgramName, "\x9Elu\x9D\xE1k");
  EXPECT_EQ(Form->Caption(), "\x8ELU\x8D\xC1K");
}

TEST_F(FlowTest, ExistingWorkingFolderIsKept) {
  WriteFile(Temp / "merona" / "old.txt", "keep");
  Start("merona.run");
  EXPECT_EQ(ReadFile(Temp / "merona" / "old.txt"), "keep");
}

TEST_F(FlowTest, WorkingFolderThatCannotBeCreated) {
  WriteFile(Temp / "blocker", "a file where the folder should go");
  setenv("temp", (Temp / "blocker").string().c_str(), 1);
  Start("merona.run");
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_EQ(Messages[0].Text, "Nelze vytvorit tmp adresar");
  EXPECT_TRUE(Application->Terminated());
}

// A working folder that is there but takes no file (made immutable, since the tests may run as
// root) is refused like one that cannot be created.
TEST_F(FlowTest, WorkingFolderThatRefusesWritingIsRefused) {
  const fs::path Folder = Common / "x86" / "drovanetix";
  fs::create_directories(Folder);
  ASSERT_EQ(std::system(("chattr +i '" + Folder.string() + "'").c_str()), 0);
  Start("tavoskel.run");
  std::system(("chattr -i '" + Folder.string() + "'").c_str());
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_EQ(Messages[0].Text, "Nelze vytvorit tmp adresar");
  EXPECT_TRUE(Application->Terminated());
  EXPECT_TRUE(fs::is_empty(Folder));
}

// The working folder for names and temp folders that would lead elsewhere: a name is split at
// its last slash, backslash or colon; a relative temp folder is made absolute at the start; one
// that Windows-1250 cannot name is refused, never renamed.
TEST_F(FlowTest, WorkingFolderStaysWhereItBelongs) {
  fs::create_directories(Temp / "bin");
  const fs::path Started = fs::current_path();
  fs::current_path(Temp / "bin");
  const struct {
    const char* Exe;
    std::string TempFolder;
    std::string Expected;  // empty: refused
  } Cases[] = {
      {R"(..\escaped\merona.run)", (Temp / "t").string(), (Temp / "t" / "merona").string() + "/"},
      {"x:..\\merona.run", Temp.string(), (Temp / "merona").string() + "/"},
      {"merona.run", "../rel", (Temp / "bin" / ".." / "rel" / "merona").string() + "/"},
      {"merona.run", (Temp / "\xCE\xA9").string(), ""},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Exe + (" in " + C.TempFolder));
    setenv("temp", C.TempFolder.c_str(), 1);
    Messages.clear();
    Start(C.Exe);
    if (C.Expected.empty()) {
      ASSERT_EQ(Messages.size(), 1u);
      EXPECT_EQ(Messages[0].Text, "Nelze vytvorit tmp adresar");
    } else {
      EXPECT_TRUE(Messages.empty());
      EXPECT_EQ(ProgramName, "merona");
      EXPECT_EQ(DownloadDir, C.Expected);
      EXPECT_TRUE(fs::is_directory(C.Expected));
    }
  }
  fs::current_path(Started);
  EXPECT_FALSE(fs::exists(Temp / "escaped"));
  EXPECT_FALSE(fs::exists(Temp / "?"));
  EXPECT_FALSE(fs::exists(Temp / "bin" / "..\\escaped\\merona"));
}

// A working folder the user may not create, or one that is there and refuses writing: the
// program starts itself once more with administrator rights and ends without a word; where that
// cannot help, the folder's message stands. The system's answers come from the stand-ins' fakes.
struct ElevationCase {
  const char* Name;
  DWORD Error;              // of the folder's creation, or of a file's in it when Present
  bool Elevated;            // the process holds administrator rights
  const char* CommandLine;  // the restarted copy carries the marker
  INT_PTR RunAsResult;      // the system's answer to "runas": above 32 started, 5 declined
  bool Restarted;
  bool Present = false;  // the folder exists already
};

void PrintTo(const ElevationCase& C, std::ostream* Out) { *Out << C.Name; }

class ElevationTest : public FlowTest, public ::testing::WithParamInterface<ElevationCase> {
 protected:
  void TearDown() override {
    PlatformFakes() = {};
    FlowTest::TearDown();
  }
};

TEST_P(ElevationTest, RefusedWorkingFolderAsksForAdministratorRightsOnce) {
  const ElevationCase& C = GetParam();
  std::vector<std::pair<std::string, std::string>> RunAs;
  const auto Error = [&](bool Present) {
    return C.Present == Present ? std::optional(C.Error) : std::nullopt;
  };
  if (C.Present) fs::create_directories(Common / "x86" / "drovanetix");
  PlatformFakes() = {Error(false), C.Elevated, C.CommandLine,
                     [&](const std::string& File, const std::string& Parameters) {
                       RunAs.emplace_back(File, Parameters);
                       if (C.RunAsResult <= 32) SetLastError(ERROR_CANCELLED);
                       return C.RunAsResult;
                     },
                     Error(true)};
  Start("tavoskel.run");
  const bool Asked = C.Error == ERROR_ACCESS_DENIED && !C.Elevated &&
                     std::string(C.CommandLine).find("/elevated") == std::string::npos;
  ASSERT_EQ(RunAs.size(), Asked ? 1u : 0u);
  if (Asked) {
    EXPECT_EQ(RunAs[0], std::make_pair(Invocation, std::string("/elevated")));
  }
  ASSERT_EQ(Messages.size(), C.Restarted ? 0u : 1u);
  if (!C.Restarted) {
    EXPECT_EQ(Messages[0].Text, "Nelze vytvorit tmp adresar");
  }
  EXPECT_TRUE(Application->Terminated());
}

INSTANTIATE_TEST_SUITE_P(
    Folder, ElevationTest,
    ::testing::Values(
        ElevationCase{"DeniedRestartsWithRights", ERROR_ACCESS_DENIED, false, "tavoskel", 42, true},
        ElevationCase{"DeniedUserDeclines", ERROR_ACCESS_DENIED, false, "tavoskel", 5, false},
        ElevationCase{"DeniedWithRightsAlready", ERROR_ACCESS_DENIED, true, "tavoskel", 42, false},
        // The restarted copy without rights (the system's prompts switched off): no second one.
        ElevationCase{"DeniedInTheRestartedCopy", ERROR_ACCESS_DENIED, false, "tavoskel /elevated",
                      42, false},
        ElevationCase{"OtherFailure", ERROR_PATH_NOT_FOUND, false, "tavoskel", 42, false},
        // After a first install the folder is there, and only administrators may write to it.
        ElevationCase{"PresentDeniedRestartsWithRights", ERROR_ACCESS_DENIED, false, "tavoskel", 42,
                      true, true},
        ElevationCase{"PresentDeniedWithRightsAlready", ERROR_ACCESS_DENIED, true, "tavoskel", 42,
                      false, true},
        ElevationCase{"PresentOtherFailure", ERROR_DISK_FULL, false, "tavoskel", 42, false, true}),
    [](const auto& Info) { return std::string(Info.param.Name); });

class SequenceTest : public FlowTest {
 protected:
  void SetUp() override {
    FlowTest::SetUp();
    Vendor = std::make_unique<ProxiedServer>();
  }
  void TearDown() override {
    FlowTest::TearDown();
    Vendor.reset();
  }
  void ServeProfile(const std::string& Program, const std::vector<std::string>& Sources) {
    for (std::size_t I = 0; I < Sources.size(); ++I)
      Vendor->Serve("download/" + Program + "/" + Sources[I], Payload(3000 + I * 100, I + 1));
  }
  std::vector<std::string> RequestedPaths() {
    std::vector<std::string> Paths;
    for (const auto& R : Vendor->Server->Requests()) Paths.push_back(R.Path);
    return Paths;
  }
  std::unique_ptr<ProxiedServer> Vendor;
};

TEST_F(SequenceTest, FlagClickThenEachFileInTurn) {
  const std::vector<std::string> Sources = {"zentrik.zip", "halmir.zip", "Firebird-64.zip",
                                            "setup.zip", "halmirsk.zip"};
  ServeProfile("Zentrik", Sources);
  Start("Zentrik.run");
  // A target left by an earlier run is deleted before its download starts.
  WriteFile(fs::path(DownloadDir) / "zentrik._cs", "stale");

  Form->Image1Click(Form->Image1);
  EXPECT_EQ(LanguageCode, "cz");
  EXPECT_EQ(Form->Notebook1->PageIndex(), 1);
  EXPECT_TRUE(Form->Timer1->Enabled());
  EXPECT_EQ(Form->Label1->Caption(), "Stahovan\xFD soubor");
  EXPECT_EQ(Form->Label2->Caption().substr(0, 12), "Prob\xEDh\xE1 sta\x9E");

  Form->Timer1->SetEnabled(false);  // driven by hand below
  Form->Timer1Timer(Form->Timer1);
  EXPECT_EQ(DownloadPlan.CurrentIndex, 1);
  EXPECT_EQ(Form->Label1->Caption(), "zentrik._ex");
  EXPECT_EQ(Form->hget->URL, std::string(VENDOR_HOST) + "/download/Zentrik/zentrik.zip");
  EXPECT_EQ(Form->hget->PostQuery, "");
  for (int I = 2; I <= 5; ++I) {
    ASSERT_TRUE(RunUntil([&] { return Form->Timer2->Enabled(); })) << I;
    EXPECT_EQ(DownloadPlan.CurrentIndex, I);
    EXPECT_FALSE(Form->Timer3->Enabled());
    Form->had->SetProgress(50);
    Form->Timer2Timer(Form->Timer2);
    EXPECT_FALSE(Form->Timer2->Enabled());
    EXPECT_EQ(Form->had->Progress(), 0);  // reset before each file
    EXPECT_EQ(Form->Label1->Caption(), DownloadPlan.TargetNames[I]);
  }
  ASSERT_TRUE(RunUntil([&] { return Form->Timer3->Enabled(); }));
  EXPECT_EQ(DownloadPlan.CurrentIndex, 6);
  EXPECT_FALSE(Form->Timer2->Enabled());
  EXPECT_EQ(
      RequestedPaths(),
      (std::vector<std::string>{"/download/Zentrik/zentrik.zip", "/download/Zentrik/halmir.zip",
                                "/download/Zentrik/Firebird-64.zip", "/download/Zentrik/setup.zip",
                                "/download/Zentrik/halmirsk.zip"}));
  EXPECT_EQ(ReadFile(fs::path(DownloadDir) / "zentrik._cs"), Payload(3100, 2));
  EXPECT_EQ(Form->had->Progress(), Form->had->MaxValue());
  EXPECT_TRUE(Messages.empty());
}

TEST_F(SequenceTest, FailedDownloadShowsErrorAndStops) {
  ServeProfile("merona", {"pravl32.zip", "ntdll.zip"});  // the third file is missing
  Vendor->Server->SetFault("/download/merona/qtintf70.zip", {.Kind = vendor::FaultKind::kNotFound});
  Start("merona.run");
  // A target left by an earlier run goes also when its new download fails before the file.
  WriteFile(fs::path(DownloadDir) / "qtintf70._dl", "stale");
  Form->Image2Click(Form->Image2);
  EXPECT_EQ(LanguageCode, "en");
  EXPECT_EQ(Form->Label1->Caption(), "Download the file");
  EXPECT_EQ(Form->Label2->Caption(), "Downloading files needed to install, please wait");
  Form->Timer1->SetEnabled(false);
  Form->Timer1Timer(Form->Timer1);
  for (int I = 2; I <= 3; ++I) {
    ASSERT_TRUE(RunUntil([&] { return Form->Timer2->Enabled(); }));
    Form->Timer2Timer(Form->Timer2);
  }
  ASSERT_TRUE(RunUntil([&] { return !Messages.empty(); }));
  RunFor(100);
  EXPECT_EQ(Messages.size(), 1u);
  EXPECT_EQ(Messages[0].Text, "error");
  EXPECT_EQ(Form->Label1->Caption(), "qtintf70._dl");
  EXPECT_FALSE(Form->Timer2->Enabled() || Form->Timer3->Enabled());
  EXPECT_EQ(DownloadPlan.CurrentIndex, 3);
  EXPECT_EQ(Vendor->Server->Requests().size(), 3u);
  EXPECT_FALSE(fs::exists(fs::path(DownloadDir) / "qtintf70._dl"));
}

TEST_F(SequenceTest, UnmatchedNameFetchesOneEmptyEntry) {
  Start("other.run");
  Form->Image2Click(Form->Image2);
  Form->Timer1->SetEnabled(false);
  Form->Timer1Timer(Form->Timer1);
  EXPECT_EQ(Form->hget->URL, std::string(VENDOR_HOST) + "/download/other/");
  EXPECT_EQ(Form->hget->FileName, DownloadDir);
  ASSERT_TRUE(RunUntil([&] { return !Messages.empty(); }));
  EXPECT_EQ(Messages[0].Text, "error");
  EXPECT_EQ(RequestedPaths(), std::vector<std::string>{"/download/other/"});
}

class FinishTest : public SequenceTest {
 protected:
  // The finish as it runs after the last download, with LanguageCode already chosen.
  void Finish() {
    LanguageCode = "en";
    Form->Timer3->SetEnabled(true);
    Form->Timer3->SetEnabled(false);
    Application->Dispatch([this] { Form->Timer3Timer(Form->Timer3); });
  }
  std::vector<std::string> StatusQueries() {
    std::vector<std::string> Queries;
    for (const auto& R : Vendor->Server->Requests())
      if (R.Path == "/programy/setup.asp") Queries.push_back(R.Query);
    return Queries;
  }
};

TEST_F(FinishTest, LaunchesSetupAndReportsSuccess) {
  Start("merona.run");
  const fs::path Marker = Temp / "started.txt";
  WriteFile(fs::path(DownloadDir) / "setup.exe",
            "#!/bin/sh\necho \"$1 $(pwd)\" > '" + Marker.string() + "'\n");
  Form->Show();
  Finish();
  EXPECT_FALSE(Form->Showing());
  EXPECT_EQ(Screen->Cursor(), crDefault);
  ASSERT_TRUE(Form->wb->WaitForNavigation(5000));
  EXPECT_EQ(StatusQueries(), std::vector<std::string>{"telefon=XXX&co=stazeno%20OK"});
  ASSERT_TRUE(RunUntil([&] { return fs::exists(Marker) && fs::file_size(Marker) > 0; }));
  EXPECT_EQ(ReadFile(Marker), "en " + fs::path(DownloadDir).parent_path().string() + "\n");
  EXPECT_TRUE(Messages.empty());
}

TEST_F(FinishTest, MissingOrUnlaunchableSetupReportsFailure) {
  enum Kind { Missing, Directory, NotAProgram };
  for (Kind K : {Missing, Directory, NotAProgram}) {
    SCOPED_TRACE(K);
    Vendor->Server->ClearRequests();
    Messages.clear();
    Start("merona.run");
    const fs::path Setup = fs::path(DownloadDir) / "setup.exe";
    if (K == Directory) fs::create_directories(Setup);
    if (K == NotAProgram) WriteFile(Setup, std::string("\x7F\x01junk", 6));
    Finish();
    ASSERT_TRUE(Form->wb->WaitForNavigation(5000));
    EXPECT_EQ(StatusQueries(),
              std::vector<std::string>{"telefon=XXX&co=chyba%20stazeni%20souboru"});
    ASSERT_EQ(Messages.size(), 1u);
    EXPECT_EQ(Messages[0].Text, "Soubor nalezen...");
    EXPECT_EQ(Screen->Cursor(), crDefault);
  }
}

TEST_F(FinishTest, WorkingFolderThatCannotBeEnteredStopsTheFinish) {
  Start("merona.run");
  fs::remove_all(DownloadDir);
  Form->Show();
  Finish();
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_EQ(Messages[0].Type, mtError);
  EXPECT_EQ(Messages[0].Text, "File not found.");
  EXPECT_TRUE(Form->Showing());
  RunFor(300);
  EXPECT_TRUE(StatusQueries().empty());
}

}  // namespace
