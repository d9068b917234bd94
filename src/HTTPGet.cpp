#include "HTTPGet.h"

// windows.h first: the other system headers build on it.
#include <windows.h>

#include <wininet.h>

#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>

#include "toolkit/fileio.h"
#include "toolkit/forms.h"
#include "toolkit/sysutils.h"

namespace {

constexpr DWORD LengthBufferSize = 1024;
constexpr DWORD ReadBufferSize = 1025;
const char PostHeader[] = "Content-Type: application/x-www-form-urlencoded";
// A download without the cache asks every cache on the way for a fresh copy, not only this
// machine's: the flags have WinInet bypass its own and send "Pragma: no-cache", which HTTP/1.0
// caches know; HTTP/1.1 caches, and those that ignore Pragma, obey this header.
constexpr DWORD FreshCopyFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_PRAGMA_NOCACHE;
const char FreshCopyHeader[] = "Cache-Control: no-cache\r\n";
// How long a download waits for a connection, for sending, and for each piece of the answer.
constexpr DWORD WaitLimitMilliseconds = 60'000;

// A body that brings less than this in a minute, on average over each span from one read to the
// first read a minute or more later, counted from the response head, fails like one that stops: the
// limit above restarts with every byte, so one byte a minute would never end. Far below the slowest
// line in use (a 56 kbit/s modem brings about 400 KiB a minute).
constexpr std::int32_t TrickleBytes = 1024;
constexpr std::chrono::milliseconds TrickleWindow(WaitLimitMilliseconds);

// A server that stops answering then fails the download instead of holding it forever. Set on the
// session and again on the request, since not every WinInet hands the session's limits down.
void LimitWaiting(HINTERNET Handle) {
  DWORD Limit = WaitLimitMilliseconds;
  for (const DWORD Option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                             INTERNET_OPTION_RECEIVE_TIMEOUT})
    InternetSetOptionA(Handle, Option, &Limit, sizeof Limit);
}

// Splits a URL into host name and object path; only a leading "http://" is removed.
void SplitUrl(std::string URL, std::string& Host, std::string& Path) {
  static const std::string Scheme = "http://";
  bool HasScheme = URL.size() >= Scheme.size();
  for (std::size_t I = 0; HasScheme && I < Scheme.size(); ++I)
    HasScheme = std::tolower(static_cast<unsigned char>(URL[I])) == Scheme[I];
  if (HasScheme) URL.erase(0, Scheme.size());
  const std::size_t Slash = URL.find('/');
  if (Slash == std::string::npos) {
    Host.clear();
    Path = URL;
  } else {
    Host = URL.substr(0, Slash);
    Path = URL.substr(Slash);
  }
}

// What the body holds while it runs; released in reverse order of opening, on every path.
struct TDownloadResources {
  HINTERNET hSession = nullptr;
  HINTERNET hConnect = nullptr;
  HINTERNET hRequest = nullptr;
  std::unique_ptr<char[]> LengthBuffer;
  TUntypedFile F;

  void ReleaseHandles() {
    InternetCloseHandle(hRequest);
    InternetCloseHandle(hConnect);
    InternetCloseHandle(hSession);
    hRequest = hConnect = hSession = nullptr;
  }
  ~TDownloadResources() { ReleaseHandles(); }
};

// True when the server answered with a status other than 2xx: an error page is no download. A
// part of the file (206) is none either, since no part is ever asked for.
bool IsErrorResponse(HINTERNET hRequest) {
  char Status[32] = {};
  DWORD Size = sizeof(Status);
  DWORD Index = 0;
  if (!HttpQueryInfoA(hRequest, HTTP_QUERY_STATUS_CODE, Status, &Size, &Index)) return false;
  return !(Status[0] == '2' && std::strlen(Status) == 3) || std::strcmp(Status, "206") == 0;
}

// True when every further Content-Length header, from Index on, repeats First: with two lengths
// that differ, no one knows which part of the body is the file.
bool LengthsAgree(HINTERNET hRequest, const char* First, DWORD Index) {
  char Other[LengthBufferSize];
  for (;;) {
    DWORD Size = LengthBufferSize;
    if (!HttpQueryInfoA(hRequest, HTTP_QUERY_CONTENT_LENGTH, Other, &Size, &Index))
      return GetLastError() == ERROR_HTTP_HEADER_NOT_FOUND;
    if (std::strcmp(Other, First) != 0) return false;
  }
}

