// A non-visual component that fetches one HTTP address at a time into a file on a worker thread
// and raises its progress, completion and error events on the main thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "toolkit/classes.h"

using TOnProgressEvent =
    std::function<void(TObject* Sender, std::int32_t TotalSize, std::int32_t Readed)>;
using TOnDoneFileEvent =
    std::function<void(TObject* Sender, std::string FileName, std::int32_t FileSize)>;
using TOnDoneStringEvent = std::function<void(TObject* Sender, std::string Result)>;

// One download on a thread of its own; frees itself when it ends.
class THTTPGetThread : public TThread {
 public:
  THTTPGetThread(std::string AAcceptTypes, std::string AAgent, std::string AURL,
                 std::string AFileName, std::string AUserName, std::string APassword,
                 std::string APostQuery, std::string AReferer, bool ABinaryData, bool AUseCache,
                 TOnProgressEvent AProgress, bool AToFile);

  // What the main thread reads for each progress report comes first, with the strings between it
  // and the counters that this thread writes for every block below: on one cache line with them,
  // each report would first have to fetch that line from the worker's processor.
  TOnProgressEvent ProgressHandler;
  // Set on the main thread when the component that started this download is destroyed: progress
  // reports still due are then dropped instead of reaching a destroyed receiver.
  bool Orphaned = false;

  std::string AcceptTypes;
  std::string Agent;
  std::string URL;
  std::string FileName;
  std::string ResultText;
  std::string UserName;
  std::string Password;
  std::string PostQuery;
  std::string Referer;
  bool BinaryData = false;
  bool UseCache = false;
  std::atomic<bool> Succeeded{false};
  std::int32_t TotalSize = 0;
  bool FileTarget = false;
  std::uint32_t ChunkSize = 0;
  std::int32_t Readed = 0;

 protected:
  void Execute() override;

 private:
  void ReportProgress(std::int32_t ATotalSize, std::int32_t AReaded);
};

class THTTPGet : public TComponent {
 public:
  explicit THTTPGet(TComponent* AOwner);
  // Stops a running download without waiting for it; its completion then reaches nobody.
  ~THTTPGet() override;

  void DownloadFile();
  void StopDownload();

  std::string AcceptTypes;
  std::string Agent;
  bool BinaryData = false;
  std::string URL;
  bool UseCache = false;
  std::string FileName;
  std::string UserName;
  std::string Password;
  std::string PostQuery;
  std::string Referer;
  bool WaitThread = false;

  TOnProgressEvent OnProgress;
  TOnDoneFileEvent OnDoneFile;
  TOnDoneStringEvent OnDoneString;
  TNotifyEvent OnError;

 private:
  void DownloadFinished(TObject* Sender);

  THTTPGetThread* Worker = nullptr;
  // Cleared when the component is destroyed, so that code still running for it (a completion
  // event that destroyed it, the WaitThread loop) can tell.
  std::shared_ptr<bool> FAlive = std::make_shared<bool>(true);
  bool FInCompletion = false;
};
