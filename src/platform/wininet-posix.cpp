// The Windows Internet client functions over libcurl.
//
// Each request owns a curl easy handle in a multi handle of its own, so the caller pulls the
// body: the transfer is driven only while the request holds no unread bytes. libcurl hands one
// receive from the socket over in pieces of at most CURL_MAX_WRITE_SIZE; the request keeps every
// piece of it and pauses receiving at the first, so that one receive at most is buffered and
// libcurl never has to hold (and copy) the rest of it.
// Handles are independent of their parents (a connection and a request copy what they need), so
// they may be closed in any order, and from any thread: a handle closed while another thread uses
// it ends that use with ERROR_INTERNET_OPERATION_CANCELLED and is freed when the use returns.
#include "wininet.h"

#include <curl/curl.h>
#include <openssl/crypto.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/responsehead-posix.h"

namespace {

constexpr DWORD INTERNET_OPEN_TYPE_PROXY = 3;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_INTERNET_INTERNAL_ERROR = 12004;
constexpr DWORD ERROR_INTERNET_INVALID_URL = 12005;
constexpr DWORD ERROR_INTERNET_OPERATION_CANCELLED = 12017;
constexpr DWORD ERROR_INTERNET_INVALID_OPTION = 12009;
constexpr DWORD ERROR_INTERNET_INCORRECT_HANDLE_TYPE = 12018;
constexpr DWORD ERROR_INTERNET_INCORRECT_HANDLE_STATE = 12019;
constexpr DWORD ERROR_INTERNET_CONNECTION_RESET = 12031;
constexpr DWORD ERROR_HTTP_INVALID_QUERY_REQUEST = 12061;
constexpr DWORD ERROR_HTTP_INVALID_SERVER_RESPONSE = 12152;
constexpr DWORD ERROR_HTTP_REDIRECT_FAILED = 12156;

// Unless set otherwise by InternetSetOptionA: a transfer that delivers nothing for this long
// fails, as does a connection attempt (milliseconds).
constexpr DWORD kDefaultLimit = 60'000;
constexpr long kMaxRedirects = 10;
// How much of the body libcurl takes from the socket at a time, and the socket's receive buffer
// (the kernel doubles it, up to its own ceiling).
constexpr long kReceiveBuffer = 256 * 1024;
constexpr int kSocketReceiveBuffer = 4 * 1024 * 1024;
// dwHeadersLength value meaning "the headers text is zero-terminated".
constexpr DWORD kZeroTerminated = 0xFFFFFFFF;

// libcurl starts the cryptography library, which by default frees its global state at exit: a
// request thread that is still ending may be inside it then. Started first by this client, the
// library is left to the end of the process.
void InitialiseCurlOnce() {
  static std::once_flag Once;
  std::call_once(Once, [] {
    OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
    curl_global_init(CURL_GLOBAL_DEFAULT);
  });
}

std::optional<std::string> OptionalText(LPCSTR Text) {
  if (Text == nullptr || *Text == '\0') return std::nullopt;
  return std::string(Text);
}

// Bytes that cannot travel in a request line are percent-encoded; all others go as given. '#'
// counts among them, since a parser would take the rest for a fragment and drop it.
std::string EncodeTarget(std::string_view Object) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string Target;
  if (Object.empty() || Object.front() != '/') Target = "/";
  for (const unsigned char C : Object) {
    if (C <= 0x20 || C >= 0x7F || C == '#') {
      Target += '%';
      Target += kDigits[C >> 4];
      Target += kDigits[C & 15];
    } else {
      Target += static_cast<char>(C);
    }
  }
  return Target;
}

// The host part of a server name; a port written after it is not used. Empty when what follows
// the host is no port ("https:" is a scheme, not a host).
std::string HostName(const std::string& Server) {
  const std::size_t HostEnd =
      !Server.empty() && Server.front() == '[' ? Server.find(']') + 1 : Server.find(':');
  if (HostEnd == std::string::npos || HostEnd >= Server.size()) return Server;
  const std::string Rest = Server.substr(HostEnd);
  const bool Port = Rest.size() > 1 && Rest[0] == ':' &&
                    Rest.find_first_not_of("0123456789", 1) == std::string::npos;
  return Port ? Server.substr(0, HostEnd) : "";
}

// A DNS name, an IPv4 address or a bracketed IPv6 address; anything else would change the
// meaning of the URL built around it.
bool ValidHostName(const std::string& Host) {
  if (Host.size() > 2 && Host.front() == '[' && Host.back() == ']') {
    return Host.find_first_not_of("0123456789abcdefABCDEF:.", 1) == Host.size() - 1;
  }
  return !Host.empty() && std::all_of(Host.begin(), Host.end(), [](char C) {
    return std::isalnum(static_cast<unsigned char>(C)) || C == '-' || C == '.' || C == '_';
  });
}

