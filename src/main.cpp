#include "main.h"

// windows.h first: the other system headers build on it.
#include <windows.h>

#include <shellapi.h>

#include <cstdint>

#include "FileCheck.h"
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
// What a screen reader calls the flags.
const char CzechFlagName[] =
    "\xC8"
    "e\x9A"
    "tina";
const char EnglishFlagName[] = "English";
const char EnglishWaitMessage[] = "Downloading files needed to install, please wait";

// The one argument of the copy started with administrator rights: it never starts another.
const char ElevatedCopyMarker[] = "/elevated";

// After the working folder was refused: starts this program once more with administrator rights
// (one prompt of the system, which belongs to Owner so that it comes to the front) and says
// whether it did. Not when this is that copy already, holds the rights already, or the user
// declined.
bool RestartAsAdministrator(HWND Owner) {
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
  return reinterpret_cast<INT_PTR>(ShellExecuteA(Owner, "runas", Exe.c_str(), ElevatedCopyMarker,
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

// The working folder, held open for the whole run: it cannot be renamed or deleted meanwhile, and
// on POSIX every file in it is reached through this handle. Its one-copy lock is named after the
// folder's identity on its volume, which no other spelling of its path changes; the system
// releases both when the process ends, however it ends.
struct THeldFolder {
  HANDLE Folder = INVALID_HANDLE_VALUE;
  HANDLE Lock = nullptr;
};
THeldFolder HeldFolder;

// Opens Dir for the run in place of any folder held before; the last error says why not.
bool HoldWorkingFolder(const std::string& Dir) {
  if (HeldFolder.Lock != nullptr) CloseHandle(HeldFolder.Lock);
  if (HeldFolder.Folder != INVALID_HANDLE_VALUE) CloseHandle(HeldFolder.Folder);
  HeldFolder = {};
  HeldFolder.Folder = CreateFileA(Dir.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  return HeldFolder.Folder != INVALID_HANDLE_VALUE;
}

// False when another process holds the working folder's lock.
bool LockWorkingFolder() {
  BY_HANDLE_FILE_INFORMATION Identity{};
  if (!GetFileInformationByHandle(HeldFolder.Folder, &Identity)) return true;
  std::string Name = "Local\\drovanetix-setup";
  for (const DWORD Part :
       {Identity.dwVolumeSerialNumber, Identity.nFileIndexHigh, Identity.nFileIndexLow}) {
    Name += '-';
    for (int Shift = 28; Shift >= 0; Shift -= 4) Name += "0123456789abcdef"[(Part >> Shift) & 15];
  }
  HeldFolder.Lock = CreateMutexA(nullptr, FALSE, Name.c_str());
  return HeldFolder.Lock == nullptr || GetLastError() != ERROR_ALREADY_EXISTS;
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

// A browser saves a repeated download of "merona.exe" as "merona (1).exe", "merona (2).exe":
// the number in parentheses is the browser's, not part of the program's name.
std::string WithoutCopyNumber(const std::string& Name) {
  const std::size_t Open = Name.rfind(" (");
  if (Open == std::string::npos || Name.size() < Open + 4 || Name.back() != ')') return Name;
  const std::string Number = Name.substr(Open + 2, Name.size() - Open - 3);
  if (Number.find_first_not_of("0123456789") != std::string::npos) return Name;
  return Name.substr(0, Open);
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
  Image1->SetAccessibleName(CzechFlagName);
  Image1->SetTabStop(true);
  Image2 = Place(new TImage(this, Panel2), Image2Bounds);
  Image2->LoadJpeg(FlagGbJpeg, FlagGbJpegSize);
  Image2->SetCursor(crHandPoint);
  Image2->OnClick = [this](TObject* Sender) { Image2Click(Sender); };
  Image2->SetAccessibleName(EnglishFlagName);
  Image2->SetTabStop(true);
  Label3 = Place(new TLabel(this, Panel2), Label3Bounds);
  Label3->SetCaption(LanguagePrompt);
}

void TForm1::FormCreate(TObject*) {
  Notebook1->SetPageIndex(0);
  ProgramName = ExtractFileName(Application->ExeName());
  ProgramName = ProgramName.size() > 4 ? ProgramName.substr(0, ProgramName.size() - 4) : "";
  ProgramName = WithoutCopyNumber(ProgramName);
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
  if (!ForceDirectories(DownloadDir) || !HoldWorkingFolder(DownloadDir) ||
      !DirectoryWritable(DownloadDir)) {
    if (GetLastError() != ERROR_ACCESS_DENIED ||
        !RestartAsAdministrator(static_cast<HWND>(Handle())))
      ShowMessage("Nelze vytvorit tmp adresar");
    Close();
    Application->Terminate();
  } else if (!LockWorkingFolder()) {
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
  DownloadPlan.CurrentIndex =
      PlanSignedFileList(DownloadPlan.SourceNames[0], DownloadPlan.TargetNames[0]);
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
  const std::int32_t Index = DownloadPlan.CurrentIndex;
  CheckArrivedFile(DownloadDir + DownloadPlan.TargetNames[Index], DownloadPlan.SourceNames[Index],
                   ProgramName);
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

// True when the file that arrived last passed its check. While it is still being checked, Retry
// is enabled again to look once more on its next tick. A refused file counts as a failed
// download.
bool TForm1::ArrivedFileMatched(TTimer* Retry) {
  switch (ArrivedFileResult()) {
    case TFileCheckResult::Checking:
      Retry->SetEnabled(true);
      return false;
    case TFileCheckResult::Accepted:
      return true;
    case TFileCheckResult::Refused:
      break;
  }
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
