#include "main.h"

// windows.h first: the other system headers build on it.
#include <windows.h>

#include <shellapi.h>

#include <cstdint>
#include <optional>
#include <set>

#include "FileList.h"
#include "ProductProfiles.h"
#include "_utility.h"
#include "toolkit/resources.h"
#include "toolkit/sysutils.h"

std::string ProgramName;
std::string DownloadDir;
std::string LanguageCode;
bool Is64BitWindows = false;
TDownloadPlan DownloadPlan;

TForm1* Form1 = nullptr;

namespace {

const std::string VendorHost = VENDOR_HOST;

// Texts are Windows-1250.
const char LanguagePrompt[] =
    "V\xFD"
    "b\xECr jazyka / Select language";
const char CzechFileWord[] = "Stahovan\xFD soubor";
const char CzechWaitMessage[] =
    "Prob\xEDh\xE1 sta\x9E"
    "en\xED pot\xF8"
    "ebn\xFD"
    "ch soubor\xF9 k instalaci, \xE8"
    "ekejte pros\xEDm";
const char EnglishFileWord[] = "Download the file";
const char EnglishWaitMessage[] = "Downloading files needed to install, please wait";

// The one argument of the copy started with administrator rights: it never starts another.
const char ElevatedCopyMarker[] = "/elevated";

// After the working folder was refused: starts this program once more with administrator rights
// (one prompt of the system) and says whether it did. Not when this is that copy already, holds
// the rights already, or the user declined.
bool RestartAsAdministrator() {
  if (std::string(GetCommandLineA()).find(ElevatedCopyMarker) != std::string::npos) return false;
  HANDLE Token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &Token)) return false;
  TOKEN_ELEVATION Elevation{};
  DWORD Size = 0;
  const bool Known =
      GetTokenInformation(Token, TokenElevation, &Elevation, sizeof Elevation, &Size) != FALSE;
  CloseHandle(Token);
  if (!Known || Elevation.TokenIsElevated) return false;
  const std::string Exe = Application->ExeName();
  return reinterpret_cast<INT_PTR>(ShellExecuteA(nullptr, "runas", Exe.c_str(), ElevatedCopyMarker,
                                                 nullptr, SW_SHOWNORMAL)) > 32;
}

const TColor PanelColor = 16767152;  // #B0D8FF
const TColor GaugeColor = 9262633;   // #29568D

// The stored layout: positions in pixels at 96 dpi from the parent's top-left corner.
struct TBounds {
  int Left, Top, Width, Height;
};
constexpr TBounds Label3Bounds = {205, 20, 181, 16};
constexpr TBounds Image1Bounds = {240, 45, 40, 27};
constexpr TBounds Image2Bounds = {300, 45, 40, 27};
constexpr TBounds Label2Bounds = {10, 10, 479, 19};
constexpr TBounds Label1Bounds = {10, 40, 103, 16};
constexpr TBounds GaugeBounds = {10, 60, 566, 30};
constexpr TBounds BrowserBounds = {10, 150, 551, 145};

template <class T>
T* Place(T* Control, const TBounds& B) {
  Control->SetBounds(B.Left, B.Top, B.Width, B.Height);
  return Control;
}

TPanel* MakePagePanel(TComponent* Owner, TWinControl* Page) {
  auto* Panel = new TPanel(Owner, Page);
  Panel->AlignClient();
  Panel->SetColor(PanelColor);
  Panel->SetBevel(bvRaised, 1);
  return Panel;
}

