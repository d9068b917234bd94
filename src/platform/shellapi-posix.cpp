// POSIX stand-in for the shell's launch of a file: the file is run as a program in a process of
// its own session that is not our child, so it is never waited for and outlives the installer.
// What runs is the file as it was opened and checked here (or as the process holds it open), by
// its descriptor: nothing put under its name meanwhile.
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

// The program to start, opened without following a link (or the file the process holds open
// under that name); the system's error when it cannot be opened or is not a regular file of ours
// or the system's.
int OpenProgram(const std::string& Program, int& Fd) {
  const int Held = HeldFileDescriptor(Program);
  const TPlace Place = PlaceOf(Program);
  Fd = Held >= 0 ? ::fcntl(Held, F_DUPFD_CLOEXEC, 0)
                 : ::openat(Place.Folder, Place.Name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  // A link, whoever put it there, is not the file we mean to run.
  if (Fd < 0) return errno == ELOOP ? EACCES : errno;
  struct stat Status {};
  const int Error = ::fstat(Fd, &Status) != 0                          ? errno
                    : !S_ISREG(Status.st_mode) || ForeignOwner(Status) ? EACCES
                                                                       : 0;
  if (Error != 0) {
    ::close(Fd);
    return Error;
  }
  // A downloaded file carries no execute permission; a failure here shows when the system
  // refuses to run it.
  if ((Status.st_mode & S_IXUSR) == 0) ::fchmod(Fd, (Status.st_mode & 07777) | S_IXUSR);
  return 0;
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
[[noreturn]] void StartInOwnSession(int ProgramFd, char* const* Argv, const char* Directory,
                                    int DirectoryFd, int ErrorPipe) {
  ::setsid();
  const pid_t Program = ::fork();
  if (Program < 0) ReportAndExit(ErrorPipe, errno);
  if (Program > 0) ::_exit(0);
  ResetSignals();
  const bool Entered = DirectoryFd >= 0       ? ::fchdir(DirectoryFd) == 0
                       : Directory != nullptr ? ::chdir(Directory) == 0
                                              : true;
  if (!Entered) ReportAndExit(ErrorPipe, errno);
  // A script's interpreter reads the program through its descriptor, so this one stays open
  // across the start.
  const int Inherited = ::dup(ProgramFd);
  if (Inherited < 0) ReportAndExit(ErrorPipe, errno);
  for (int Attempt = 0;; ++Attempt) {
    ::fexecve(Inherited, Argv, environ);
    if (errno != ETXTBSY || Attempt == BusyRetries) break;
    const timespec Pause{0, BusyPauseNanoseconds};
    ::nanosleep(&Pause, nullptr);
  }
  ReportAndExit(ErrorPipe, errno);
}

// Starts Program detached; returns 0 when it runs, else the system's error.
int SpawnDetached(int ProgramFd, const std::string& Program, const std::string& Parameter,
                  const std::string& Directory) {
  // Everything the child needs is prepared before the fork.
  std::vector<char*> Argv{const_cast<char*>(Program.c_str())};
  if (!Parameter.empty()) Argv.push_back(const_cast<char*>(Parameter.c_str()));
  Argv.push_back(nullptr);
  const char* WorkingDirectory = Directory.empty() ? nullptr : Directory.c_str();
  const int DirectoryFd = Directory.empty() ? -1 : HeldFolderDescriptor(Directory);

  int Pipe[2];
  if (::pipe2(Pipe, O_CLOEXEC) != 0) return errno;
  const pid_t Child = ::fork();
  if (Child == 0) {
    ::close(Pipe[0]);
    StartInOwnSession(ProgramFd, Argv.data(), WorkingDirectory, DirectoryFd, Pipe[1]);
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

  struct stat DirectoryStatus {};
  if (!Directory.empty() && HeldFolderDescriptor(Directory) < 0 &&
      ::stat(Directory.c_str(), &DirectoryStatus) != 0) {
    return Refuse(errno, Directory);
  }
  int ProgramFd = -1;
  if (const int Error = OpenProgram(Program, ProgramFd); Error != 0) return Refuse(Error, Program);
  const int Error = SpawnDetached(ProgramFd, Program,
                                  ToUtf8(lpParameters != nullptr ? lpParameters : ""), Directory);
  ::close(ProgramFd);
  if (Error != 0) return Refuse(Error, Program);
  return AsInstance(Launched);
}
