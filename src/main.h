// The main window and the installer flow: start-up and the download plan, the language page and
// the download sequence, the launch of the product's installer and the status report.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "HTTPGet.h"
#include "toolkit/forms.h"
#include "toolkit/webbrowser.h"

struct TDownloadPlan {
  std::string ProductDir;
  // Entries are numbered 1 to 10; entry 0 is not used.
  std::array<std::string, 11> SourceNames;
  std::array<std::string, 11> TargetNames;
  std::int32_t CurrentIndex = 0;
  std::int32_t FileCount = 0;
};

// State of the installer flow, touched only on the main thread.
extern std::string ProgramName;
extern std::string DownloadDir;
extern std::string LanguageCode;
extern bool Is64BitWindows;
extern TDownloadPlan DownloadPlan;

class TForm1 : public TForm {
 public:
  explicit TForm1(TComponent* AOwner);

  TTimer* Timer1;
  THTTPGet* hget;
  TTimer* Timer2;
  TTimer* Timer3;
  TXPManifest* XPManifest1;
  TNotebook* Notebook1;
  TPanel* Panel1;
  TGauge* had;
  TLabel* Label1;
  TLabel* Label2;
  TWebBrowser* wb;
  TPanel* Panel2;
  TImage* Image1;
  TImage* Image2;
  TLabel* Label3;

  void FormCreate(TObject* Sender);
  std::string GetEnv(std::string Name);
  void Timer1Timer(TObject* Sender);
  void hgetProgress(TObject* Sender, std::int32_t TotalSize, std::int32_t Readed);
  void hgetError(TObject* Sender);
  void hgetDoneFile(TObject* Sender, std::string FileName, std::int32_t FileSize);
  void NactiSoubor(std::int32_t Index);
  void Timer2Timer(TObject* Sender);
  void Timer3Timer(TObject* Sender);
  void Image1Click(TObject* Sender);
  void Image2Click(TObject* Sender);

 private:
  void LoadLayout();
  void ChooseLanguage(const std::string& Code, const std::string& FileWord,
                      const std::string& WaitMessage);
  void ReportStatus(const std::string& Outcome);
  bool ArrivedFileMatched(TTimer* Retry);
};

extern TForm1* Form1;