// A decimal length of 0 or more; anything else counts as no length.
std::optional<std::int64_t> ParseLength(std::string_view Text) {
  if (Text.empty() || Text.size() > 18) return std::nullopt;
  std::int64_t Value = 0;
  for (const char C : Text) {
    if (C < '0' || C > '9') return std::nullopt;
    Value = Value * 10 + (C - '0');
  }
  return Value;
}

// The lines of a caller's header text (CR LF or LF between them), without their ends; empty
// lines are dropped.
std::vector<std::string> HeaderLines(std::string_view Headers) {
  std::vector<std::string> Lines;
  while (!Headers.empty()) {
    const auto End = Headers.find('\n');
    std::string Line(TrimHeadText(Headers.substr(0, End)));
    Headers = End == std::string_view::npos ? std::string_view() : Headers.substr(End + 1);
    if (!Line.empty()) Lines.push_back(std::move(Line));
  }
  return Lines;
}

DWORD ErrorFromCurl(CURLcode Code) {
  switch (Code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return ERROR_INTERNET_NAME_NOT_RESOLVED;
    case CURLE_COULDNT_CONNECT:
      return ERROR_INTERNET_CANNOT_CONNECT;
    case CURLE_OPERATION_TIMEDOUT:
      return ERROR_INTERNET_TIMEOUT;
    case CURLE_URL_MALFORMAT:
      return ERROR_INTERNET_INVALID_URL;
    case CURLE_TOO_MANY_REDIRECTS:
      return ERROR_HTTP_REDIRECT_FAILED;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_UNSUPPORTED_PROTOCOL:
      return ERROR_HTTP_INVALID_SERVER_RESPONSE;
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
      return ERROR_INTERNET_CONNECTION_RESET;
    case CURLE_OUT_OF_MEMORY:
      return ERROR_NOT_ENOUGH_MEMORY;
    case CURLE_ABORTED_BY_CALLBACK:
      return ERROR_INTERNET_OPERATION_CANCELLED;
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
      return ERROR_INTERNET_CONNECTION_ABORTED;
    default:
      return ERROR_INTERNET_INTERNAL_ERROR;
  }
}

// A multi interface failure as the transfer's own result, which ErrorFromCurl then maps.
CURLcode TransferResultFromMulti(CURLMcode Code) {
  switch (Code) {
    case CURLM_OUT_OF_MEMORY:
      return CURLE_OUT_OF_MEMORY;
    case CURLM_ABORTED_BY_CALLBACK:
      return CURLE_ABORTED_BY_CALLBACK;
    default:  // a fault of the stand-in or of libcurl: a handle or socket it no longer knows
      return CURLE_FAILED_INIT;
  }
}

DWORD ErrorFromRefusedOption(CURLcode Code) {
  switch (Code) {
    case CURLE_OUT_OF_MEMORY:
      return ERROR_NOT_ENOUGH_MEMORY;
    case CURLE_UNKNOWN_OPTION:
    case CURLE_NOT_BUILT_IN:
    case CURLE_UNSUPPORTED_PROTOCOL:
      return ERROR_NOT_SUPPORTED;
    default:  // a value libcurl rejects, such as a text longer than it takes
      return ERROR_INVALID_PARAMETER;
  }
}

BOOL Fail(DWORD Error) {
  SetLastError(Error);
  return FALSE;
}

enum class HandleKind { kInternet, kConnection, kRequest };

struct Handle {
  explicit Handle(HandleKind AKind) : Kind(AKind) {}
  virtual ~Handle() = default;
  const HandleKind Kind;
  // Set when the handle is closed; a transfer under way on another thread then stops.
  std::atomic<bool> Closed{false};
};

struct InternetSettings {
  std::optional<std::string> Agent;
  DWORD AccessType = INTERNET_OPEN_TYPE_PRECONFIG;
  std::optional<std::string> Proxy;
  std::optional<std::string> ProxyBypass;
  DWORD ConnectLimit = kDefaultLimit;
  DWORD SendLimit = kDefaultLimit;
  DWORD ReceiveLimit = kDefaultLimit;
};

struct InternetHandle : Handle {
  InternetHandle() : Handle(HandleKind::kInternet) {}
  InternetSettings Settings;
};

struct ConnectionSettings {
  InternetSettings Internet;
  std::string Server;
  INTERNET_PORT Port = INTERNET_DEFAULT_HTTP_PORT;
  std::optional<std::string> UserName;
  std::string Password;
};

struct ConnectionHandle : Handle {
  ConnectionHandle() : Handle(HandleKind::kConnection) {}
  ConnectionSettings Settings;
};