// True when the body comes in a transfer coding: its length then says nothing about the file, and
// a response that gives both is malformed (an HTTP/1.0 request is never answered in chunks).
bool HasTransferCoding(HINTERNET hRequest) {
  char Coding[LengthBufferSize];
  DWORD Size = LengthBufferSize;
  DWORD Index = 0;
  return HttpQueryInfoA(hRequest, HTTP_QUERY_TRANSFER_ENCODING, Coding, &Size, &Index) ||
         GetLastError() != ERROR_HTTP_HEADER_NOT_FOUND;
}

}  // namespace

THTTPGetThread::THTTPGetThread(std::string AAcceptTypes, std::string AAgent, std::string AURL,
                               std::string AFileName, std::string AUserName, std::string APassword,
                               std::string APostQuery, std::string AReferer, bool ABinaryData,
                               bool AUseCache, TOnProgressEvent AProgress, bool AToFile)
    : TThread(true) {
  FreeOnTerminate = true;
  AcceptTypes = std::move(AAcceptTypes);
  Agent = std::move(AAgent);
  URL = std::move(AURL);
  FileName = std::move(AFileName);
  UserName = std::move(AUserName);
  Password = std::move(APassword);
  PostQuery = std::move(APostQuery);
  Referer = std::move(AReferer);
  ProgressHandler = std::move(AProgress);
  BinaryData = ABinaryData;
  UseCache = AUseCache;
  FileTarget = AToFile;
}

