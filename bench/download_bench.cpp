// Download throughput of the download component against curl, over the vendor test server on
// loopback reached through the proxy setting. Each download runs in a process of its own, so that
// its peak memory and CPU time are its own:
//   curl   curl -s -o FILE, the reference
//   gauge  THTTPGet with the product's progress handler driving the real gauge of the product's
//          main window, shown on the X display
//   plain  THTTPGet without a progress handler
// After each plain download the driver also times the check of a build with a vendor key: the
// size and SHA-256 of the saved file, as the installer's hashing thread takes them.
//
//   download_bench --root DIR --file NAME... [--runs N] [--load N]
//                                      drives the runs, prints the figures; with --load, also runs
//                                      the last file at least 10 times in each mode while N busy
//                                      threads of normal priority compete for the processors
//   download_bench --one MODE --url URL --out FILE            one download (used by the driver)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "FileList.h"
#include "one_download.h"
#include "server.h"

namespace {

namespace fs = std::filesystem;

const char* const kModes[] = {"curl", "gauge", "plain"};

int RunOne(const std::string& Mode, const std::string& URL, const std::string& Out) {
  if (Mode == "curl") {
    // curl takes this process over, so the driver's figures are curl's own; it reports its own
    // transfer time, without its start-up.
    const std::string Address = "http://" + URL;
    execlp("curl", "curl", "-s", "-w", "%{time_total}", "-o", Out.c_str(), Address.c_str(),
           static_cast<char*>(nullptr));
    return 127;
  }
  const DownloadOutcome Result = DownloadWithComponent(URL, Out, Mode == "gauge");
  std::printf("%.6f %ld\n", Result.Seconds, Result.Repaints);
  return Result.Ok ? 0 : 1;
}

// ---------------------------------------------------------------------------------------------
// The driver

struct Sample {
  double Seconds = 0;
  double CpuSeconds = 0;
  double PeakRssMb = 0;
  long Repaints = 0;
};

// Runs one download in a child process; its figures, or nothing when it failed.
std::optional<Sample> RunChild(const std::string& Self, const std::string& Mode,
                               const std::string& URL, const std::string& Out) {
  int Pipe[2];
  if (pipe(Pipe) != 0) return std::nullopt;
  const pid_t Child = fork();
  if (Child == 0) {
    dup2(Pipe[1], 1);
    close(Pipe[0]);
    close(Pipe[1]);
    execl(Self.c_str(), Self.c_str(), "--one", Mode.c_str(), "--url", URL.c_str(), "--out",
          Out.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(Pipe[1]);
  std::string Text;
  char Buffer[256];
  for (ssize_t Got; (Got = read(Pipe[0], Buffer, sizeof Buffer)) > 0;) Text.append(Buffer, Got);
  close(Pipe[0]);
  int Status = 0;
  rusage Usage{};
  wait4(Child, &Status, 0, &Usage);
  if (!WIFEXITED(Status) || WEXITSTATUS(Status) != 0) return std::nullopt;
  Sample S;
  std::istringstream In(Text);
  In >> S.Seconds >> S.Repaints;
  const auto Cpu = [](const rusage& U) {
    return U.ru_utime.tv_sec + U.ru_stime.tv_sec + (U.ru_utime.tv_usec + U.ru_stime.tv_usec) / 1e6;
  };
  S.CpuSeconds = Cpu(Usage);
  S.PeakRssMb = Usage.ru_maxrss / 1024.0;
  return S;
}

using Clock = std::chrono::steady_clock;

double ThreadCpuMs() {
  timespec T{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &T);
  return T.tv_sec * 1e3 + T.tv_nsec / 1e6;
}

// Threads that keep the processors busy, as other programs of a user's computer do, from
// construction to destruction.
class BusyThreads {
 public:
  explicit BusyThreads(int Count) {
    for (int I = 0; I < Count; ++I) {
      FThreads.emplace_back([this] {
        while (!FStop.load(std::memory_order_relaxed)) {
        }
      });
    }
  }
  ~BusyThreads() {
    FStop.store(true);
    for (auto& T : FThreads) T.join();
  }
  BusyThreads(const BusyThreads&) = delete;
  BusyThreads& operator=(const BusyThreads&) = delete;

 private:
  std::atomic<bool> FStop{false};
  std::vector<std::thread> FThreads;
};

double Median(std::vector<double> V) {
  std::sort(V.begin(), V.end());
  const std::size_t N = V.size();
  return N % 2 ? V[N / 2] : (V[N / 2 - 1] + V[N / 2]) / 2;
}

struct Series {
  std::vector<double> Rates;  // MB/s
  std::vector<double> CpuPerGiBs;
  std::vector<double> CheckShares;  // plain only: hashing time / download time
  double CpuPerGiB = 0, PeakRssMb = 0;
  long Repaints = 0;
  double MedianRate() const { return Median(Rates); }
};

// Downloads File once in each mode, each download under Load busy threads, and adds the figures
// to those of its mode; false when a download failed.
bool Measure(const std::string& Self, const fs::path& Root, const std::string& File, int Run,
             int Load, std::map<std::string, Series>& Figures) {
  const fs::path Out = Root / "out.bin";
  const std::uintmax_t Size = fs::file_size(Root / "download" / "bench" / File);
  const std::string URL = std::string(VENDOR_HOST) + "/download/bench/" + File;
  for (const std::string Mode : kModes) {
    std::optional<Sample> S;
    {
      BusyThreads Busy(Load);
      S = RunChild(Self, Mode, URL, Out.string());
    }
    std::error_code Ignored;
    const auto Got = fs::file_size(Out, Ignored);
    double CheckMs = 0, CheckCpuMs = 0;
    if (S && Mode == std::string("plain")) {
      const auto Start = Clock::now();
      const double CpuStart = ThreadCpuMs();
      std::uint64_t Hashed = 0;
      TSha256Digest Digest;
      HashFile(Out.string(), Hashed, Digest, [] { return false; });
      CheckCpuMs = ThreadCpuMs() - CpuStart;
      CheckMs = std::chrono::duration<double, std::milli>(Clock::now() - Start).count();
      Figures[Mode].CheckShares.push_back(CheckMs / 1000 / S->Seconds);
    }
    fs::remove(Out, Ignored);
    if (!S || Got != Size) {
      std::fprintf(stderr, "%s via %s failed (got %ju bytes)\n", File.c_str(), Mode.c_str(),
                   static_cast<std::uintmax_t>(Got));
      return false;
    }
    Series& F = Figures[Mode];
    const double MB = Size / 1e6;
    const double CpuPerGiB = S->CpuSeconds * (1 << 30) / Size;
    F.Rates.push_back(MB / S->Seconds);
    F.CpuPerGiBs.push_back(CpuPerGiB);
    F.CpuPerGiB = std::max(F.CpuPerGiB, CpuPerGiB);
    F.PeakRssMb = std::max(F.PeakRssMb, S->PeakRssMb);
    F.Repaints = std::max(F.Repaints, S->Repaints);
    std::printf("run %d %-8s %-5s %8.1f MB/s  cpu %.2f s  rss %.1f MB  repaints %ld%s", Run,
                File.c_str(), Mode.c_str(), MB / S->Seconds, S->CpuSeconds, S->PeakRssMb,
                S->Repaints, Load ? "  (loaded)" : "");
    if (CheckMs > 0) std::printf("  check %.1f ms (cpu %.1f ms)", CheckMs, CheckCpuMs);
    std::printf("\n");
    std::fflush(stdout);
  }
  return true;
}

int Drive(const std::string& Self, const fs::path& Root, const std::vector<std::string>& Files,
          int Runs, int Load) {
  vendor::ServerOptions Options;
  Options.Root = Root.string();
  vendor::VendorServer Server(Options);
  Server.Start();
  setenv("http_proxy", Server.Url().c_str(), 1);
  unsetenv("no_proxy");
  unsetenv("NO_PROXY");
  // The product's window wants a working folder of its own.
  setenv("temp", (Root / "temp").c_str(), 1);

  std::map<std::string, std::map<std::string, Series>> Figures;  // file, mode
  for (int Run = 1; Run <= Runs; ++Run) {
    for (const auto& File : Files) {
      if (!Measure(Self, Root, File, Run, 0, Figures[File])) return 1;
    }
  }
  std::map<std::string, Series> Loaded;
  for (int Run = 1; Load > 0 && Run <= std::max(Runs, 10); ++Run) {
    if (!Measure(Self, Root, Files.back(), Run, Load, Loaded)) return 1;
  }

  std::printf("\n%-8s %-5s %9s %9s %9s %12s %9s %9s\n", "file", "mode", "median", "min", "max",
              "cpu s/GiB", "rss MB", "repaints");
  for (const auto& File : Files) {
    for (const std::string Mode : kModes) {
      const Series& F = Figures[File][Mode];
      const auto [Min, Max] = std::minmax_element(F.Rates.begin(), F.Rates.end());
      std::printf("%-8s %-5s %9.1f %9.1f %9.1f %12.2f %9.1f %9ld\n", File.c_str(), Mode.c_str(),
                  F.MedianRate(), *Min, *Max, F.CpuPerGiB, F.PeakRssMb,
                  Mode == "gauge" ? F.Repaints : 0L);
    }
    const auto& M = Figures[File];
    std::printf("%-8s gauge/curl %.2f  plain/curl %.2f  check/plain download %.1f %%\n",
                File.c_str(), M.at("gauge").MedianRate() / M.at("curl").MedianRate(),
                M.at("plain").MedianRate() / M.at("curl").MedianRate(),
                100 * Median(M.at("plain").CheckShares));
  }
  if (Load > 0) {
    // Each against curl's median under the same load; the CPU time is the gauge mode's median.
    const double Curl = Loaded.at("curl").MedianRate();
    const Series& Gauge = Loaded.at("gauge");
    std::printf(
        "\nloaded: ratio_gauge_median=%.2f ratio_gauge_worst=%.2f ratio_plain_median=%.2f "
        "cpu_s_per_gib=%.2f\n",
        Gauge.MedianRate() / Curl, *std::min_element(Gauge.Rates.begin(), Gauge.Rates.end()) / Curl,
        Loaded.at("plain").MedianRate() / Curl, Median(Gauge.CpuPerGiBs));
  }
  // The summary line covers the first (largest) file.
  const auto& Main = Figures[Files.front()];
  double Rss = 0;
  for (const auto& File : Files) Rss = std::max(Rss, Figures[File]["gauge"].PeakRssMb);
  std::printf("%sratio_gauge=%.2f ratio_plain=%.2f rss_mb=%.1f repaints=%ld\n",
              Load > 0 ? "" : "\n", Main.at("gauge").MedianRate() / Main.at("curl").MedianRate(),
              Main.at("plain").MedianRate() / Main.at("curl").MedianRate(), Rss,
              Main.at("gauge").Repaints);
  Server.Stop();
  return 0;
}

int Usage() {
  std::fprintf(stderr,
               "usage: download_bench --root DIR --file NAME... [--runs N] [--load N]\n"
               "       download_bench --one curl|gauge|plain --url URL --out FILE\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::map<std::string, std::string> Options;
  std::vector<std::string> Files;
  for (int I = 1; I + 1 < argc; I += 2) {
    if (std::strcmp(argv[I], "--file") == 0) {
      Files.push_back(argv[I + 1]);
    } else {
      Options[argv[I]] = argv[I + 1];
    }
  }
  if (Options.count("--one")) {
    if (!Options.count("--url") || !Options.count("--out")) return Usage();
    return RunOne(Options["--one"], Options["--url"], Options["--out"]);
  }
  if (!Options.count("--root") || Files.empty()) return Usage();
  const int Runs = Options.count("--runs") ? std::atoi(Options["--runs"].c_str()) : 5;
  const int Load = Options.count("--load") ? std::atoi(Options["--load"].c_str()) : 0;
  return Drive(fs::read_symlink("/proc/self/exe").string(), Options["--root"], Files, Runs, Load);
}