class RequestHandle : public Handle {
 public:
  RequestHandle() : Handle(HandleKind::kRequest) {}
  ~RequestHandle() override { EndTransfer(); }

  ConnectionSettings Connection;
  std::string Verb = "GET";
  std::string Target;
  long Version = CURL_HTTP_VERSION_1_1;
  std::optional<std::string> Referrer;
  std::optional<std::string> Accept;
  bool PragmaNoCache = false;
  // Lines given through HttpAddRequestHeadersA, each "Name: value".
  std::vector<std::string> AddedHeaders;

  BOOL Send(std::string_view Headers, std::string_view Body);
  BOOL Read(char* Buffer, DWORD Count, DWORD* Delivered);
  BOOL Query(DWORD Level, LPVOID Buffer, LPDWORD Length, LPDWORD Index) const;

 private:
  static size_t OnHeader(char* Data, size_t Size, size_t Count, void* User);
  static size_t OnBody(char* Data, size_t Size, size_t Count, void* User);
  static int OnSocket(void* User, curl_socket_t Socket, curlsocktype Purpose);

  bool Prepare(std::string_view Headers, std::string_view Body, DWORD& Error);
  bool PrepareUrl(DWORD& Error);
  void AddHeaders(std::string_view Headers, bool HasBody);
  void HeadEnded();
  static int OnTransferProgress(void* User, curl_off_t, curl_off_t, curl_off_t, curl_off_t);
  // Runs the transfer until Done() holds or the transfer has ended.
  template <typename Predicate>
  void Drive(Predicate Done);
  void EndTransfer();
  void ResetResponse();
  bool Buffered() const { return FBufferStart != FBufferEnd; }
  std::optional<std::string> HeaderValue(std::string_view Name, DWORD Index) const;

  CURL* FEasy = nullptr;
  CURLM* FMulti = nullptr;
  CURLU* FUrl = nullptr;
  curl_slist* FHeaders = nullptr;
  std::string FBody;

  // The head being received, and the final one once it is complete.
  TResponseHead FHead;

  std::vector<char> FBuffer;
  std::size_t FBufferStart = 0;
  std::size_t FBufferEnd = 0;
  bool FPaused = false;
  std::optional<std::int64_t> FExpected;  // the announced length, when it is a valid number
  std::int64_t FReceived = 0;
  bool FBodyComplete = false;
  bool FTransferDone = false;
  CURLcode FResult = CURLE_OK;
};

// Every live handle; a handle given to a function is looked up here, so a stale or foreign
// pointer fails cleanly instead of being used. A caller holds its own reference while it uses a
// handle, so closing it on another thread frees it only when that use returns. Never destroyed:
// a request thread may still close its handles while the process exits.
struct HandleRegistry {
  std::mutex Mutex;
  std::unordered_map<Handle*, std::shared_ptr<Handle>> Handles;
};

HandleRegistry& Registry() {
  static auto* const Instance = new HandleRegistry;
  return *Instance;
}

HINTERNET Register(std::shared_ptr<Handle> H) {
  std::lock_guard Lock(Registry().Mutex);
  Handle* Key = H.get();
  Registry().Handles.emplace(Key, std::move(H));
  return Key;
}

