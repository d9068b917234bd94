// POSIX stand-in for the shell's launch of a file: the file is run as a program in a process of
// its own session that is not our child, so it is never waited for and outlives the installer.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/codepage.h"
#include "platform/fakes-posix.h"
#include "platform/paths-posix.h"
#include "shellapi.h"

namespace {

// The shell's own result codes; anything above 32 means the launch succeeded.
constexpr INT_PTR SE_ERR_FNF = 2;
constexpr INT_PTR SE_ERR_ACCESSDENIED = 5;
constexpr INT_PTR SE_ERR_OOM = 8;
constexpr INT_PTR SE_ERR_NOASSOC = 31;
constexpr INT_PTR Launched = 42;

constexpr DWORD ERROR_NO_ASSOCIATION = 1155;

// A freshly written file may still be open for writing in a child that another thread has just
// forked; the system refuses to run it until that child has run its own program.
constexpr int BusyRetries = 40;
constexpr long BusyPauseNanoseconds = 50'000'000;

HINSTANCE AsInstance(INT_PTR Code) { return reinterpret_cast<HINSTANCE>(Code); }

bool IsOpenVerb(LPCSTR Verb) {
  if (Verb == nullptr) return true;
  const std::string_view Text = Verb;
  if (Text.empty()) return true;
  if (Text.size() != 4) return false;
  for (std::size_t I = 0; I < 4; ++I) {
    if ((Text[I] | 0x20) != "open"[I]) return false;
  }
  return true;
}

// The shell's result code for a launch that the system refused with Error.
INT_PTR ShellErrorFromErrno(int Error) {
  switch (Error) {
    case ENOENT:
    case ENOTDIR:
      return SE_ERR_FNF;
    case EACCES:
    case EPERM:
    case ETXTBSY:
      return SE_ERR_ACCESSDENIED;
    case ENOMEM:
    case EAGAIN:
      return SE_ERR_OOM;
    default:
      return SE_ERR_NOASSOC;
  }
}

HINSTANCE Refuse(int Error, const std::string& Path) {
  SetLastError(WindowsErrorFromErrno(Error, Path));
  return AsInstance(ShellErrorFromErrno(Error));
}

bool ForeignOwner(const struct stat& Status) {
  return Status.st_uid != ::geteuid() && Status.st_uid != 0;
}

// Gives the owner execute permission, since a downloaded file carries none. A failure here shows
// later, when the system refuses to run the file.
void AllowOwnerToRun(const std::string& Program, const struct stat& Status) {
  if (S_ISREG(Status.st_mode) && (Status.st_mode & S_IXUSR) == 0) {
    ::chmod(Program.c_str(), (Status.st_mode & 07777) | S_IXUSR);
  }
}

[[noreturn]] void ReportAndExit(int ErrorPipe, int Error) {
  [[maybe_unused]] const ssize_t Written = ::write(ErrorPipe, &Error, sizeof Error);
  ::_exit(127);
}

// The launched program starts with default signal handling and nothing blocked, whatever our
// threads have set up.
void ResetSignals() {
  sigset_t Nothing;
  ::sigemptyset(&Nothing);
  ::sigprocmask(SIG_SETMASK, &Nothing, nullptr);
  struct sigaction Default {};
  Default.sa_handler = SIG_DFL;
  for (int Signal = 1; Signal < NSIG; ++Signal) ::sigaction(Signal, &Default, nullptr);
}

// Runs in the forked child, so it makes only async-signal-safe calls. The child leaves our
// session and forks the program's process, then ends at once; the program so becomes an orphan
// that init adopts. The system's error of a failed start goes back through ErrorPipe, which
// closes by itself when the program is running.
[[noreturn]] void StartInOwnSession(char* const* Argv, const char* Directory, int ErrorPipe) {
  ::setsid();
  const pid_t Program = ::fork();
  if (Program < 0) ReportAndExit(ErrorPipe, errno);
  if (Program > 0) ::_exit(0);
  ResetSignals();
  if (Directory != nullptr && ::chdir(Directory) != 0) ReportAndExit(ErrorPipe, errno);
  for (int Attempt = 0;; ++Attempt) {
    ::execv(Argv[0], Argv);
    if (errno != ETXTBSY || Attempt == BusyRetries) break;
    const timespec Pause{0, BusyPauseNanoseconds};
    ::nanosleep(&Pause, nullptr);
  }
  ReportAndExit(ErrorPipe, errno);
}

// Starts Program detached; returns 0 when it runs, else the system's error.
int SpawnDetached(const std::string& Program, const std::string& Parameter,
                  const std::string& Directory) {
  // Everything the child needs is prepared before the fork.
  std::vector<char*> Argv{const_cast<char*>(Program.c_str())};
  if (!Parameter.empty()) Argv.push_back(const_cast<char*>(Parameter.c_str()));
  Argv.push_back(nullptr);
  const char* WorkingDirectory = Directory.empty() ? nullptr : Directory.c_str();

  int Pipe[2];
  if (::pipe2(Pipe, O_CLOEXEC) != 0) return errno;
  const pid_t Child = ::fork();
  if (Child == 0) {
    ::close(Pipe[0]);
    StartInOwnSession(Argv.data(), WorkingDirectory, Pipe[1]);
  }
  const int ForkError = errno;
  ::close(Pipe[1]);
  if (Child < 0) {
    ::close(Pipe[0]);
    return ForkError;
  }
  int Status = 0;
  while (::waitpid(Child, &Status, 0) < 0 && errno == EINTR) {
  }
  int Error = 0;
  ssize_t Read = 0;
  do {
    Read = ::read(Pipe[0], &Error, sizeof Error);
  } while (Read < 0 && errno == EINTR);
  ::close(Pipe[0]);
  return Read == static_cast<ssize_t>(sizeof Error) ? Error : 0;
}

}  // namespace

