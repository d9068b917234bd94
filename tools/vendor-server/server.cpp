#include "server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <sstream>
#include <system_error>

namespace vendor {
namespace {

constexpr std::size_t kMaxHead = 64 * 1024;
constexpr std::size_t kMaxBody = 16 * 1024 * 1024;
const char kStatusPage[] = "<html><body>OK</body></html>\r\n";
const char kNotFoundPage[] = "<html><body>404 Not Found</body></html>\r\n";
const char kRedirectPage[] = "<html><body>Moved</body></html>\r\n";
const char kExcess[] = "EXCESS BYTES BEYOND THE ANNOUNCED LENGTH";

bool EqualsNoCase(const std::string& A, const std::string& B) {
  return A.size() == B.size() && std::equal(A.begin(), A.end(), B.begin(), [](char X, char Y) {
           return std::tolower(static_cast<unsigned char>(X)) ==
                  std::tolower(static_cast<unsigned char>(Y));
         });
}

std::string Trim(const std::string& Text) {
  const auto First = Text.find_first_not_of(" \t");
  if (First == std::string::npos) return "";
  return Text.substr(First, Text.find_last_not_of(" \t") + 1 - First);
}

// A body without a file behind it: a repeating, position-dependent pattern that shows
// reordering or loss.
std::string DefaultBody() {
  std::string Body;
  for (int I = 0; Body.size() < 2000; ++I) Body += "line " + std::to_string(I) + " of the body\n";
  return Body;
}

// The bytes of a response body: an open file, or text held in memory.
class BodySource {
 public:
  explicit BodySource(std::string Text) : FText(std::move(Text)), FSize(FText.size()) {}
  BodySource(int Fd, std::uint64_t Size) : FFd(Fd), FSize(Size) {}
  ~BodySource() {
    if (FFd >= 0) ::close(FFd);
  }
  BodySource(const BodySource&) = delete;
  BodySource& operator=(const BodySource&) = delete;

  std::uint64_t Size() const { return FSize; }

  // Sends Count bytes from Offset; false when the peer has gone.
  bool Send(int Socket, std::uint64_t Offset, std::uint64_t Count) const {
    if (FFd >= 0) return SendFile(Socket, Offset, Count);
    return SendAll(Socket, FText.data() + Offset, Count);
  }

  static bool SendAll(int Socket, const char* Data, std::size_t Count) {
    while (Count > 0) {
      const ssize_t Sent = ::send(Socket, Data, Count, MSG_NOSIGNAL);
      if (Sent < 0 && errno == EINTR) continue;
      if (Sent <= 0) return false;
      Data += Sent;
      Count -= static_cast<std::size_t>(Sent);
    }
    return true;
  }

 private:
  bool SendFile(int Socket, std::uint64_t Offset, std::uint64_t Count) const {
    off_t Position = static_cast<off_t>(Offset);
    while (Count > 0) {
      const std::size_t Step = static_cast<std::size_t>(std::min<std::uint64_t>(Count, 1 << 30));
      const ssize_t Sent = ::sendfile(Socket, FFd, &Position, Step);
      if (Sent < 0 && errno == EINTR) continue;
      if (Sent <= 0) return false;
      Count -= static_cast<std::uint64_t>(Sent);
    }
    return true;
  }