// One copy per working folder: a lock named after the folder (in any letter case, as Windows
// names folders) that the system releases when the process ends, however it ends. False when
// another process holds it; a folder this process already holds stays its own.
bool HoldWorkingFolder(const std::string& Dir) {
  static std::set<std::string> Held;
  std::uint64_t Hash = 14695981039346656037ULL;
  for (const unsigned char C : CzechUpperCase(Dir)) Hash = (Hash ^ C) * 1099511628211ULL;
  std::string Name = "Local\\drovanetix-setup-";
  for (int Shift = 60; Shift >= 0; Shift -= 4) Name += "0123456789abcdef"[(Hash >> Shift) & 15];
  if (Held.count(Name)) return true;
  const HANDLE Lock = CreateMutexA(nullptr, FALSE, Name.c_str());
  if (Lock != nullptr && GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(Lock);
    return false;
  }
  Held.insert(Name);
  return true;
}

// Brings the window of another copy titled Caption to the front, where the system allows.
void ShowOtherCopy(const std::string& Caption) {
  for (HWND W = FindWindowExA(nullptr, nullptr, nullptr, Caption.c_str()); W != nullptr;
       W = FindWindowExA(nullptr, W, nullptr, Caption.c_str())) {
    DWORD Process = 0;
    GetWindowThreadProcessId(W, &Process);
    if (Process == GetCurrentProcessId()) continue;
    SetForegroundWindow(W);
    return;
  }
}

// The vendor's public key that the build carries (hex of the uncompressed P-256 point), or empty:
// then every file is taken as the server sends it.
constexpr std::string_view FileListKey = FILE_LIST_KEY;
const char FileListName[] = "files.sig";

// With a key: the vendor's list once verified, and the file that arrived last with what its
// check found. Files are hashed on a thread of their own, while the flow pauses before its next
// step; the list is small and is read at once.
struct TArrivedFile {
  std::string FileName;
  std::string Source;
  bool IsList = false;
  bool Hashing = false;
  bool Hashed = false;
  std::uint64_t Size = 0;
  TSha256Digest Digest{};
};
struct TFileCheck {
  std::optional<TFileList> VendorFileList;
  TArrivedFile ArrivedFile;
};
// Made on first use, so that a build without a key carries none of it.
TFileCheck& FileCheck() {
  static TFileCheck Check;
  return Check;
}

class THashFileThread : public TThread {
 public:
  explicit THashFileThread(std::string AFileName) : TThread(true), FileName(std::move(AFileName)) {
    FreeOnTerminate = true;
  }
  std::string FileName;
  bool Hashed = false;
  std::uint64_t Size = 0;
  TSha256Digest Digest{};

 protected:
  void Execute() override {
    Hashed = HashFile(FileName, Size, Digest, [this] { return Terminated(); });
  }
};

void StartHashing(const std::string& FileName) {
  FileCheck().ArrivedFile.Hashing = true;
  auto* Hashing = new THashFileThread(FileName);
  Hashing->OnTerminate = [](TObject* Sender) {
    const auto* Done = static_cast<THashFileThread*>(Sender);
    TArrivedFile& Arrived = FileCheck().ArrivedFile;
    Arrived.Hashing = false;
    Arrived.Hashed = Done->Hashed;
    Arrived.Size = Done->Size;
    Arrived.Digest = Done->Digest;
  };
  Hashing->Start();
}

// Reads and verifies the list that has just arrived. Only its contents are kept: the file goes,
// so that the working folder holds the product's files alone.
void ReadVendorFileList() {
  auto& [List, Arrived] = FileCheck();
  const auto Text = ReadFileListFile(Arrived.FileName);
  const auto Key = BytesFromHex(std::string(FileListKey));
  List = Text && Key ? ReadSignedFileList(*Text, *Key) : std::nullopt;
  if (List && List->Product != CzechUpperCase(ProgramName)) List.reset();
  DeleteFile(Arrived.FileName);
}

bool ArrivedFileAsListed() {
  const auto& [List, Arrived] = FileCheck();
  if (!List) return false;
  if (Arrived.IsList) return true;
  const auto Entry = List->Files.find(Arrived.Source);
  return Arrived.Hashed && Entry != List->Files.end() && Entry->second.Size == Arrived.Size &&
         Entry->second.Digest == Arrived.Digest;
}