HINSTANCE ShellExecuteA(HWND, LPCSTR lpOperation, LPCSTR lpFile, LPCSTR lpParameters,
                        LPCSTR lpDirectory, int) {
  const bool RunAs = lpOperation != nullptr && std::string_view(lpOperation) == "runas";
  if (RunAs && PlatformFakes().RunAs) {
    return AsInstance(
        PlatformFakes().RunAs(lpFile ? lpFile : "", lpParameters ? lpParameters : ""));
  }
  if (!IsOpenVerb(lpOperation)) {
    SetLastError(ERROR_NO_ASSOCIATION);
    return AsInstance(SE_ERR_NOASSOC);
  }
  const std::string Directory = SystemPath(lpDirectory);
  std::string Program = SystemPath(lpFile);
  if (Program.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return AsInstance(SE_ERR_FNF);
  }
  if (Program.front() != '/' && !Directory.empty()) Program = Directory + "/" + Program;

  // A file, or a link to one, that another user has put there is not the file we mean to run.
  struct stat ProgramStatus {};
  if (::lstat(Program.c_str(), &ProgramStatus) != 0) return Refuse(errno, Program);
  if (ForeignOwner(ProgramStatus)) return Refuse(EACCES, Program);
  if (::stat(Program.c_str(), &ProgramStatus) != 0) return Refuse(errno, Program);
  if (ForeignOwner(ProgramStatus)) return Refuse(EACCES, Program);
  struct stat DirectoryStatus {};
  if (!Directory.empty() && ::stat(Directory.c_str(), &DirectoryStatus) != 0) {
    return Refuse(errno, Directory);
  }
  AllowOwnerToRun(Program, ProgramStatus);

  const int Error =
      SpawnDetached(Program, ToUtf8(lpParameters != nullptr ? lpParameters : ""), Directory);
  if (Error != 0) return Refuse(Error, Program);
  return AsInstance(Launched);
}