void THTTPGetThread::Execute() {
  TDownloadResources R;
  const auto Stop = [this] { Succeeded = false; };
  try {
    std::string Host, Path;
    SplitUrl(URL, Host, Path);
    if (Terminated()) return Stop();

    R.hSession = InternetOpenA(Agent.empty() ? nullptr : Agent.c_str(),
                               INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    LimitWaiting(R.hSession);
    R.hConnect = InternetConnectA(R.hSession, Host.c_str(), INTERNET_DEFAULT_HTTP_PORT,
                                  UserName.c_str(), Password.c_str(), INTERNET_SERVICE_HTTP, 0, 0);
    const std::string AcceptEntry = "Accept: " + AcceptTypes;
    LPCSTR AcceptList[] = {AcceptEntry.c_str(), nullptr};
    R.hRequest =
        HttpOpenRequestA(R.hConnect, PostQuery.empty() ? "GET" : "POST", Path.c_str(), "HTTP/1.0",
                         Referer.c_str(), AcceptList, UseCache ? 0 : FreshCopyFlags, 0);
    LimitWaiting(R.hRequest);
    if (!UseCache) {
      HttpAddRequestHeadersA(R.hRequest, FreshCopyHeader, sizeof FreshCopyHeader - 1,
                             HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE);
    }
    if (PostQuery.empty())
      HttpSendRequestA(R.hRequest, nullptr, 0, nullptr, 0);
    else
      HttpSendRequestA(R.hRequest, PostHeader, 47, PostQuery.data(),
                       static_cast<DWORD>(PostQuery.size()));
    if (Terminated()) return Stop();
    if (IsErrorResponse(R.hRequest)) return Stop();

    R.LengthBuffer.reset(new char[LengthBufferSize]);
    DWORD LengthSize = LengthBufferSize;
    DWORD Index = 0;
    Succeeded = HttpQueryInfoA(R.hRequest, HTTP_QUERY_CONTENT_LENGTH, R.LengthBuffer.get(),
                               &LengthSize, &Index) != FALSE;
    if (Terminated()) return Stop();
    if (Succeeded && !LengthsAgree(R.hRequest, R.LengthBuffer.get(), Index)) return Stop();
    if (Succeeded && HasTransferCoding(R.hRequest)) return Stop();
    if (!Succeeded && BinaryData) return;
    if (Succeeded) TotalSize = StrToInt(std::string(R.LengthBuffer.get()));

    Readed = 0;
    if (FileTarget)
      R.F.Rewrite(FileName);
    else
      ResultText.clear();
    char Buffer[ReadBufferSize];
    auto WindowStart = std::chrono::steady_clock::now();
    std::int32_t WindowBytes = 0;
    for (;;) {
      if (Terminated()) {
        if (FileTarget) R.F.CloseFile();
        return Stop();
      }
      DWORD Count = 0;
      const BOOL Read = InternetReadFile(R.hRequest, Buffer, ReadBufferSize, &Count);
      ChunkSize = Count;
      if (!Read || ChunkSize == 0) break;
      // A body longer than the count can hold is no download this component can report.
      if (ChunkSize > static_cast<std::uint32_t>(INT32_MAX - Readed)) {
        if (FileTarget) R.F.CloseFile();
        return Stop();
      }
      if (FileTarget)
        R.F.BlockWrite(Buffer, ChunkSize);
      else
        ResultText.append(Buffer, ChunkSize);
      Readed += static_cast<std::int32_t>(ChunkSize);
      WindowBytes += static_cast<std::int32_t>(ChunkSize);
      // A read that waited for a whole buffer counts by its own length of time.
      const auto Now = std::chrono::steady_clock::now();
      if (const auto Span = Now - WindowStart; Span >= TrickleWindow) {
        if (WindowBytes < TrickleBytes * (std::chrono::duration<double>(Span) / TrickleWindow)) {
          if (FileTarget) R.F.CloseFile();
          return Stop();
        }
        WindowStart = Now;
        WindowBytes = 0;
      }
      // The call carries the two figures with it: the main thread finds them in the cache line
      // that brings it the call, instead of fetching the line that this thread has just written.
      if (ProgressHandler) {
        Synchronize([this, Total = TotalSize, Read = Readed] { ReportProgress(Total, Read); });
      }
    }

    Succeeded = FileTarget ? TotalSize == Readed : Readed != 0;
    if (FileTarget) R.F.CloseFile();
  } catch (...) {
    // A file that cannot be written, a length that is no number or a progress handler that
    // raised: the download has failed. The resources are released on the way out.
    Succeeded = false;
  }
}

// The figures are TotalSize and Readed as they stand: the worker waits while this runs.
void THTTPGetThread::ReportProgress(std::int32_t ATotalSize, std::int32_t AReaded) {
  if (!Orphaned) ProgressHandler(this, ATotalSize, AReaded);
}

THTTPGet::THTTPGet(TComponent* AOwner) : TComponent(AOwner) {
  AcceptTypes = "*/*";
  Agent = "Kestrune HTTPGet";
}

THTTPGet::~THTTPGet() {
  *FAlive = false;
  StopDownload();
  if (Worker) {
    // The worker ends on its own; nothing of this component may be reached from it any more.
    // Inside the completion events the handler is the one running: it is left to end by itself.
    if (!FInCompletion) Worker->OnTerminate = nullptr;
    Worker->Orphaned = true;
    Worker = nullptr;
  }
}

void THTTPGet::DownloadFile() {
  if (Worker) return;
  Worker = new THTTPGetThread(AcceptTypes, Agent, URL, FileName, UserName, Password, PostQuery,
                              Referer, BinaryData, UseCache, OnProgress, true);
  Worker->OnTerminate = [this](TObject* Sender) { DownloadFinished(Sender); };
  try {
    Worker->Start();
  } catch (...) {
    // No thread to run the download: it has failed, and the component is free again.
    delete std::exchange(Worker, nullptr);
    if (const TNotifyEvent Handler = OnError) Handler(this);
    return;
  }
  if (!WaitThread) return;
  // The download's events reach this thread through its message handling, so they are raised
  // inside this loop; DownloadFinished ends it by clearing Worker. A handler may destroy the
  // component, which ends the loop too.
  const std::shared_ptr<bool> Alive = FAlive;
  while (*Alive && Worker) Application->WaitMessage(100);
}

void THTTPGet::StopDownload() {
  if (!Worker) return;
  Worker->Terminate();
  Worker->Succeeded = false;
}

void THTTPGet::DownloadFinished(TObject*) {
  THTTPGetThread* Done = Worker;
  // Worker is cleared after the event has returned, also when its handler raises, unless the
  // handler has destroyed this component.
  struct ClearWorker {
    THTTPGet* Self;
    std::shared_ptr<bool> Alive;
    ~ClearWorker() {
      if (!*Alive) return;
      Self->Worker = nullptr;
      Self->FInCompletion = false;
    }
  } Clear{this, FAlive};
  FInCompletion = true;
  // The handlers run from copies: one may destroy this component and its own handler with it.
  if (Done->Succeeded && Done->FileTarget) {
    if (const TOnDoneFileEvent Handler = OnDoneFile) Handler(this, Done->FileName, Done->TotalSize);
  } else if (Done->Succeeded) {
    if (const TOnDoneStringEvent Handler = OnDoneString) Handler(this, Done->ResultText);
  } else {
    if (const TNotifyEvent Handler = OnError) Handler(this);
  }
}