std::wstring ToWide(const std::string& Ascii) {
  std::wstring Wide;
  for (unsigned char C : Ascii) Wide += static_cast<wchar_t>(C);
  return Wide;
}

}  // namespace

TForm1::TForm1(TComponent* AOwner) : TForm(AOwner) {
  LoadLayout();
  Loaded();
  DoCreate();
}

void TForm1::LoadLayout() {
  SetCaption("Instalace programu");
  SetBorderStyle(bsDialog);
  SetClientSize(585, 113);
  SetColor(clBtnFace);
  SetFont(TFont{});
  SetIcon(ForkliftXpm);
  OnCreate = [this](TObject* Sender) { FormCreate(Sender); };

  Timer1 = new TTimer(this);
  Timer1->SetEnabled(false);
  Timer1->OnTimer = [this](TObject* Sender) { Timer1Timer(Sender); };

  hget = new THTTPGet(this);
  hget->AcceptTypes = "*/*";
  hget->Agent = "Kestrune HTTPGet";
  hget->BinaryData = true;
  hget->UseCache = false;
  hget->PostQuery = "POST";
  hget->WaitThread = false;
  hget->OnProgress = [this](TObject* Sender, std::int32_t TotalSize, std::int32_t Readed) {
    hgetProgress(Sender, TotalSize, Readed);
  };
  hget->OnDoneFile = [this](TObject* Sender, std::string FileName, std::int32_t FileSize) {
    hgetDoneFile(Sender, std::move(FileName), FileSize);
  };
  hget->OnError = [this](TObject* Sender) { hgetError(Sender); };

  Timer2 = new TTimer(this);
  Timer2->SetEnabled(false);
  Timer2->OnTimer = [this](TObject* Sender) { Timer2Timer(Sender); };
  Timer3 = new TTimer(this);
  Timer3->SetEnabled(false);
  Timer3->OnTimer = [this](TObject* Sender) { Timer3Timer(Sender); };
  XPManifest1 = new TXPManifest(this);

  Notebook1 = new TNotebook(this, this);
  Notebook1->SetBounds(0, 0, 585, 113);
  TWinControl* LanguagePage = Notebook1->AddPage("prvni");
  TWinControl* DownloadPage = Notebook1->AddPage("Default");
  Notebook1->SetPageIndex(1);

  Panel1 = MakePagePanel(this, DownloadPage);
  had = Place(new TGauge(this, Panel1), GaugeBounds);
  had->SetForeColor(GaugeColor);
  had->SetBackColor(clWhite);
  had->SetMinValue(0);
  had->SetMaxValue(100);
  had->SetProgress(77);
  Label1 = Place(new TLabel(this, Panel1), Label1Bounds);
  Label1->SetCaption(CzechFileWord);
  Label2 = Place(new TLabel(this, Panel1), Label2Bounds);
  Label2->SetFont(TFont{.Name = "Arial", .Height = 16, .Bold = true});
  Label2->SetCaption(CzechWaitMessage);
  wb = Place(new TWebBrowser(this, Panel1), BrowserBounds);

  Panel2 = MakePagePanel(this, LanguagePage);
  Image1 = Place(new TImage(this, Panel2), Image1Bounds);
  Image1->LoadJpeg(FlagCzJpeg, FlagCzJpegSize);
  Image1->SetCursor(crHandPoint);
  Image1->OnClick = [this](TObject* Sender) { Image1Click(Sender); };
  Image2 = Place(new TImage(this, Panel2), Image2Bounds);
  Image2->LoadJpeg(FlagGbJpeg, FlagGbJpegSize);
  Image2->SetCursor(crHandPoint);
  Image2->OnClick = [this](TObject* Sender) { Image2Click(Sender); };
  Label3 = Place(new TLabel(this, Panel2), Label3Bounds);
  Label3->SetCaption(LanguagePrompt);
}

