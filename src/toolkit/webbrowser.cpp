#include "toolkit/webbrowser.h"

#include <windows.h>
#include <wininet.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <memory>
#include <string>
#include <utility>

namespace {

const char kAgent[] = "Mozilla/4.0 (compatible)";
const char kScheme[] = "http://";
constexpr int kDestructorWaitMs = 5000;

// URLs are plain ASCII; any other character cannot be sent and becomes '?'.
std::string ToAscii(const std::wstring& Text) {
  std::string Result;
  Result.reserve(Text.size());
  for (const wchar_t C : Text) Result += (C > 0 && C < 0x80) ? static_cast<char>(C) : '?';
  return Result;
}

std::string EncodeSpaces(const std::string& Text) {
  std::string Result;
  for (const char C : Text) {
    if (C == ' ') {
      Result += "%20";
    } else {
      Result += C;
    }
  }
  return Result;
}

bool StartsWithScheme(const std::string& Text) {
  if (Text.size() < sizeof kScheme - 1) return false;
  for (std::size_t I = 0; I + 1 < sizeof kScheme; ++I) {
    if (std::tolower(static_cast<unsigned char>(Text[I])) != kScheme[I]) return false;
  }
  return true;
}

// Host and object path of an address, the path from the first '/' on.
std::pair<std::string, std::string> SplitAddress(std::string Address) {
  if (StartsWithScheme(Address)) Address.erase(0, sizeof kScheme - 1);
  const auto Slash = Address.find('/');
  if (Slash == std::string::npos) return {Address, "/"};
  return {Address.substr(0, Slash), Address.substr(Slash)};
}

// The status request must reach the server each time, never be answered from a cache, this
// machine's or one on the way: the flags send "Pragma: no-cache" for HTTP/1.0 caches, the header
// is for HTTP/1.1 caches and those that ignore Pragma.
constexpr DWORD NoCache =
    INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE;
const char NoCacheHeader[] = "Cache-Control: no-cache\r\n";

// One GET whose answer is read and thrown away, so that the server sees a complete exchange.
void FetchAndDiscard(const std::string& Host, const std::string& Path) {
  HINTERNET Internet = InternetOpenA(kAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  HINTERNET Connection = Internet
                             ? InternetConnectA(Internet, Host.c_str(), INTERNET_DEFAULT_HTTP_PORT,
                                                nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0)
                             : nullptr;
  LPCSTR AcceptTypes[] = {"*/*", nullptr};
  HINTERNET Request = Connection ? HttpOpenRequestA(Connection, "GET", Path.c_str(), "HTTP/1.0",
                                                    nullptr, AcceptTypes, NoCache, 0)
                                 : nullptr;
  if (Request) {
    HttpAddRequestHeadersA(Request, NoCacheHeader, sizeof NoCacheHeader - 1,
                           HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE);
  }
  if (Request && HttpSendRequestA(Request, nullptr, 0, nullptr, 0)) {
    char Buffer[4096];
    DWORD Read = 0;
    while (InternetReadFile(Request, Buffer, sizeof Buffer, &Read) && Read > 0) {
    }
  }
  if (Request) InternetCloseHandle(Request);
  if (Connection) InternetCloseHandle(Connection);
  if (Internet) InternetCloseHandle(Internet);
}

// One status request on a thread of its own; the thread frees itself when the request has ended.
class TStatusRequest : public TThread {
 public:
  TStatusRequest(std::string AHost, std::string APath, std::shared_ptr<std::atomic<int>> APending)
      : TThread(true),
        Host(std::move(AHost)),
        Path(std::move(APath)),
        Pending(std::move(APending)) {
    FreeOnTerminate = true;
  }

 protected:
  void Execute() override {
    try {
      FetchAndDiscard(Host, Path);
    } catch (...) {
      // A failed status request changes nothing for the caller.
    }
    Pending->fetch_sub(1);
  }

 private:
  std::string Host;
  std::string Path;
  std::shared_ptr<std::atomic<int>> Pending;
};

}  // namespace

// Shared by the control and its request threads, so a thread that outlives the control still
// has somewhere to report its end.
struct TWebBrowser::Request {
  std::shared_ptr<std::atomic<int>> Pending = std::make_shared<std::atomic<int>>(0);
};

TWebBrowser::TWebBrowser(TComponent* AOwner, TWinControl* AParent)
    : TControl(AOwner, AParent), FRequest(std::make_shared<Request>()) {
  SetVisible(false);
}

TWebBrowser::~TWebBrowser() { WaitForNavigation(kDestructorWaitMs); }

void TWebBrowser::Navigate(const std::wstring& URL) {
  const std::string Address = ToAscii(URL);
  if (Address.empty()) throw Exception("Cannot navigate to an empty address");
  auto [Host, Path] = SplitAddress(EncodeSpaces(Address));
  if (Host.empty()) throw Exception("Cannot navigate to \"" + Address + "\": it names no host");
  auto* Request = new TStatusRequest(std::move(Host), std::move(Path), FRequest->Pending);
  FRequest->Pending->fetch_add(1);
  try {
    Request->Start();
  } catch (...) {
    // A request whose thread cannot start is one that failed: nothing to wait for or to tell.
    FRequest->Pending->fetch_sub(1);
    delete Request;
  }
}

bool TWebBrowser::WaitForNavigation(int TimeoutMs) {
  // The request thread cannot be joined (it frees itself), so its end is polled.
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
  while (FRequest->Pending->load() != 0) {
    if (std::chrono::steady_clock::now() >= Deadline) return false;
    Sleep(5);
  }
  return true;
}
