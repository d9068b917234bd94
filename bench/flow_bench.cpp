// Timing of the installer as a user sees it, for MERONA with small files served on loopback:
//   cold start   from the start of the process to its window mapped and drawn (the light-blue
//                panel on the screen)
//   click->setup from the click on the English flag to the downloaded setup running
//
//   flow_bench PRODUCT_EXECUTABLE [STARTS] [FLOWS]
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "server.h"

// After the standard headers: Xlib's macros clash with ordinary names.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const char* const kSources[] = {"pravl32.zip",     "ntdll.zip", "qtintf70.zip", "merona.zip",
                                "Firebird-64.zip", "setup.zip", "dobrin.zip"};

double Ms(Clock::duration D) { return std::chrono::duration<double, std::milli>(D).count(); }

pid_t Spawn(const std::vector<std::string>& Args, const std::vector<std::string>& Env) {
  std::vector<char*> Argv, Envp;
  for (const auto& A : Args) Argv.push_back(const_cast<char*>(A.c_str()));
  for (const auto& E : Env) Envp.push_back(const_cast<char*>(E.c_str()));
  Argv.push_back(nullptr);
  Envp.push_back(nullptr);
  posix_spawn_file_actions_t Actions;
  posix_spawn_file_actions_init(&Actions);
  posix_spawn_file_actions_addopen(&Actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&Actions, 1, 2);
  pid_t Pid = -1;
  posix_spawn(&Pid, Argv[0], &Actions, nullptr, Argv.data(), Envp.data());
  posix_spawn_file_actions_destroy(&Actions);
  return Pid;
}

// Waits for the next top-level window to be mapped; 0 after Timeout.
Window WaitForMap(Display* D, std::chrono::seconds Timeout) {
  const auto Deadline = Clock::now() + Timeout;
  while (Clock::now() < Deadline) {
    while (XPending(D) > 0) {
      XEvent Event;
      XNextEvent(D, &Event);
      if (Event.type == MapNotify) return Event.xmap.window;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return 0;
}

// True once the window's pixel shows the panel's light blue (#B0D8FF).
bool PanelDrawn(Display* D, Window W) {
  XImage* Image = XGetImage(D, W, 100, 100, 1, 1, AllPlanes, ZPixmap);
  if (!Image) return false;
  const unsigned long P = XGetPixel(Image, 0, 0);
  XDestroyImage(Image);
  return P == 0xB0D8FF;
}

int IgnoreErrors(Display*, XErrorEvent*) { return 0; }

struct Bench {
  fs::path Dir;
  std::string Program;
  vendor::VendorServer* Server;
  Display* D;

  std::vector<std::string> Environment() const {
    return {
        "TEMP=" + (Dir / "temp").string(), "PROCESSOR_ARCHITECTURE=AMD64",
        "http_proxy=" + Server->Url(), std::string("DISPLAY=") + std::getenv("DISPLAY"),
        std::string("XAUTHORITY=") + (std::getenv("XAUTHORITY") ? std::getenv("XAUTHORITY") : "")};
  }

  // Starts the product and returns its window, drawn, with the time that took.
  Window StartDrawn(pid_t& Pid, double& Milliseconds) {
    XSync(D, True);  // forget earlier events
    const auto Start = Clock::now();
    Pid = Spawn({Program}, Environment());
    const Window W = WaitForMap(D, std::chrono::seconds(10));
    if (W == 0) return 0;
    while (!PanelDrawn(D, W)) {
      if (Clock::now() - Start > std::chrono::seconds(10)) return 0;
    }
    Milliseconds = Ms(Clock::now() - Start);
    return W;
  }

  void Close(pid_t Pid) {
    kill(Pid, SIGTERM);
    waitpid(Pid, nullptr, 0);
  }
};

double Median(std::vector<double> V) {
  std::sort(V.begin(), V.end());
  return V.size() % 2 ? V[V.size() / 2] : (V[V.size() / 2 - 1] + V[V.size() / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || !std::getenv("DISPLAY")) {
    std::fprintf(stderr, "usage: flow_bench PRODUCT_EXECUTABLE [STARTS] [FLOWS] (needs DISPLAY)\n");
    return 2;
  }
  const int Starts = argc > 2 ? std::atoi(argv[2]) : 10;
  const int Flows = argc > 3 ? std::atoi(argv[3]) : 2;
  const fs::path Dir = fs::temp_directory_path() / ("flow-bench-" + std::to_string(getpid()));
  const fs::path Marker = Dir / "setup-started";
  fs::create_directories(Dir / "temp");
  fs::create_directories(Dir / "root" / "download" / "merona");
  for (const char* Source : kSources) {
    std::ofstream Out(Dir / "root" / "download" / "merona" / Source, std::ios::binary);
    if (std::string(Source) == "setup.zip") {
      Out << "#!/bin/sh\n: > '" << Marker.string() << "'\n";
    } else {
      Out << std::string(20000, 'x');
    }
  }
  fs::copy_file(argv[1], Dir / "merona.run");

  vendor::ServerOptions Options;
  Options.Root = (Dir / "root").string();
  vendor::VendorServer Server(Options);
  Server.Start();
  Display* D = XOpenDisplay(nullptr);
  if (!D) return 1;
  XSetErrorHandler(IgnoreErrors);
  XSelectInput(D, DefaultRootWindow(D), SubstructureNotifyMask);
  Bench B{Dir, (Dir / "merona.run").string(), &Server, D};

  std::vector<double> StartTimes;
  for (int I = 0; I < Starts; ++I) {
    pid_t Pid;
    double Milliseconds = 0;
    if (B.StartDrawn(Pid, Milliseconds) == 0) {
      std::fprintf(stderr, "the window did not appear\n");
      return 1;
    }
    StartTimes.push_back(Milliseconds);
    B.Close(Pid);
  }

  std::vector<double> FlowTimes;
  for (int I = 0; I < Flows; ++I) {
    fs::remove(Marker);
    pid_t Pid;
    double Ignored = 0;
    const Window W = B.StartDrawn(Pid, Ignored);
    if (W == 0) return 1;
    // The English flag's centre, in the window's client coordinates.
    const std::string Click =
        "xdotool mousemove --window " + std::to_string(W) + " 320 58 click 1 >/dev/null 2>&1";
    const auto Clicked = Clock::now();
    if (std::system(Click.c_str()) != 0) return 1;
    while (!fs::exists(Marker)) {
      if (Clock::now() - Clicked > std::chrono::seconds(30)) {
        std::fprintf(stderr, "setup was not started\n");
        return 1;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    FlowTimes.push_back(Ms(Clock::now() - Clicked));
    waitpid(Pid, nullptr, 0);
  }
  XCloseDisplay(D);
  Server.Stop();
  fs::remove_all(Dir);

  const auto [MinStart, MaxStart] = std::minmax_element(StartTimes.begin(), StartTimes.end());
  const auto [MinFlow, MaxFlow] = std::minmax_element(FlowTimes.begin(), FlowTimes.end());
  std::printf("cold start to drawn window: median %.1f ms (min %.1f, max %.1f, %d starts)\n",
              Median(StartTimes), *MinStart, *MaxStart, Starts);
  std::printf("click to setup started, 7 files: median %.0f ms (min %.0f, max %.0f, %d runs)\n",
              Median(FlowTimes), *MinFlow, *MaxFlow, Flows);
  std::printf("start_ms=%.1f click_to_setup_ms=%.0f\n", Median(StartTimes), Median(FlowTimes));
  return 0;
}
