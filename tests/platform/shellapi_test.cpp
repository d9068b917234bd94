// Tests of the POSIX stand-in for the shell's launch: real scripts are started and report back
// through a file what they were given.
#include <shellapi.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "test_support-posix.h"

namespace {

class ShellExecuteATest : public ScratchTest {
 protected:
  // A script that writes its argument count, first argument, working directory, parent and
  // session to Path("report"); without execute permission, as a download arrives.
  void WriteReportingScript(const std::string& Name) {
    const std::string Report = Path("report");
    WriteFile(Name,
              "#!/bin/sh\n{ echo \"$#\"; echo \"$1\"; pwd -P; echo \"$PPID\"; cut -d' ' -f6 "
              "/proc/$$/stat; } > '" +
                  Report + ".part' && mv '" + Report + ".part' '" + Report + "'\n");
    chmod(Path(Name).c_str(), 0644);
  }

  // The launched script's report, one line per item; empty when it did not arrive in time.
  std::string AwaitReport() {
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!std::filesystem::exists(Path("report")) &&
           std::chrono::steady_clock::now() < Deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::ifstream In(Path("report"));
    const std::string Report((std::istreambuf_iterator<char>(In)), {});
    std::filesystem::remove(Path("report"));
    return Report;
  }
};

TEST_F(ShellExecuteATest, RunsTheFileDetachedWithItsParameterAndDirectory) {
  std::filesystem::create_directories(Path("work"));
  std::filesystem::create_directories(Path("inherited"));
  const std::string Work = std::filesystem::canonical(Path("work")).string();
  const std::string Inherited = std::filesystem::canonical(Path("inherited")).string();
  WriteReportingScript("setup.exe");
  WriteReportingScript("work/setup.exe");
  WriteReportingScript("spouštěč.exe");
  const std::string Self = "\n" + std::to_string(getpid()) + "\n";
  const std::string Session = "\n" + std::to_string(getsid(0)) + "\n";
  const struct {
    const char* Verb;
    std::string File, Parameters;  // Windows-1250, as the program passes them
    const char* Directory;
    std::string Expected;  // the report's first three lines
  } Cases[] = {
      {"open", Path("setup.exe"), "en", Work.c_str(), "1\nen\n" + Work},
      {nullptr, Path("setup.exe"), "", nullptr, "0\n\n" + Inherited},
      {"open", Root + "\\setup.exe", "cz", "", "1\ncz\n" + Inherited},
      {"Open", "setup.exe", "en", Work.c_str(), "1\nen\n" + Work},
      {"open", Path(W("spouštěč.exe")), W("čeština"), nullptr, "1\nčeština\n" + Inherited},
  };
  for (const auto& Case : Cases) {
    std::filesystem::current_path(Inherited);
    const HINSTANCE Result = ShellExecuteA(nullptr, Case.Verb, Case.File.c_str(),
                                           Case.Parameters.c_str(), Case.Directory, SW_SHOW);
    ASSERT_GT(reinterpret_cast<INT_PTR>(Result), 32) << Case.File;
    const std::string Report = AwaitReport();
    EXPECT_EQ(Report.substr(0, Case.Expected.size() + 1), Case.Expected + "\n") << Case.File;
    EXPECT_EQ(Report.find(Self), std::string::npos) << "still our child: " << Report;
    EXPECT_EQ(Report.find(Session), std::string::npos) << "still in our session: " << Report;
  }
  struct stat Status {};
  ASSERT_EQ(stat(Path("setup.exe").c_str(), &Status), 0);
  EXPECT_NE(Status.st_mode & S_IXUSR, 0u) << "the owner may run the file now";
}

TEST_F(ShellExecuteATest, ReportsWhyALaunchFailed) {
  WriteFile("garbage.exe", "\x01\x02\x03\xFF garbage\n");
  WriteReportingScript("setup.exe");
  std::filesystem::create_directory(Path("folder.exe"));
  const struct {
    const char* Verb;
    std::string File;
    const char* Directory;
    INT_PTR Code;
    DWORD Error;
  } Cases[] = {
      {"open", Path("none.exe"), nullptr, 2, 2},
      {"open", Path("none/setup.exe"), nullptr, 2, 3},
      {"open", "", nullptr, 2, 2},
      {"open", Path("garbage.exe"), nullptr, 31, 193},
      {"open", Path("folder.exe"), nullptr, 5, 5},
      {"open", Path("setup.exe"), "/nonexistent/dir", 2, 3},
      {"print", Path("setup.exe"), nullptr, 31, 1155},
      // Put there by another user: a program, or a link to ours.
      {"open", Path("foreign.exe"), nullptr, 5, 5},
      {"open", Path("link.exe"), nullptr, 5, 5},
  };
  WriteReportingScript("foreign.exe");
  std::filesystem::create_symlink(Path("setup.exe"), Path("link.exe"));
  const bool Foreign = chown(Path("foreign.exe").c_str(), 65534, 65534) == 0 &&
                       lchown(Path("link.exe").c_str(), 65534, 65534) == 0;
  for (const auto& Case : Cases) {
    if (!Foreign && Case.Code == 5 && Case.File != Path("folder.exe")) continue;
    SetLastError(0);
    const HINSTANCE Result =
        ShellExecuteA(nullptr, Case.Verb, Case.File.c_str(), "en", Case.Directory, SW_SHOW);
    EXPECT_EQ(reinterpret_cast<INT_PTR>(Result), Case.Code) << Case.File;
    EXPECT_EQ(GetLastError(), Case.Error) << Case.File;
  }
}

}  // namespace
