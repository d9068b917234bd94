// The vendor test server: a small HTTP/1.0 server on 127.0.0.1 that serves a folder, answers the
// status page, records every request and injects faults on demand. It answers both origin-form
// requests ("GET /path HTTP/1.0") and proxy-form ones ("GET http://host/path HTTP/1.0"), so
// clients reach it through their proxy setting whatever host name they ask for.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace vendor {

// One request as it arrived.
struct RecordedRequest {
  std::string RequestLine;  // without the line end
  std::string Method;
  std::string Target;   // as written in the request line
  std::string Path;     // the path of the target, percent-decoded, without the query
  std::string Query;    // the text after '?', as written
  std::string Version;  // "HTTP/1.0"
  std::vector<std::pair<std::string, std::string>> Headers;  // name and value, in order
  std::string Body;
  std::chrono::system_clock::time_point Time;

  // The value of the first header of that name (compared without regard to case), if any.
  std::optional<std::string> Header(const std::string& Name) const;
  int HeaderCount(const std::string& Name) const;
};

enum class FaultKind {
  kNoLength,        // no Content-Length; the body, then close
  kShort,           // announces the length, sends half of the body, closes
  kLong,            // sends more bytes than announced
  kBadLength,       // "Content-Length: abc"
  kNegative,        // "Content-Length: -5"
  kHuge,            // "Content-Length: 2147483648" and a small body
  kZero,            // "Content-Length: 0" and no body
  kNotFound,        // a 404 page with its length
  kDrip,            // the body in small blocks with a pause after each
  kCloseHead,       // reads the request and closes without a response
  kRedirect,        // 302 to Target
  kSlowHead,        // waits HeadDelayMs before a normal response
  kStatusInHeader,  // a 404 page whose head holds the line "HTTP/1.0 200 OK: x"
  kFoldedStatus,    // a 403 page whose head holds the folded line " HTTP/1.0 200 OK"
  kPartial,         // "206 Partial Content" with the first half of the body and its length
  kTwoLengths,      // the half length, then the whole length; the whole body
  kStall,           // reads the request, then sends nothing and keeps the connection open
  kStallBody,       // announces the length, sends half of the body, then nothing, keeps it open
  kChunkedLength,   // "Content-Length: 100" and "Transfer-Encoding: chunked"; the whole body
};

struct Fault {
  FaultKind Kind = FaultKind::kNotFound;
  std::size_t DripBytes = 1;  // drip: block size
  int DripIntervalMs = 10;    // drip: pause after each block
  std::string Target = "/";   // redirect: the Location
  int HeadDelayMs = 500;      // slowhead: the wait before the response
};

// Parses "PATH=KIND" where KIND is one of nolength, short, long, badlength, negative, huge, zero,
// 404, drip[:BYTES[:MS]], closehead, redirect[:TARGET], slowhead[:MS], statusheader,
// foldedstatus, 206, twolengths, stall, stallbody, chunkedlength. The last '=' separates path and
// kind.
std::optional<std::pair<std::string, Fault>> ParseFaultOption(const std::string& Option);

// Parses a request's head (the request line and the header lines, each ending with CR LF) into
// R, the target split into path and query; false when the request line is malformed.
bool ParseRequestHead(const std::string& Head, RecordedRequest& R);

// Decodes %XX escapes; a malformed escape stays as written.
std::string PercentDecode(const std::string& Text);

// A loopback port with no listener at the time of the call, for tests of refused connections.
std::uint16_t FindUnusedPort();

struct ServerOptions {
  std::string Root = ".";
  std::uint16_t Port = 0;  // 0: an ephemeral port
  std::string LogFile;     // empty: no log
  // Paths (and everything below them) answered 200 with a small page even without a file.
  std::vector<std::string> StatusPaths{"/programy/setup.asp"};
};

class VendorServer {
 public:
  explicit VendorServer(ServerOptions Options);
  ~VendorServer();
  VendorServer(const VendorServer&) = delete;
  VendorServer& operator=(const VendorServer&) = delete;

  // Binds, listens and starts accepting; throws std::system_error when it cannot.
  void Start();
  // Stops accepting, breaks open connections and waits for their threads.
  void Stop();

  std::uint16_t Port() const { return FPort; }
  // "http://127.0.0.1:PORT", for a client's proxy setting.
  std::string Url() const;

  // Faults apply to an exact decoded path, or to every path with "*"; an exact path wins.
  void SetFault(const std::string& Path, const Fault& F);
  void ClearFaults();

  std::vector<RecordedRequest> Requests() const;
  void ClearRequests();
  // Waits until at least Count requests were recorded; true when they were.
  bool WaitForRequests(std::size_t Count, std::chrono::milliseconds Timeout) const;

 private:
  struct Connection {
    std::thread Thread;
    int Socket = -1;
    bool Done = false;
  };

  void AcceptLoop();
  void Serve(Connection* C);
  void Respond(int Socket, const RecordedRequest& R);
  void Record(const RecordedRequest& R);
  std::optional<Fault> FaultFor(const std::string& Path) const;
  bool IsStatusPath(const std::string& Path) const;
  // Sleeps up to Ms; false when the server is stopping.
  bool Pause(int Ms);
  void ReapConnections();

  ServerOptions FOptions;
  int FListener = -1;
  std::uint16_t FPort = 0;
  std::thread FAcceptThread;

  mutable std::mutex FMutex;
  mutable std::condition_variable FChanged;
  bool FStopping = false;
  std::map<std::string, Fault> FFaults;
  std::vector<RecordedRequest> FRequests;
  std::list<Connection> FConnections;
  std::FILE* FLog = nullptr;
};

}  // namespace vendor
