// Harness for the end-to-end tests of the real product executable: a platform description, a
// product process started with a clean environment, and its windows on the X display found and
// driven from outside through xdotool, xprop and ImageMagick, as a user would.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "test_files.h"

namespace e2e {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Where and how the product runs: natively, or the Windows build under wine.
struct Platform {
  enum class ProxySetting { kEnvironment, kRegistry };
  std::string Name;
  fs::path Executable;                // the built program, copied under each product's name
  std::string Extension;              // the four characters that start-up strips
  std::vector<std::string> Launcher;  // empty: run directly; else e.g. {"wine"}
  ProxySetting Proxy = ProxySetting::kEnvironment;
  std::string Display;  // the X display the windows appear on
  // Variables the launcher itself needs, added to the product's environment.
  std::map<std::string, std::string> LauncherEnvironment;
  // Set when the platform decides the processor architecture the product sees.
  std::string Architecture;
  // The product's own installer for this platform; empty: a shell script.
  fs::path SetupProgram;
  // Under wine: the prefix, whose dosdevices folder maps drive letters to host folders.
  fs::path WinePrefix;
  // Under wine: a wininet.dll that marks its loading (tools/planted-dll).
  fs::path PlantedDll;

  bool IsWine() const { return !WinePrefix.empty(); }

  // A path as the product sees it, for one of this machine.
  std::string ProductPath(const fs::path& Host) const {
    if (!IsWine()) return Host.string();
    std::string Path = "Z:" + fs::absolute(Host).string();
    for (char& C : Path) C = C == '/' ? '\\' : C;
    return Path;
  }