template <typename T>
std::shared_ptr<T> Find(HINTERNET H, HandleKind Kind) {
  std::shared_ptr<Handle> Found;
  {
    std::lock_guard Lock(Registry().Mutex);
    const auto It = Registry().Handles.find(static_cast<Handle*>(H));
    if (It != Registry().Handles.end()) Found = It->second;
  }
  if (Found == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (Found->Kind != Kind) {
    SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
    return nullptr;
  }
  return std::static_pointer_cast<T>(Found);
}

size_t RequestHandle::OnHeader(char* Data, size_t Size, size_t Count, void* User) {
  auto* R = static_cast<RequestHandle*>(User);
  const size_t Length = Size * Count;
  const bool WasComplete = R->FHead.Complete();
  R->FHead.TakeLine(std::string_view(Data, Length));
  if (!WasComplete && R->FHead.Complete()) R->HeadEnded();
  return Length;
}

void RequestHandle::HeadEnded() {
  if (const auto Text = HeaderValue("Content-Length", 0)) FExpected = ParseLength(*Text);
  if (FExpected && *FExpected == 0) FBodyComplete = true;
}

int RequestHandle::OnSocket(void*, curl_socket_t Socket, curlsocktype) {
  const int Size = kSocketReceiveBuffer;
  setsockopt(Socket, SOL_SOCKET, SO_RCVBUF, &Size, sizeof Size);
  return CURL_SOCKOPT_OK;
}

// Ends the transfer once the handle has been closed on another thread.
int RequestHandle::OnTransferProgress(void* User, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<RequestHandle*>(User)->Closed ? 1 : 0;
}

size_t RequestHandle::OnBody(char* Data, size_t Size, size_t Count, void* User) {
  auto* R = static_cast<RequestHandle*>(User);
  const size_t Length = Size * Count;
  if (!R->Buffered()) R->FBufferStart = R->FBufferEnd = 0;
  // More than one receive can hold is left to libcurl, which delivers it again once unpaused.
  if (R->FBufferEnd + Length > static_cast<size_t>(kReceiveBuffer)) {
    R->FPaused = true;
    return CURL_WRITEFUNC_PAUSE;
  }
  R->FHead.MarkComplete();
  if (R->FBodyComplete) return Length;
  // Bytes beyond the announced length are not part of the body.
  size_t Keep = Length;
  if (R->FExpected) Keep = std::min<std::int64_t>(Keep, *R->FExpected - R->FReceived);
  if (R->FBuffer.size() < static_cast<size_t>(kReceiveBuffer)) R->FBuffer.resize(kReceiveBuffer);
  std::memcpy(R->FBuffer.data() + R->FBufferEnd, Data, Keep);
  R->FBufferEnd += Keep;
  R->FReceived += static_cast<std::int64_t>(Keep);
  if (R->FExpected && R->FReceived == *R->FExpected) R->FBodyComplete = true;
  // The rest of this receive still comes here; the next one waits until the caller has taken
  // all of it.
  if (!R->FPaused) {
    R->FPaused = true;
    curl_easy_pause(R->FEasy, CURLPAUSE_RECV);
  }
  return Length;
}

std::optional<std::string> RequestHandle::HeaderValue(std::string_view Name, DWORD Index) const {
  return FHead.Value(Name, Index);
}

template <typename Predicate>
void RequestHandle::Drive(Predicate Done) {
  while (!Done() && !FTransferDone) {
    if (Closed) {
      FTransferDone = true;
      FResult = CURLE_ABORTED_BY_CALLBACK;
      return;
    }
    if (FPaused && !Buffered()) {
      FPaused = false;
      // Delivers what libcurl holds, if anything, to OnBody before it returns, as a rule.
      curl_easy_pause(FEasy, CURLPAUSE_CONT);
      continue;
    }
    int Running = 0;
    if (const CURLMcode Code = curl_multi_perform(FMulti, &Running); Code != CURLM_OK) {
      FTransferDone = true;
      FResult = TransferResultFromMulti(Code);
      return;
    }
    int Queued = 0;
    while (CURLMsg* Message = curl_multi_info_read(FMulti, &Queued)) {
      if (Message->msg != CURLMSG_DONE) continue;
      FTransferDone = true;
      FResult = Message->data.result;
    }
    if (Done() || FTransferDone || FPaused) continue;
    // Waits for the socket or for libcurl's next timer, whichever comes first.
    if (const CURLMcode Code = curl_multi_poll(FMulti, nullptr, 0, 1000, nullptr);
        Code != CURLM_OK) {
      FTransferDone = true;
      FResult = TransferResultFromMulti(Code);
      return;
    }
  }
}

void RequestHandle::EndTransfer() {
  if (FMulti && FEasy) curl_multi_remove_handle(FMulti, FEasy);
  if (FEasy) curl_easy_cleanup(FEasy);
  if (FMulti) curl_multi_cleanup(FMulti);
  if (FUrl) curl_url_cleanup(FUrl);
  curl_slist_free_all(FHeaders);
  FEasy = nullptr;
  FMulti = nullptr;
  FUrl = nullptr;
  FHeaders = nullptr;
}

void RequestHandle::ResetResponse() {
  FHead.Reset();
  FBufferStart = FBufferEnd = 0;
  FPaused = false;
  FExpected.reset();
  FReceived = 0;
  FBodyComplete = false;
  FTransferDone = false;
  FResult = CURLE_OK;
}

bool RequestHandle::PrepareUrl(DWORD& Error) {
  const std::string Host = HostName(Connection.Server);
  if (!ValidHostName(Host)) {
    Error = ERROR_INTERNET_NAME_NOT_RESOLVED;
    return false;
  }
  // Parsed as a whole with the path kept as is: setting the path part alone would have libcurl
  // rewrite the case of percent escapes, and without PATH_AS_IS it would remove dot segments.
  const std::string Url = "http://" + Host + ":" + std::to_string(Connection.Port) + Target;
  FUrl = curl_url();
  if (!FUrl || curl_url_set(FUrl, CURLUPART_URL, Url.c_str(), CURLU_PATH_AS_IS) != CURLUE_OK) {
    Error = FUrl ? ERROR_INTERNET_INVALID_URL : ERROR_NOT_ENOUGH_MEMORY;
    return false;
  }
  return true;
}

// The request's own headers and the caller's lines; the empty "Name:" forms stop libcurl from
// adding a header of its own.
void RequestHandle::AddHeaders(std::string_view Headers, bool HasBody) {
  FHeaders = curl_slist_append(FHeaders, Accept ? ("Accept: " + *Accept).c_str() : "Accept:");
  FHeaders = curl_slist_append(FHeaders, PragmaNoCache ? "Pragma: no-cache" : "Pragma:");
  FHeaders = curl_slist_append(FHeaders, "Expect:");
  // A proxy asked to keep the connection open would leave a followed redirect's body, which is
  // read up to the close, waiting.
  FHeaders = curl_slist_append(FHeaders, "Proxy-Connection:");
  for (const std::string& Line : AddedHeaders) FHeaders = curl_slist_append(FHeaders, Line.c_str());
  bool HasContentType = false;
  for (const std::string& Line : HeaderLines(Headers)) {
    HasContentType = HasContentType || StartsWithNoCase(Line, "Content-Type:");
    FHeaders = curl_slist_append(FHeaders, Line.c_str());
  }
  if (HasBody && !HasContentType) FHeaders = curl_slist_append(FHeaders, "Content-Type:");
}

bool RequestHandle::Prepare(std::string_view Headers, std::string_view Body, DWORD& Error) {
  FEasy = curl_easy_init();
  FMulti = curl_multi_init();
  if (!FEasy || !FMulti) {
    Error = ERROR_NOT_ENOUGH_MEMORY;
    return false;
  }
  if (!PrepareUrl(Error)) return false;
  const bool HasBody = !Body.empty() || Verb == "POST";
  FBody.assign(Body);
  AddHeaders(Headers, HasBody);
  // The request relies on every option it sets: the first one libcurl refuses (one this build of
  // libcurl lacks, a value it rejects) fails the request rather than letting it run without.
  CURLcode Refused = CURLE_OK;
  const auto Check = [&Refused](CURLcode Result) {
    if (Refused == CURLE_OK) Refused = Result;
  };
  Check(curl_easy_setopt(FEasy, CURLOPT_CURLU, FUrl));
  Check(curl_easy_setopt(FEasy, CURLOPT_HTTP_VERSION, Version));
  Check(curl_easy_setopt(FEasy, CURLOPT_HTTPHEADER, FHeaders));
  Check(curl_easy_setopt(FEasy, CURLOPT_NOSIGNAL, 1L));
  // The body is read in large pieces and the kernel may hold several megabytes of it: the caller
  // takes it 1025 bytes at a time, and a sender that waits for a busy processor must not leave
  // the connection dry.
  Check(curl_easy_setopt(FEasy, CURLOPT_BUFFERSIZE, kReceiveBuffer));
  Check(curl_easy_setopt(FEasy, CURLOPT_SOCKOPTFUNCTION, &RequestHandle::OnSocket));
  Check(curl_easy_setopt(FEasy, CURLOPT_FOLLOWLOCATION, 1L));
  // Only http, also where a redirect points: another scheme would leave the proxy and reach a
  // host of the server's choosing. No reply to a proxy's CONNECT is ever taken for the head.
  Check(curl_easy_setopt(FEasy, CURLOPT_PROTOCOLS_STR, "http"));
  Check(curl_easy_setopt(FEasy, CURLOPT_REDIR_PROTOCOLS_STR, "http"));
  Check(curl_easy_setopt(FEasy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L));
  Check(curl_easy_setopt(FEasy, CURLOPT_NOPROGRESS, 0L));
  Check(curl_easy_setopt(FEasy, CURLOPT_XFERINFOFUNCTION, &RequestHandle::OnTransferProgress));
  Check(curl_easy_setopt(FEasy, CURLOPT_XFERINFODATA, this));
  Check(curl_easy_setopt(FEasy, CURLOPT_MAXREDIRS, kMaxRedirects));
  const InternetSettings& Internet = Connection.Internet;
  // libcurl watches sending and receiving alike, in whole seconds: the longer limit of the two.
  const DWORD StallLimit = std::max(Internet.SendLimit, Internet.ReceiveLimit);
  Check(
      curl_easy_setopt(FEasy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(Internet.ConnectLimit)));
  Check(curl_easy_setopt(FEasy, CURLOPT_LOW_SPEED_LIMIT, 1L));
  Check(curl_easy_setopt(FEasy, CURLOPT_LOW_SPEED_TIME,
                         static_cast<long>((StallLimit + 999) / 1000)));
  // The announced length is handed to the caller as text and enforced here (OnBody, Read), so
  // that a length libcurl would reject ("abc", "-5") still lets the head through.
  Check(curl_easy_setopt(FEasy, CURLOPT_IGNORE_CONTENT_LENGTH, 1L));
  Check(curl_easy_setopt(FEasy, CURLOPT_HEADERFUNCTION, &RequestHandle::OnHeader));
  Check(curl_easy_setopt(FEasy, CURLOPT_HEADERDATA, this));
  Check(curl_easy_setopt(FEasy, CURLOPT_WRITEFUNCTION, &RequestHandle::OnBody));
  Check(curl_easy_setopt(FEasy, CURLOPT_WRITEDATA, this));
  if (Internet.Agent) Check(curl_easy_setopt(FEasy, CURLOPT_USERAGENT, Internet.Agent->c_str()));
  // Without a proxy setting of its own libcurl takes http_proxy and no_proxy from the
  // environment, which is the system's configuration here.
  if (Internet.AccessType == INTERNET_OPEN_TYPE_DIRECT)
    Check(curl_easy_setopt(FEasy, CURLOPT_PROXY, ""));
  if (Internet.AccessType == INTERNET_OPEN_TYPE_PROXY && Internet.Proxy) {
    Check(curl_easy_setopt(FEasy, CURLOPT_PROXY, Internet.Proxy->c_str()));
    if (Internet.ProxyBypass)
      Check(curl_easy_setopt(FEasy, CURLOPT_NOPROXY, Internet.ProxyBypass->c_str()));
  }
  if (Referrer) Check(curl_easy_setopt(FEasy, CURLOPT_REFERER, Referrer->c_str()));
  if (Connection.UserName) {
    Check(curl_easy_setopt(FEasy, CURLOPT_USERNAME, Connection.UserName->c_str()));
    Check(curl_easy_setopt(FEasy, CURLOPT_PASSWORD, Connection.Password.c_str()));
  }
  if (HasBody) {
    Check(curl_easy_setopt(FEasy, CURLOPT_POSTFIELDS, FBody.data()));
    Check(curl_easy_setopt(FEasy, CURLOPT_POSTFIELDSIZE_LARGE,
                           static_cast<curl_off_t>(FBody.size())));
  }
  if (Verb == "HEAD") {
    Check(curl_easy_setopt(FEasy, CURLOPT_NOBODY, 1L));
  } else if (Verb != "GET" && Verb != "POST") {
    Check(curl_easy_setopt(FEasy, CURLOPT_CUSTOMREQUEST, Verb.c_str()));
  } else if (Verb == "GET" && HasBody) {
    Check(curl_easy_setopt(FEasy, CURLOPT_CUSTOMREQUEST, "GET"));
  }
  if (Refused != CURLE_OK) {
    Error = ErrorFromRefusedOption(Refused);
    return false;
  }
  if (curl_multi_add_handle(FMulti, FEasy) != CURLM_OK) {
    Error = ERROR_INTERNET_INTERNAL_ERROR;
    return false;
  }
  return true;
}

BOOL RequestHandle::Send(std::string_view Headers, std::string_view Body) {
  EndTransfer();
  ResetResponse();
  DWORD Error = ERROR_SUCCESS;
  if (!Prepare(Headers, Body, Error)) {
    EndTransfer();
    return Fail(Error);
  }
  Drive([this] { return FHead.Complete(); });
  if (FHead.Complete()) return TRUE;
  const DWORD Failure =
      FResult == CURLE_OK ? ERROR_INTERNET_CONNECTION_ABORTED : ErrorFromCurl(FResult);
  EndTransfer();
  return Fail(Failure);
}

BOOL RequestHandle::Read(char* Buffer, DWORD Count, DWORD* Delivered) {
  *Delivered = 0;
  if (!FHead.Complete()) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
  if (!Buffered() && !FBodyComplete) Drive([this] { return Buffered() || FBodyComplete; });
  if (Buffered()) {
    const std::size_t Step = std::min<std::size_t>(Count, FBufferEnd - FBufferStart);
    std::memcpy(Buffer, FBuffer.data() + FBufferStart, Step);
    FBufferStart += Step;
    *Delivered = static_cast<DWORD>(Step);
    return TRUE;
  }
  if (FBodyComplete) return TRUE;
  // The transfer has ended with nothing left to hand out.
  if (FResult == CURLE_OK && !FExpected) {
    FBodyComplete = true;
    return TRUE;
  }
  return Fail(FResult == CURLE_OK ? ERROR_INTERNET_CONNECTION_ABORTED : ErrorFromCurl(FResult));
}

BOOL RequestHandle::Query(DWORD Level, LPVOID Buffer, LPDWORD Length, LPDWORD Index) const {
  if (Length == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (!FHead.Complete()) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
  std::optional<std::string> Value;
  const DWORD Occurrence = Index ? *Index : 0;
  if (Level == HTTP_QUERY_CONTENT_LENGTH) {
    Value = HeaderValue("Content-Length", Occurrence);
  } else if (Level == HTTP_QUERY_TRANSFER_ENCODING) {
    Value = HeaderValue("Transfer-Encoding", Occurrence);
  } else if (Level == HTTP_QUERY_STATUS_CODE) {
    if (Occurrence == 0) Value = std::to_string(FHead.Status());
  } else {
    return Fail(ERROR_HTTP_INVALID_QUERY_REQUEST);
  }
  if (!Value) return Fail(ERROR_HTTP_HEADER_NOT_FOUND);
  if (Buffer == nullptr || *Length < Value->size() + 1) {
    *Length = static_cast<DWORD>(Value->size() + 1);
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  std::memcpy(Buffer, Value->c_str(), Value->size() + 1);
  *Length = static_cast<DWORD>(Value->size());
  if (Index) ++*Index;
  return TRUE;
}

}  // namespace

HINTERNET InternetOpenA(LPCSTR lpszAgent, DWORD dwAccessType, LPCSTR lpszProxy,
                        LPCSTR lpszProxyBypass, DWORD /*dwFlags*/) {
  if (dwAccessType != INTERNET_OPEN_TYPE_PRECONFIG && dwAccessType != INTERNET_OPEN_TYPE_DIRECT &&
      dwAccessType != INTERNET_OPEN_TYPE_PROXY) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  InitialiseCurlOnce();
  auto H = std::make_unique<InternetHandle>();
  H->Settings.Agent = OptionalText(lpszAgent);
  H->Settings.AccessType = dwAccessType;
  H->Settings.Proxy = OptionalText(lpszProxy);
  H->Settings.ProxyBypass = OptionalText(lpszProxyBypass);
  return Register(std::move(H));
}

HINTERNET InternetConnectA(HINTERNET hInternet, LPCSTR lpszServerName, INTERNET_PORT nServerPort,
                           LPCSTR lpszUserName, LPCSTR lpszPassword, DWORD dwService,
                           DWORD /*dwFlags*/, DWORD_PTR /*dwContext*/) {
  const auto Internet = Find<InternetHandle>(hInternet, HandleKind::kInternet);
  if (!Internet) return nullptr;
  if (dwService != INTERNET_SERVICE_HTTP || lpszServerName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto H = std::make_unique<ConnectionHandle>();
  H->Settings.Internet = Internet->Settings;
  H->Settings.Server = lpszServerName;
  H->Settings.Port = nServerPort == 0 ? INTERNET_DEFAULT_HTTP_PORT : nServerPort;
  H->Settings.UserName = OptionalText(lpszUserName);
  H->Settings.Password = lpszPassword ? lpszPassword : "";
  return Register(std::move(H));
}

HINTERNET HttpOpenRequestA(HINTERNET hConnect, LPCSTR lpszVerb, LPCSTR lpszObjectName,
                           LPCSTR lpszVersion, LPCSTR lpszReferrer, LPCSTR* lplpszAcceptTypes,
                           DWORD dwFlags, DWORD_PTR /*dwContext*/) {
  const auto Connection = Find<ConnectionHandle>(hConnect, HandleKind::kConnection);
  if (!Connection) return nullptr;
  auto H = std::make_unique<RequestHandle>();
  H->Connection = Connection->Settings;
  if (lpszVerb && *lpszVerb) H->Verb = lpszVerb;
  H->Target = EncodeTarget(lpszObjectName ? lpszObjectName : "/");
  if (lpszVersion && std::string_view(lpszVersion) == "HTTP/1.0") {
    H->Version = CURL_HTTP_VERSION_1_0;
  }
  H->Referrer = OptionalText(lpszReferrer);
  // The entries are joined into one Accept header, each as given.
  if (lplpszAcceptTypes) {
    std::string Accept;
    for (LPCSTR* Entry = lplpszAcceptTypes; *Entry; ++Entry) {
      Accept += (Accept.empty() ? "" : ", ") + std::string(*Entry);
    }
    if (!Accept.empty()) H->Accept = Accept;
  }
  H->PragmaNoCache = (dwFlags & INTERNET_FLAG_PRAGMA_NOCACHE) != 0;
  return Register(std::move(H));
}

BOOL InternetSetOptionA(HINTERNET hInternet, DWORD dwOption, LPVOID lpBuffer,
                        DWORD dwBufferLength) {
  // The caller's reference keeps the handle alive while its settings change.
  std::shared_ptr<Handle> Found;
  {
    std::lock_guard Lock(Registry().Mutex);
    const auto It = Registry().Handles.find(static_cast<Handle*>(hInternet));
    if (It == Registry().Handles.end()) return Fail(ERROR_INVALID_HANDLE);
    Found = It->second;
  }
  InternetSettings* Settings = nullptr;
  switch (Found->Kind) {
    case HandleKind::kInternet:
      Settings = &static_cast<InternetHandle*>(Found.get())->Settings;
      break;
    case HandleKind::kConnection:
      Settings = &static_cast<ConnectionHandle*>(Found.get())->Settings.Internet;
      break;
    case HandleKind::kRequest:
      Settings = &static_cast<RequestHandle*>(Found.get())->Connection.Internet;
      break;
  }
  if (lpBuffer == nullptr || dwBufferLength != sizeof(DWORD)) return Fail(ERROR_INVALID_PARAMETER);
  const DWORD Value = *static_cast<const DWORD*>(lpBuffer);
  switch (dwOption) {
    case INTERNET_OPTION_CONNECT_TIMEOUT:
      Settings->ConnectLimit = Value;
      return TRUE;
    case INTERNET_OPTION_SEND_TIMEOUT:
      Settings->SendLimit = Value;
      return TRUE;
    case INTERNET_OPTION_RECEIVE_TIMEOUT:
      Settings->ReceiveLimit = Value;
      return TRUE;
    default:
      return Fail(ERROR_INTERNET_INVALID_OPTION);
  }
}

BOOL HttpAddRequestHeadersA(HINTERNET hRequest, LPCSTR lpszHeaders, DWORD dwHeadersLength,
                            DWORD dwModifiers) {
  const auto Request = Find<RequestHandle>(hRequest, HandleKind::kRequest);
  if (!Request) return FALSE;
  if (lpszHeaders == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  std::string_view Headers = dwHeadersLength == kZeroTerminated
                                 ? std::string_view(lpszHeaders)
                                 : std::string_view(lpszHeaders, dwHeadersLength);
  const std::vector<std::string> Lines = HeaderLines(Headers);
  for (const std::string& Line : Lines) {
    if (Line.find(':') == std::string::npos || Line.front() == ':')
      return Fail(ERROR_INVALID_PARAMETER);
  }
  std::vector<std::string>& Added = Request->AddedHeaders;
  for (const std::string& Line : Lines) {
    if (dwModifiers & HTTP_ADDREQ_FLAG_REPLACE) {
      const std::string Name = Line.substr(0, Line.find(':') + 1);
      Added.erase(
          std::remove_if(Added.begin(), Added.end(),
                         [&](const std::string& Old) { return StartsWithNoCase(Old, Name); }),
          Added.end());
    }
    Added.push_back(Line);
  }
  return TRUE;
}

BOOL HttpSendRequestA(HINTERNET hRequest, LPCSTR lpszHeaders, DWORD dwHeadersLength,
                      LPVOID lpOptional, DWORD dwOptionalLength) {
  const auto Request = Find<RequestHandle>(hRequest, HandleKind::kRequest);
  if (!Request) return FALSE;
  std::string_view Headers;
  if (lpszHeaders) {
    Headers = dwHeadersLength == kZeroTerminated ? std::string_view(lpszHeaders)
                                                 : std::string_view(lpszHeaders, dwHeadersLength);
  }
  std::string_view Body;
  if (lpOptional) Body = std::string_view(static_cast<const char*>(lpOptional), dwOptionalLength);
  return Request->Send(Headers, Body);
}

BOOL HttpQueryInfoA(HINTERNET hRequest, DWORD dwInfoLevel, LPVOID lpBuffer,
                    LPDWORD lpdwBufferLength, LPDWORD lpdwIndex) {
  const auto Request = Find<RequestHandle>(hRequest, HandleKind::kRequest);
  if (!Request) return FALSE;
  return Request->Query(dwInfoLevel, lpBuffer, lpdwBufferLength, lpdwIndex);
}

BOOL InternetReadFile(HINTERNET hFile, LPVOID lpBuffer, DWORD dwNumberOfBytesToRead,
                      LPDWORD lpdwNumberOfBytesRead) {
  if (lpdwNumberOfBytesRead == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  *lpdwNumberOfBytesRead = 0;
  const auto Request = Find<RequestHandle>(hFile, HandleKind::kRequest);
  if (!Request) return FALSE;
  if (lpBuffer == nullptr && dwNumberOfBytesToRead > 0) return Fail(ERROR_INVALID_PARAMETER);
  return Request->Read(static_cast<char*>(lpBuffer), dwNumberOfBytesToRead, lpdwNumberOfBytesRead);
}

BOOL InternetCloseHandle(HINTERNET hInternet) {
  std::shared_ptr<Handle> Found;
  {
    std::lock_guard Lock(Registry().Mutex);
    auto& Handles = Registry().Handles;
    const auto It = Handles.find(static_cast<Handle*>(hInternet));
    if (It == Handles.end()) return Fail(ERROR_INVALID_HANDLE);
    Found = std::move(It->second);
    Handles.erase(It);
  }
  Found->Closed = true;
  return TRUE;
}
