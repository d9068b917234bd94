#include "one_download.h"

#include <chrono>
#include <cstdint>

#include "HTTPGet.h"
#include "main.h"
#include "toolkit/forms.h"

using Clock = std::chrono::steady_clock;

DownloadOutcome DownloadWithComponent(const std::string& URL, const std::string& Out, bool Gauge) {
  Application->Initialize();
  Application->CreateForm(Form1);
  if (Gauge) {
    // The download page, as after a click on a flag, without the product's own sequence.
    Form1->Notebook1->SetPageIndex(1);
    Form1->Show();
    const auto Drawn = Clock::now() + std::chrono::milliseconds(300);
    while (Clock::now() < Drawn) Application->WaitMessage(20);
  }
  bool Finished = false;
  DownloadOutcome Result;
  auto* Get = new THTTPGet(Form1);
  Get->BinaryData = true;
  Get->PostQuery = "";
  Get->URL = URL;
  Get->FileName = Out;
  if (Gauge) {
    Get->OnProgress = [](TObject* Sender, std::int32_t TotalSize, std::int32_t Readed) {
      Form1->hgetProgress(Sender, TotalSize, Readed);
    };
  }
  Get->OnDoneFile = [&](TObject*, std::string, std::int32_t) { Result.Ok = Finished = true; };
  Get->OnError = [&](TObject*) { Finished = true; };
  const long RepaintsBefore = Form1->had->RepaintCount();
  const auto Start = Clock::now();
  Get->DownloadFile();
  while (!Finished) Application->WaitMessage(100);
  Result.Seconds = std::chrono::duration<double>(Clock::now() - Start).count();
  Result.Repaints = Form1->had->RepaintCount() - RepaintsBefore;
  return Result;
}