void TForm1::FormCreate(TObject*) {
  Notebook1->SetPageIndex(0);
  ProgramName = ExtractFileName(Application->ExeName());
  ProgramName = ProgramName.size() > 4 ? ProgramName.substr(0, ProgramName.size() - 4) : "";
  DownloadDir = GetEnv("temp") + PathDelim + ProgramName + PathDelim;
  const std::string Architecture = GetEnv("processor_architecture");
  SetCaption(CzechUpperCase(ProgramName));
  Is64BitWindows = Architecture.find("64") != std::string::npos;
  DownloadPlan.ProductDir =
      GetEnv(Is64BitWindows ? "CommonProgramFiles(x86)" : "CommonProgramFiles") + PathDelim +
      "drovanetix" + PathDelim;
  if (CzechUpperCase(ProgramName) == "TAVOSKEL") DownloadDir = DownloadPlan.ProductDir;
  // Absolute, so that the change of current folder before the launch cannot miss it.
  DownloadDir = ExpandFileName(DownloadDir);
  if (!ForceDirectories(DownloadDir)) {
    if (GetLastError() != ERROR_ACCESS_DENIED || !RestartAsAdministrator())
      ShowMessage("Nelze vytvorit tmp adresar");
    Close();
    Application->Terminate();
  } else if (!HoldWorkingFolder(DownloadDir)) {
    // Another copy works in this folder: this one leaves it alone and ends without a word.
    ShowOtherCopy(Caption());
    Close();
    Application->Terminate();
  }
  had->SetProgress(0);
  DownloadPlan.FileCount = 0;
  for (const TProductProfile& Profile : ProductProfiles) {
    if (CzechUpperCase(ProgramName) != Profile.Key) continue;
    for (std::int32_t I = 1; I <= Profile.Files; ++I) {
      const TProfileEntry& Entry = Profile.Entries[I - 1];
      DownloadPlan.SourceNames[I] =
          Entry.Source32 && !Is64BitWindows ? Entry.Source32 : Entry.Source;
      DownloadPlan.TargetNames[I] = Entry.Target;
    }
    DownloadPlan.FileCount = Profile.Files;
  }
}

std::string TForm1::GetEnv(std::string Name) {
  const DWORD Size = GetEnvironmentVariableA(Name.c_str(), nullptr, 0);
  if (Size < 1) return "";
  std::string Value(Size - 1, '\0');
  GetEnvironmentVariableA(Name.c_str(), Value.data(), Size);
  return Value;
}

void TForm1::Image1Click(TObject*) { ChooseLanguage("cz", CzechFileWord, CzechWaitMessage); }

void TForm1::Image2Click(TObject*) { ChooseLanguage("en", EnglishFileWord, EnglishWaitMessage); }

void TForm1::ChooseLanguage(const std::string& Code, const std::string& FileWord,
                            const std::string& WaitMessage) {
  LanguageCode = Code;
  Notebook1->SetPageIndex(1);
  Application->ProcessMessages();
  Timer1->SetEnabled(true);
  Label1->SetCaption(FileWord);
  Label2->SetCaption(WaitMessage);
}

void TForm1::Timer1Timer(TObject*) {
  Timer1->SetEnabled(false);
  DownloadPlan.CurrentIndex = FileListKey.empty() ? 1 : PlanFileList();
  NactiSoubor(DownloadPlan.CurrentIndex);
}

void TForm1::NactiSoubor(std::int32_t Index) {
  const std::string& Target = DownloadPlan.TargetNames[Index];
  if (FileExists(DownloadDir + Target)) DeleteFile(DownloadDir + Target);
  had->SetProgress(0);
  Application->ProcessMessages();
  // Without an announced length a download counts as failed; every download is a GET.
  hget->BinaryData = true;
  hget->PostQuery = "";
  hget->URL = VendorHost + "/download/" + ProgramName + "/" + DownloadPlan.SourceNames[Index];
  Label1->SetCaption(Target);
  hget->FileName = DownloadDir + Target;
  hget->DownloadFile();
}

