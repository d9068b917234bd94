// The vendor test server as a program, for the demo and for end-to-end tests:
//   vendor-server --root DIR [--port N] [--port-file F] [--log F] [--status PATH]
//                 [--fault PATH=KIND]...
// Prints "listening on 127.0.0.1:PORT" once it accepts connections; stops on SIGTERM or SIGINT.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include "server.h"

namespace {

int Usage(const std::string& Problem) {
  std::cerr << "vendor-server: " << Problem << "\n"
            << "usage: vendor-server --root DIR [--port N] [--port-file F] [--log F]"
               " [--status PATH] [--fault PATH=KIND]...\n"
               "kinds: nolength short long badlength negative huge zero 404 drip[:BYTES[:MS]]"
               " closehead redirect[:TARGET] slowhead[:MS] statusheader foldedstatus 206"
               " twolengths stall stallbody chunkedlength\n";
  return 2;
}

// Written under a temporary name and renamed, so a reader never sees a partial number.
void WritePortFile(const std::string& FileName, std::uint16_t Port) {
  const std::string Temporary = FileName + ".tmp";
  std::ofstream(Temporary) << Port << "\n";
  std::filesystem::rename(Temporary, FileName);
}

}  // namespace

int main(int argc, char** argv) {
  vendor::ServerOptions Options;
  std::string PortFile;
  bool HasRoot = false;
  std::vector<std::pair<std::string, vendor::Fault>> Faults;
  for (int I = 1; I < argc; ++I) {
    const std::string Option = argv[I];
    if (I + 1 >= argc) return Usage("missing value for " + Option);
    const std::string Value = argv[++I];
    if (Option == "--root") {
      Options.Root = Value;
      HasRoot = true;
    } else if (Option == "--port") {
      char* End = nullptr;
      const unsigned long Port = std::strtoul(Value.c_str(), &End, 10);
      if (Value.empty() || *End != '\0' || Port > 65535) return Usage("bad port " + Value);
      Options.Port = static_cast<std::uint16_t>(Port);
    } else if (Option == "--port-file") {
      PortFile = Value;
    } else if (Option == "--log") {
      Options.LogFile = Value;
    } else if (Option == "--status") {
      Options.StatusPaths.push_back(Value);
    } else if (Option == "--fault") {
      const auto Fault = vendor::ParseFaultOption(Value);
      if (!Fault) return Usage("bad fault " + Value);
      Faults.push_back(*Fault);
    } else {
      return Usage("unknown option " + Option);
    }
  }
  if (!HasRoot) return Usage("--root is required");

  // The signals are taken by sigwait below; blocked before any thread starts, so every thread
  // inherits the mask.
  sigset_t Stop;
  sigemptyset(&Stop);
  sigaddset(&Stop, SIGTERM);
  sigaddset(&Stop, SIGINT);
  pthread_sigmask(SIG_BLOCK, &Stop, nullptr);

  vendor::VendorServer Server(Options);
  try {
    for (const auto& [Path, Fault] : Faults) Server.SetFault(Path, Fault);
    Server.Start();
    if (!PortFile.empty()) WritePortFile(PortFile, Server.Port());
  } catch (const std::exception& E) {
    std::cerr << "vendor-server: " << E.what() << "\n";
    return 1;
  }
  std::cout << "listening on 127.0.0.1:" << Server.Port() << std::endl;
  int Signal = 0;
  sigwait(&Stop, &Signal);
  Server.Stop();
  return 0;
}