  int FFd = -1;
  std::string FText;
  std::uint64_t FSize;
};

// Opens root + Path when it names a regular file inside the root.
std::unique_ptr<BodySource> OpenFile(const std::string& Root, const std::string& Path) {
  if (Path.empty() || Path[0] != '/' || Path.find('\0') != std::string::npos) return nullptr;
  if (("/" + Path + "/").find("/../") != std::string::npos) return nullptr;
  const int Fd = ::open((Root + Path).c_str(), O_RDONLY | O_CLOEXEC);
  if (Fd < 0) return nullptr;
  struct stat Info {};
  if (::fstat(Fd, &Info) != 0 || !S_ISREG(Info.st_mode)) {
    ::close(Fd);
    return nullptr;
  }
  return std::make_unique<BodySource>(Fd, static_cast<std::uint64_t>(Info.st_size));
}

std::string Head(const std::string& Status, const std::string& ContentType,
                 const std::optional<std::string>& Length, const std::string& Extra = "") {
  std::string Text = "HTTP/1.0 " + Status + "\r\nServer: vendor-test\r\n";
  Text += "Content-Type: " + ContentType + "\r\n";
  if (Length) Text += "Content-Length: " + *Length + "\r\n";
  return Text + Extra + "\r\n";
}

bool SendText(int Socket, const std::string& Text) {
  return BodySource::SendAll(Socket, Text.data(), Text.size());
}

// Splits the target into its decoded path and its query; a proxy-form target loses its scheme
// and authority.
void SplitTarget(RecordedRequest& R) {
  std::string Rest = R.Target;
  if (Rest.size() >= 7 && EqualsNoCase(Rest.substr(0, 7), "http://")) {
    const auto Slash = Rest.find('/', 7);
    Rest = Slash == std::string::npos ? "/" : Rest.substr(Slash);
  }
  const auto Question = Rest.find('?');
  if (Question != std::string::npos) {
    R.Query = Rest.substr(Question + 1);
    Rest.resize(Question);
  }
  R.Path = PercentDecode(Rest);
}

}  // namespace

bool ParseRequestHead(const std::string& Head, RecordedRequest& R) {
  const std::size_t HeadEnd = Head.size() >= 2 ? Head.size() - 2 : 0;
  std::size_t LineEnd = Head.find("\r\n");
  if (LineEnd == std::string::npos) return false;
  R.RequestLine = Head.substr(0, LineEnd);
  const auto Space1 = R.RequestLine.find(' ');
  const auto Space2 = R.RequestLine.rfind(' ');
  if (Space1 == std::string::npos || Space2 == Space1) return false;
  R.Method = R.RequestLine.substr(0, Space1);
  R.Target = R.RequestLine.substr(Space1 + 1, Space2 - Space1 - 1);
  R.Version = R.RequestLine.substr(Space2 + 1);
  while (LineEnd < HeadEnd) {
    const std::size_t Start = LineEnd + 2;
    LineEnd = Head.find("\r\n", Start);
    const std::string Line = Head.substr(Start, LineEnd - Start);
    const auto Colon = Line.find(':');
    if (Colon == std::string::npos) continue;
    R.Headers.emplace_back(Line.substr(0, Colon), Trim(Line.substr(Colon + 1)));
  }
  SplitTarget(R);
  return true;
}

namespace {

// Reads the head and the body the head announces. False when the peer closed early or sent
// something that is not a request.
bool ReadRequest(int Socket, RecordedRequest& R) {
  std::string Data;
  std::size_t HeadEnd;
  char Buffer[8192];
  while ((HeadEnd = Data.find("\r\n\r\n")) == std::string::npos) {
    if (Data.size() > kMaxHead) return false;
    const ssize_t Got = ::recv(Socket, Buffer, sizeof Buffer, 0);
    if (Got < 0 && errno == EINTR) continue;
    if (Got <= 0) return false;
    Data.append(Buffer, static_cast<std::size_t>(Got));
  }
  if (!ParseRequestHead(Data.substr(0, HeadEnd + 2), R)) return false;
  R.Body = Data.substr(HeadEnd + 4);
  std::size_t Length = 0;
  if (const auto Text = R.Header("Content-Length")) {
    Length = std::min<std::size_t>(std::strtoull(Text->c_str(), nullptr, 10), kMaxBody);
  }
  while (R.Body.size() < Length) {
    const ssize_t Got = ::recv(Socket, Buffer, sizeof Buffer, 0);
    if (Got < 0 && errno == EINTR) continue;
    if (Got <= 0) break;
    R.Body.append(Buffer, static_cast<std::size_t>(Got));
  }
  return true;
}

std::string Hex(const std::string& Bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string Text;
  for (const unsigned char C : Bytes) {
    Text += kDigits[C >> 4];
    Text += kDigits[C & 15];
  }
  return Text;
}

std::optional<FaultKind> KindByName(const std::string& Name) {
  static const std::pair<const char*, FaultKind> kKinds[] = {
      {"nolength", FaultKind::kNoLength},
      {"short", FaultKind::kShort},
      {"long", FaultKind::kLong},
      {"badlength", FaultKind::kBadLength},
      {"negative", FaultKind::kNegative},
      {"huge", FaultKind::kHuge},
      {"zero", FaultKind::kZero},
      {"404", FaultKind::kNotFound},
      {"drip", FaultKind::kDrip},
      {"closehead", FaultKind::kCloseHead},
      {"redirect", FaultKind::kRedirect},
      {"slowhead", FaultKind::kSlowHead},
      {"statusheader", FaultKind::kStatusInHeader},
      {"foldedstatus", FaultKind::kFoldedStatus},
      {"206", FaultKind::kPartial},
      {"twolengths", FaultKind::kTwoLengths},
      {"stall", FaultKind::kStall},
      {"stallbody", FaultKind::kStallBody},
      {"chunkedlength", FaultKind::kChunkedLength},
  };
  for (const auto& [KindName, Kind] : kKinds) {
    if (Name == KindName) return Kind;
  }
  return std::nullopt;
}

bool ParsePositive(const std::string& Text, long Max, long& Value) {
  if (Text.empty() || Text.find_first_not_of("0123456789") != std::string::npos) return false;
  if (Text.size() > 9) return false;
  Value = std::stol(Text);
  return Value > 0 && Value <= Max;
}

}  // namespace

std::optional<std::string> RecordedRequest::Header(const std::string& Name) const {
  for (const auto& [Key, Value] : Headers) {
    if (EqualsNoCase(Key, Name)) return Value;
  }
  return std::nullopt;
}

int RecordedRequest::HeaderCount(const std::string& Name) const {
  return static_cast<int>(std::count_if(
      Headers.begin(), Headers.end(), [&](const auto& H) { return EqualsNoCase(H.first, Name); }));
}

std::optional<std::pair<std::string, Fault>> ParseFaultOption(const std::string& Option) {
  const auto Equals = Option.rfind('=');
  if (Equals == std::string::npos || Equals == 0) return std::nullopt;
  const std::string Path = Option.substr(0, Equals);
  const std::string KindText = Option.substr(Equals + 1);
  const auto Colon = KindText.find(':');
  const auto Kind = KindByName(KindText.substr(0, Colon));
  if (!Kind) return std::nullopt;
  Fault F;
  F.Kind = *Kind;
  if (Colon == std::string::npos) return std::make_pair(Path, F);
  const std::string Arguments = KindText.substr(Colon + 1);
  if (F.Kind == FaultKind::kRedirect && !Arguments.empty()) {
    F.Target = Arguments;
    return std::make_pair(Path, F);
  }
  if (F.Kind == FaultKind::kSlowHead) {
    long Ms = 0;
    if (!ParsePositive(Arguments, 60000, Ms)) return std::nullopt;
    F.HeadDelayMs = static_cast<int>(Ms);
    return std::make_pair(Path, F);
  }
  if (F.Kind != FaultKind::kDrip) return std::nullopt;
  const auto Colon2 = Arguments.find(':');
  long Bytes = 0, Ms = 0;
  if (!ParsePositive(Arguments.substr(0, Colon2), 1 << 20, Bytes)) return std::nullopt;
  F.DripBytes = static_cast<std::size_t>(Bytes);
  if (Colon2 != std::string::npos) {
    if (!ParsePositive(Arguments.substr(Colon2 + 1), 60000, Ms)) return std::nullopt;
    F.DripIntervalMs = static_cast<int>(Ms);
  }
  return std::make_pair(Path, F);
}

std::string PercentDecode(const std::string& Text) {
  std::string Result;
  for (std::size_t I = 0; I < Text.size(); ++I) {
    if (Text[I] == '%' && I + 2 < Text.size() &&
        std::isxdigit(static_cast<unsigned char>(Text[I + 1])) &&
        std::isxdigit(static_cast<unsigned char>(Text[I + 2]))) {
      Result += static_cast<char>(std::stoi(Text.substr(I + 1, 2), nullptr, 16));
      I += 2;
    } else {
      Result += Text[I];
    }
  }
  return Result;
}

std::uint16_t FindUnusedPort() {
  const int Socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (Socket < 0) throw std::system_error(errno, std::generic_category(), "socket");
  sockaddr_in Address{};
  Address.sin_family = AF_INET;
  Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t Length = sizeof Address;
  if (::bind(Socket, reinterpret_cast<sockaddr*>(&Address), sizeof Address) != 0 ||
      ::getsockname(Socket, reinterpret_cast<sockaddr*>(&Address), &Length) != 0) {
    const int Error = errno;
    ::close(Socket);
    throw std::system_error(Error, std::generic_category(), "bind");
  }
  ::close(Socket);
  return ntohs(Address.sin_port);
}

VendorServer::VendorServer(ServerOptions Options) : FOptions(std::move(Options)) {}

VendorServer::~VendorServer() { Stop(); }

void VendorServer::Start() {
  if (!FOptions.LogFile.empty()) {
    FLog = std::fopen(FOptions.LogFile.c_str(), "a");
    if (!FLog) throw std::system_error(errno, std::generic_category(), FOptions.LogFile);
  }
  FListener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (FListener < 0) throw std::system_error(errno, std::generic_category(), "socket");
  const int On = 1;
  ::setsockopt(FListener, SOL_SOCKET, SO_REUSEADDR, &On, sizeof On);
  sockaddr_in Address{};
  Address.sin_family = AF_INET;
  Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  Address.sin_port = htons(FOptions.Port);
  socklen_t Length = sizeof Address;
  if (::bind(FListener, reinterpret_cast<sockaddr*>(&Address), sizeof Address) != 0 ||
      ::listen(FListener, 64) != 0 ||
      ::getsockname(FListener, reinterpret_cast<sockaddr*>(&Address), &Length) != 0) {
    const int Error = errno;
    ::close(FListener);
    FListener = -1;
    throw std::system_error(Error, std::generic_category(), "bind 127.0.0.1");
  }
  FPort = ntohs(Address.sin_port);
  FAcceptThread = std::thread(&VendorServer::AcceptLoop, this);
}

void VendorServer::Stop() {
  {
    std::lock_guard Lock(FMutex);
    if (FStopping || FListener < 0) return;
    FStopping = true;
    // Shutting the sockets down wakes the threads blocked in accept, recv or send.
    ::shutdown(FListener, SHUT_RDWR);
    for (auto& C : FConnections) ::shutdown(C.Socket, SHUT_RDWR);
  }
  FChanged.notify_all();
  FAcceptThread.join();
  for (auto& C : FConnections) C.Thread.join();
  FConnections.clear();
  ::close(FListener);
  if (FLog) std::fclose(FLog);
  FLog = nullptr;
}

std::string VendorServer::Url() const { return "http://127.0.0.1:" + std::to_string(FPort); }

void VendorServer::SetFault(const std::string& Path, const Fault& F) {
  std::lock_guard Lock(FMutex);
  FFaults[Path] = F;
}

void VendorServer::ClearFaults() {
  std::lock_guard Lock(FMutex);
  FFaults.clear();
}

std::vector<RecordedRequest> VendorServer::Requests() const {
  std::lock_guard Lock(FMutex);
  return FRequests;
}

void VendorServer::ClearRequests() {
  std::lock_guard Lock(FMutex);
  FRequests.clear();
}

bool VendorServer::WaitForRequests(std::size_t Count, std::chrono::milliseconds Timeout) const {
  std::unique_lock Lock(FMutex);
  return FChanged.wait_for(Lock, Timeout, [&] { return FRequests.size() >= Count; });
}

void VendorServer::AcceptLoop() {
  for (;;) {
    const int Socket = ::accept4(FListener, nullptr, nullptr, SOCK_CLOEXEC);
    std::lock_guard Lock(FMutex);
    if (FStopping) {
      if (Socket >= 0) ::close(Socket);
      return;
    }
    if (Socket < 0) continue;
    ReapConnections();
    auto& C = FConnections.emplace_back();
    C.Socket = Socket;
    C.Thread = std::thread(&VendorServer::Serve, this, &C);
  }
}

// Joins the threads of finished connections; called with FMutex held.
void VendorServer::ReapConnections() {
  for (auto It = FConnections.begin(); It != FConnections.end();) {
    if (It->Done) {
      It->Thread.join();
      It = FConnections.erase(It);
    } else {
      ++It;
    }
  }
}

void VendorServer::Serve(Connection* C) {
  // A peer that goes away mid-response must end this connection, not the process.
  sigset_t Pipe;
  sigemptyset(&Pipe);
  sigaddset(&Pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &Pipe, nullptr);

  RecordedRequest R;
  if (ReadRequest(C->Socket, R)) {
    R.Time = std::chrono::system_clock::now();
    Record(R);
    Respond(C->Socket, R);
  }
  std::lock_guard Lock(FMutex);
  ::shutdown(C->Socket, SHUT_WR);
  ::close(C->Socket);
  C->Socket = -1;
  C->Done = true;
}

void VendorServer::Record(const RecordedRequest& R) {
  std::lock_guard Lock(FMutex);
  FRequests.push_back(R);
  FChanged.notify_all();
  if (!FLog) return;
  const auto Ms = std::chrono::duration_cast<std::chrono::milliseconds>(R.Time.time_since_epoch());
  std::string Text = "REQUEST " + R.RequestLine + "\n";
  Text += "TIME " + std::to_string(Ms.count()) + "\n";
  for (const auto& [Name, Value] : R.Headers) Text += "HEADER " + Name + ": " + Value + "\n";
  Text += "BODY " + Hex(R.Body) + "\nEND\n";
  std::fwrite(Text.data(), 1, Text.size(), FLog);
  std::fflush(FLog);
}

std::optional<Fault> VendorServer::FaultFor(const std::string& Path) const {
  std::lock_guard Lock(FMutex);
  auto It = FFaults.find(Path);
  if (It == FFaults.end()) It = FFaults.find("*");
  if (It == FFaults.end()) return std::nullopt;
  return It->second;
}

bool VendorServer::IsStatusPath(const std::string& Path) const {
  return std::any_of(FOptions.StatusPaths.begin(), FOptions.StatusPaths.end(),
                     [&](const std::string& S) {
                       return Path == S || (Path.rfind(S, 0) == 0 && S.back() != '/' &&
                                            Path.size() > S.size() && Path[S.size()] == '/');
                     });
}

bool VendorServer::Pause(int Ms) {
  std::unique_lock Lock(FMutex);
  return !FChanged.wait_for(Lock, std::chrono::milliseconds(Ms), [&] { return FStopping; });
}

void VendorServer::Respond(int Socket, const RecordedRequest& R) {
  const auto F = FaultFor(R.Path);
  auto Body = OpenFile(FOptions.Root, R.Path);
  const char* Type = "application/octet-stream";
  if (!Body && IsStatusPath(R.Path)) {
    Body = std::make_unique<BodySource>(kStatusPage);
    Type = "text/html";
  }
  if (!F) {
    if (!Body) {
      SendText(Socket, Head("404 Not Found", "text/html", std::to_string(strlen(kNotFoundPage))) +
                           kNotFoundPage);
      return;
    }
    if (SendText(Socket, Head("200 OK", Type, std::to_string(Body->Size())))) {
      Body->Send(Socket, 0, Body->Size());
    }
    return;
  }
  if (!Body) Body = std::make_unique<BodySource>(DefaultBody());
  const std::string Size = std::to_string(Body->Size());
  switch (F->Kind) {
    case FaultKind::kNoLength:
      if (SendText(Socket, Head("200 OK", Type, std::nullopt))) Body->Send(Socket, 0, Body->Size());
      return;
    case FaultKind::kShort:
      if (SendText(Socket, Head("200 OK", Type, Size))) Body->Send(Socket, 0, Body->Size() / 2);
      return;
    case FaultKind::kLong:
      if (SendText(Socket, Head("200 OK", Type, Size)) && Body->Send(Socket, 0, Body->Size())) {
        SendText(Socket, kExcess);
      }
      return;
    case FaultKind::kBadLength:
    case FaultKind::kNegative:
    case FaultKind::kHuge: {
      const char* Text = F->Kind == FaultKind::kBadLength  ? "abc"
                         : F->Kind == FaultKind::kNegative ? "-5"
                                                           : "2147483648";
      if (SendText(Socket, Head("200 OK", Type, Text))) Body->Send(Socket, 0, Body->Size());
      return;
    }
    case FaultKind::kZero:
      SendText(Socket, Head("200 OK", Type, "0"));
      return;
    case FaultKind::kNotFound:
      SendText(Socket, Head("404 Not Found", "text/html", std::to_string(strlen(kNotFoundPage))) +
                           kNotFoundPage);
      return;
    case FaultKind::kStatusInHeader:
    case FaultKind::kFoldedStatus: {
      // The length after the status-like line, so that a client fooled by it finds one.
      const std::string Length = "Content-Length: " + std::to_string(strlen(kNotFoundPage));
      SendText(Socket, F->Kind == FaultKind::kStatusInHeader
                           ? Head("404 Not Found", "text/html", std::nullopt,
                                  "HTTP/1.0 200 OK: x\r\n" + Length + "\r\n")
                           : Head("403 Forbidden", "text/html", std::nullopt,
                                  "X-Note: a\r\n HTTP/1.0 200 OK\r\n" + Length + "\r\n"));
      SendText(Socket, kNotFoundPage);
      return;
    }
    case FaultKind::kPartial: {
      const std::uint64_t Half = Body->Size() / 2;
      const std::string Range = "Content-Range: bytes 0-" + std::to_string(Half - 1) + "/" + Size;
      if (SendText(Socket, Head("206 Partial Content", Type, std::to_string(Half), Range + "\r\n")))
        Body->Send(Socket, 0, Half);
      return;
    }
    case FaultKind::kTwoLengths:
      if (SendText(Socket, Head("200 OK", Type, std::to_string(Body->Size() / 2),
                                "Content-Length: " + Size + "\r\n")))
        Body->Send(Socket, 0, Body->Size());
      return;
    case FaultKind::kChunkedLength: {
      std::ostringstream ChunkSize;
      ChunkSize << std::hex << Body->Size() << "\r\n";
      if (SendText(Socket, Head("200 OK", Type, "100", "Transfer-Encoding: chunked\r\n")) &&
          SendText(Socket, ChunkSize.str()) && Body->Send(Socket, 0, Body->Size()))
        SendText(Socket, "\r\n0\r\n\r\n");
      return;
    }
    case FaultKind::kDrip:
      if (!SendText(Socket, Head("200 OK", Type, Size))) return;
      for (std::uint64_t Offset = 0; Offset < Body->Size(); Offset += F->DripBytes) {
        const auto Count = std::min<std::uint64_t>(F->DripBytes, Body->Size() - Offset);
        if (!Body->Send(Socket, Offset, Count) || !Pause(F->DripIntervalMs)) return;
      }
      return;
    case FaultKind::kCloseHead:
      return;
    case FaultKind::kSlowHead:
      if (Pause(F->HeadDelayMs) && SendText(Socket, Head("200 OK", Type, Size)))
        Body->Send(Socket, 0, Body->Size());
      return;
    case FaultKind::kStall:
      while (Pause(1000)) {
      }
      return;
    case FaultKind::kStallBody:
      if (SendText(Socket, Head("200 OK", Type, Size)) && Body->Send(Socket, 0, Body->Size() / 2)) {
        while (Pause(1000)) {
        }
      }
      return;
    case FaultKind::kRedirect:
      SendText(Socket, Head("302 Found", "text/html", std::to_string(strlen(kRedirectPage)),
                            "Location: " + F->Target + "\r\n") +
                           kRedirectPage);
      return;
  }
}

}  // namespace vendor