  // A path of this machine, for one as the product sees it ("C:\\users" under wine).
  fs::path HostPath(const std::string& Product) const {
    if (!IsWine() || Product.size() < 2 || Product[1] != ':') return Product;
    std::string Rest = Product.substr(2);
    for (char& C : Rest) C = C == '\\' ? '/' : C;
    while (!Rest.empty() && Rest.front() == '/') Rest.erase(0, 1);
    const char Drive = static_cast<char>(std::tolower(static_cast<unsigned char>(Product[0])));
    return WinePrefix / "dosdevices" / (std::string(1, Drive) + ":") / Rest;
  }
};

inline std::string DisplayName() {
  const char* Display = std::getenv("DISPLAY");
  return Display ? Display : "";
}

inline Platform NativePlatform() {
  Platform P{"posix",
             PRODUCT_EXECUTABLE,
             ".run",
             {},
             Platform::ProxySetting::kEnvironment,
             DisplayName(),
             {},
             "",
             "",
             "",
             ""};
  // A sanitizer build of the product reads its options (suppressions among them) from these.
  for (const char* Name : {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"}) {
    if (const char* Value = std::getenv(Name)) P.LauncherEnvironment[Name] = Value;
  }
  return P;
}

inline std::string Capture(const std::string& Command);
inline bool Succeeds(const std::string& Command);

// The Windows build (setup.exe and the stand-in installer) run by wine in the build tree's
// prefix. E2E_WIN32_BUILD_DIR overrides the build tree, E2E_WIN32_EXECUTABLE the executable (a
// signed copy, say), WINEPREFIX the prefix.
inline Platform WinePlatform() {
  const char* Build = std::getenv("E2E_WIN32_BUILD_DIR");
  const fs::path Dir = Build && *Build ? fs::path(Build) : fs::path(WIN32_BUILD_DIR);
  const char* Exe = std::getenv("E2E_WIN32_EXECUTABLE");
  const char* Prefix = std::getenv("WINEPREFIX");
  Platform P{"win32",
             Exe && *Exe ? fs::path(Exe) : Dir / "setup.exe",
             ".exe",
             {"wine"},
             Platform::ProxySetting::kRegistry,
             DisplayName(),
             {},
             "AMD64",
             Dir / "tools" / "fake-setup" / "fake-setup.exe",
             Prefix && *Prefix ? fs::path(Prefix) : Dir / "wineprefix",
             Dir / "tools" / "planted-dll" / "wininet.dll"};
  P.LauncherEnvironment = {{"WINEPREFIX", P.WinePrefix.string()},
                           {"WINEARCH", "win64"},
                           {"WINEDEBUG", "-all"},
                           {"WINEDLLOVERRIDES", "mscoree,mshtml="},
                           // File names on this machine are UTF-8.
                           {"LANG", "C.UTF-8"}};
  for (const char* Name : {"PATH", "HOME", "USER"}) {
    if (const char* Value = std::getenv(Name)) P.LauncherEnvironment[Name] = Value;
  }
  // The harness's own wine calls (registry, folders) use the same prefix.
  for (const auto& [Name, Value] : P.LauncherEnvironment) ::setenv(Name.c_str(), Value.c_str(), 1);
  return P;
}

// The scenarios under wine share the prefix's proxy setting and folders, so they run only when
// asked for (E2E_RUN_WINE=1, which the test preset windows-e2e sets), never beside a plain ctest
// run of the native ones.
inline bool WineRunRequested() {
  const char* Run = std::getenv("E2E_RUN_WINE");
  return Run && std::string(Run) == "1";
}

// A wine server that stays up between the harness's wine calls makes each of them take a
// fraction of a second instead of seconds; it ends by itself a minute after the last one. Wine's
// own services start here with their output going nowhere: started by a call whose output is
// read, they would hold that pipe open for as long as the server runs.
inline void KeepWineServerUp() {
  static const bool Started = [] {
    Succeeds("timeout 30 wineserver -p 60");
    return Succeeds("timeout 120 wine cmd /c exit </dev/null");
  }();
  (void)Started;
}

// E2E_PLATFORM=win32 selects the Windows build under wine; anything else the native build.
inline const Platform& SelectedPlatform() {
  static const Platform Selected = [] {
    const char* Name = std::getenv("E2E_PLATFORM");
    return Name && std::string(Name) == "win32" ? WinePlatform() : NativePlatform();
  }();
  return Selected;
}

// ---------------------------------------------------------------------------------------------
// Files

using testing_support::MakeTempDir;
using testing_support::Payload;
using testing_support::ReadFile;
using testing_support::WriteFile;

// Polls Done every few milliseconds until it holds or Timeout passes.
inline bool WaitUntil(const std::function<bool()>& Done, std::chrono::milliseconds Timeout) {
  const auto Deadline = Clock::now() + Timeout;
  while (!Done()) {
    if (Clock::now() > Deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Commands

// Runs a shell command and returns its standard output.
inline std::string Capture(const std::string& Command) {
  std::string Output;
  if (FILE* Pipe = ::popen((Command + " 2>/dev/null").c_str(), "r")) {
    char Buffer[4096];
    std::size_t Got;
    while ((Got = std::fread(Buffer, 1, sizeof Buffer, Pipe)) > 0) Output.append(Buffer, Got);
    ::pclose(Pipe);
  }
  return Output;
}

inline bool Succeeds(const std::string& Command) {
  return std::system((Command + " >/dev/null 2>&1").c_str()) == 0;
}

inline std::string Quote(const std::string& Text) {
  std::string Quoted = "'";
  for (char C : Text) Quoted += C == '\'' ? std::string("'\\''") : std::string(1, C);
  return Quoted + "'";
}

// ---------------------------------------------------------------------------------------------
// The product process

using Environment = std::map<std::string, std::string>;

// The product started from its own copy with exactly the given environment (plus what the display
// needs). Killed when still running at the end of the test.
class ProductProcess {
 public:
  ProductProcess(const Platform& P, const fs::path& Program, Environment Vars,
                 const fs::path& Output) {
    Vars["DISPLAY"] = P.Display;
    for (const auto& [Name, Value] : P.LauncherEnvironment) Vars.emplace(Name, Value);
    if (const char* Auth = std::getenv("XAUTHORITY")) Vars["XAUTHORITY"] = Auth;
    std::vector<std::string> Args = P.Launcher;
    Args.push_back(Program.string());
    std::vector<std::string> Env;
    for (const auto& [Name, Value] : Vars) Env.push_back(Name + "=" + Value);
    std::vector<char*> Argv, Envp;
    for (auto& A : Args) Argv.push_back(A.data());
    for (auto& E : Env) Envp.push_back(E.data());
    Argv.push_back(nullptr);
    Envp.push_back(nullptr);
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_addopen(&Actions, 1, Output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&Actions, 1, 2);
    posix_spawn_file_actions_addchdir_np(&Actions, Program.parent_path().c_str());
    const int Error = posix_spawnp(&FPid, Argv[0], &Actions, nullptr, Argv.data(), Envp.data());
    posix_spawn_file_actions_destroy(&Actions);
    if (Error != 0) throw std::runtime_error("cannot start " + Program.string());
    Started = Clock::now();
  }
  ~ProductProcess() {
    if (FStatus) return;
    ::kill(FPid, SIGKILL);
    ::waitpid(FPid, nullptr, 0);
  }
  ProductProcess(const ProductProcess&) = delete;
  ProductProcess& operator=(const ProductProcess&) = delete;

  pid_t Pid() const { return FPid; }

  // Waits for the process to end; its wait status, or nothing when it still runs after Timeout.
  std::optional<int> WaitExit(std::chrono::milliseconds Timeout) {
    WaitUntil([this] { return Reap(); }, Timeout);
    return FStatus;
  }
  bool Running() { return !Reap(); }

  Clock::time_point Started;
  Clock::time_point Ended;

 private:
  bool Reap() {
    if (FStatus) return true;
    int Status = 0;
    if (::waitpid(FPid, &Status, WNOHANG) != FPid) return false;
    Ended = Clock::now();
    FStatus = Status;
    return true;
  }
  pid_t FPid = -1;
  std::optional<int> FStatus;
};

inline bool ExitedWithZero(const std::optional<int>& Status) {
  return Status && WIFEXITED(*Status) && WEXITSTATUS(*Status) == 0;
}

// ---------------------------------------------------------------------------------------------
// Windows on the display

using WindowId = unsigned long;

// The visible top-level windows of a process, as xdotool finds them by _NET_WM_PID.
inline std::vector<WindowId> VisibleWindows(pid_t Pid) {
  std::istringstream Lines(Capture("xdotool search --onlyvisible --pid " + std::to_string(Pid)));
  std::vector<WindowId> Windows;
  for (WindowId W; Lines >> W;) Windows.push_back(W);
  return Windows;
}

inline std::string WindowName(WindowId W) {
  std::string Name = Capture("xdotool getwindowname " + std::to_string(W));
  while (!Name.empty() && Name.back() == '\n') Name.pop_back();
  return Name;
}

// Waits for a visible window of the process whose title is exactly Name (xdotool's own name
// match ignores case, and the main window and the message boxes differ only in case).
inline std::optional<WindowId> WaitForWindow(pid_t Pid, const std::string& Name,
                                             std::chrono::milliseconds Timeout = 20s) {
  std::optional<WindowId> Found;
  WaitUntil(
      [&] {
        for (WindowId W : VisibleWindows(Pid)) {
          if (WindowName(W) == Name) Found = W;
        }
        return Found.has_value();
      },
      Timeout);
  return Found;
}

// Waits for a visible, titled window of the process other than Except: a message box.
inline std::optional<WindowId> WaitForOtherWindow(pid_t Pid, WindowId Except,
                                                  std::chrono::milliseconds Timeout) {
  std::optional<WindowId> Found;
  WaitUntil(
      [&] {
        // A box has its title by the time it counts: under a window manager a window can show
        // before wine has named it.
        for (WindowId W : VisibleWindows(Pid)) {
          if (W != Except && !WindowName(W).empty()) Found = W;
        }
        return Found.has_value();
      },
      Timeout);
  return Found;
}

inline bool IsVisible(pid_t Pid, WindowId W) {
  for (WindowId V : VisibleWindows(Pid)) {
    if (V == W) return true;
  }
  return false;
}

// Dismisses a message box with its default button. xdotool reports an error when the box has
// gone before the key's release reaches it, so only the box's disappearance counts.
inline bool DismissBox(pid_t Pid, WindowId Box) {
  Succeeds("xdotool key --window " + std::to_string(Box) + " Return");
  return WaitUntil([&] { return !IsVisible(Pid, Box); }, 5s);
}

// A mouse click at a point of the window's client area.
inline bool Click(WindowId W, int X, int Y) {
  return Succeeds("xdotool mousemove --window " + std::to_string(W) + " " + std::to_string(X) +
                  " " + std::to_string(Y) + " click 1");
}

// A key press sent to the window, and the same key typed while the window has the focus.
inline void PressKey(WindowId W, const std::string& Key) {
  const std::string Id = std::to_string(W);
  Succeeds("xdotool key --window " + Id + " " + Key);
  // Bounded: --sync waits for ever when the window has gone.
  Succeeds("timeout 5 xdotool windowfocus --sync " + Id + " key " + Key);
}

// Keys typed while the window has the focus, each once, a tenth of a second apart; no keys: the
// window only gets the focus.
inline void TypeKeys(WindowId W, const std::string& Keys) {
  // Bounded: --sync waits for ever when the window has gone.
  Succeeds("timeout 10 xdotool windowfocus --sync " + std::to_string(W) +
           (Keys.empty() ? "" : " key --delay 100 " + Keys));
}

// The flags of the language page, client coordinates of their centres.
constexpr int kCzechFlagX = 260, kEnglishFlagX = 320, kFlagY = 58;

inline bool ClickFlag(WindowId W, const std::string& Language) {
  return Click(W, Language == "cz" ? kCzechFlagX : kEnglishFlagX, kFlagY);
}

// An X connection of the test's own: asks windows to close as the window manager's close button
// does (WM_DELETE_WINDOW; xdotool's windowclose destroys the window instead), and records which
// windows get mapped while it watches. Xlib stays in its own file: its macros clash with ordinary
// names.
class DisplayConnection {
 public:
  DisplayConnection();
  ~DisplayConnection();
  DisplayConnection(const DisplayConnection&) = delete;
  DisplayConnection& operator=(const DisplayConnection&) = delete;
  bool Open() const;

  void RequestClose(WindowId W);
  // Takes the keyboard focus from every window, as a click outside the program would.
  void FocusNothing();

  // Top-level windows mapped since the connection was opened, with their sizes at creation.
  struct Mapped {
    WindowId Window;
    int Width, Height;
  };
  std::vector<Mapped> MappedWindows();

  // The windows between W and the root window: a window manager's frames around it.
  std::vector<WindowId> Ancestors(WindowId W);

 private:
  struct State;
  std::unique_ptr<State> FState;
};

// ---------------------------------------------------------------------------------------------
// Screenshots

struct Rgb {
  int R, G, B;
  bool operator==(const Rgb&) const = default;
};

// A window's pixels as the screen shows them, taken with ImageMagick's import.
class Screenshot {
 public:
  static std::optional<Screenshot> Take(WindowId W, const fs::path& File) {
    // Bounded: import waits for ever for a window that has gone.
    if (!Succeeds("timeout 10 import -window " + std::to_string(W) + " -depth 8 " +
                  Quote("ppm:" + File.string())))
      return std::nullopt;
    Screenshot Shot;
    if (!Shot.Parse(ReadFile(File))) return std::nullopt;
    return Shot;
  }

  int Width() const { return FWidth; }
  int Height() const { return FHeight; }
  Rgb At(int X, int Y) const {
    const std::size_t I = (static_cast<std::size_t>(Y) * FWidth + X) * 3;
    return {FPixels[I], FPixels[I + 1], FPixels[I + 2]};
  }
  // Pixels of the rectangle for which Match holds.
  int Count(int X, int Y, int W, int H, const std::function<bool(Rgb)>& Match) const {
    int N = 0;
    for (int Row = Y; Row < Y + H; ++Row) {
      for (int Col = X; Col < X + W; ++Col) N += Match(At(Col, Row));
    }
    return N;
  }

 private:
  // Binary PPM with a maximum value of 255.
  bool Parse(const std::string& Data) {
    std::istringstream In(Data);
    std::string Magic;
    int Max = 0;
    In >> Magic >> FWidth >> FHeight >> Max;
    In.get();
    if (Magic != "P6" || Max != 255 || FWidth <= 0 || FHeight <= 0) return false;
    const std::size_t Offset = static_cast<std::size_t>(In.tellg());
    const std::size_t Size = static_cast<std::size_t>(FWidth) * FHeight * 3;
    if (Data.size() < Offset + Size) return false;
    FPixels.assign(Data.begin() + Offset, Data.begin() + Offset + Size);
    return true;
  }
  int FWidth = 0, FHeight = 0;
  std::vector<unsigned char> FPixels;
};

inline bool Near(Rgb P, Rgb Colour, int Tolerance) {
  return std::abs(P.R - Colour.R) <= Tolerance && std::abs(P.G - Colour.G) <= Tolerance &&
         std::abs(P.B - Colour.B) <= Tolerance;
}

}  // namespace e2e