void TForm1::hgetProgress(TObject*, std::int32_t TotalSize, std::int32_t Readed) {
  // The maximum first: the gauge clamps a position to its current range.
  had->SetMaxValue(TotalSize);
  had->SetProgress(Readed);
  Application->ProcessMessages();
}

void TForm1::hgetDoneFile(TObject*, std::string, std::int32_t) {
  CheckArrivedFile();
  DownloadPlan.CurrentIndex = DownloadPlan.CurrentIndex + 1;
  // The next download cannot start inside this event: the component is busy until it returns.
  if (DownloadPlan.CurrentIndex < DownloadPlan.FileCount + 1)
    Timer2->SetEnabled(true);
  else
    Timer3->SetEnabled(true);
}

void TForm1::Timer2Timer(TObject*) {
  Timer2->SetEnabled(false);
  if (!ArrivedFileMatched(Timer2)) return;
  NactiSoubor(DownloadPlan.CurrentIndex);
}

void TForm1::hgetError(TObject*) { ShowMessage("error"); }

void TForm1::Timer3Timer(TObject*) {
  Timer3->SetEnabled(false);
  if (!ArrivedFileMatched(Timer3)) return;
  ChDir(DownloadDir);
  const std::string Setup = DownloadDir + "setup.exe";
  // A launch that fails is reported like a missing setup.exe, never as a success.
  bool Launched = false;
  if (FileExists(Setup)) {
    HINSTANCE Result =
        ShellExecuteA(nullptr, "open", Setup.c_str(), LanguageCode.c_str(), nullptr, SW_SHOW);
    Launched = reinterpret_cast<INT_PTR>(Result) > 32;
  }
  if (Launched) {
    ReportStatus("stazeno OK");
  } else {
    ReportStatus("chyba stazeni souboru");
    ShowMessage("Soubor nalezen...");
  }
  Close();
}

// With a vendor key the signed file list is fetched first, as entry 0 of the plan.
std::int32_t TForm1::PlanFileList() {
  DownloadPlan.SourceNames[0] = FileListName;
  DownloadPlan.TargetNames[0] = FileListName;
  return 0;
}

// With a vendor key, the file that has just arrived is checked against the list: the list itself
// is verified, any other file hashed.
void TForm1::CheckArrivedFile() {
  if (FileListKey.empty()) return;
  const std::int32_t Index = DownloadPlan.CurrentIndex;
  TArrivedFile& Arrived = FileCheck().ArrivedFile;
  Arrived = {.FileName = DownloadDir + DownloadPlan.TargetNames[Index],
             .Source = DownloadPlan.SourceNames[Index],
             .IsList = Index == 0};
  if (Arrived.IsList)
    ReadVendorFileList();
  else
    StartHashing(Arrived.FileName);
}

// True when the file that arrived last is as the vendor's list has it, and always without a key.
// While it is still being hashed, Retry is enabled again to look once more on its next tick. A
// file that does not match is deleted, so that nobody starts it by hand, and counts as a failed
// download.
bool TForm1::ArrivedFileMatched(TTimer* Retry) {
  if (FileListKey.empty()) return true;
  const TArrivedFile& Arrived = FileCheck().ArrivedFile;
  if (Arrived.Hashing) {
    Retry->SetEnabled(true);
    return false;
  }
  if (ArrivedFileAsListed()) return true;
  DeleteFile(Arrived.FileName);
  hgetError(hget);
  return false;
}

void TForm1::ReportStatus(const std::string& Outcome) {
  const std::string URL = RecodeCzech(
      "http://" + VendorHost + "/programy/setup.asp?telefon=XXX&co=" + Outcome, "W", "A");
  Screen->SetCursor(crHourGlass);
  // The default cursor comes back also when the navigation is refused.
  struct RestoreCursor {
    ~RestoreCursor() { Screen->SetCursor(crDefault); }
  } Restore;
  wb->Navigate(ToWide(URL));
}
