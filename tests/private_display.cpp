// A virtual X display of the test process's own: Xvfb, started before the process's first test
// and ended after its last, with DISPLAY pointing at it. Tests that show windows then run side by
// side, none sees another's windows, keys or pointer, and none meets what an earlier test left on
// the screen. The scenarios under wine (E2E_PLATFORM=win32) keep the display they were given,
// where the wine server's desktop lives.
//
// Xvfb picks a free display number itself and writes it out only once it accepts connections
// (-displayfd), so processes starting together never race for a number. When no display comes up
// the process's tests fail in their global set-up, saying why. The server ends with the process,
// also when the process is killed (a test over its time), and holds none of its descriptors: a
// death test's child, which runs this set-up again, uses its parent's display.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <iterator>
#include <string>

namespace {

class PrivateDisplay : public ::testing::Environment {
 public:
  void SetUp() override {
    const char* Platform = getenv("E2E_PLATFORM");
    if (Platform && std::string(Platform) == "win32") return;
    const char* Display = getenv("DISPLAY");
    const char* Inherited = getenv(kMarker);
    if (Display && Inherited && std::string(Display) == Inherited) return;
    char LogName[] = "/tmp/xvfb-log-XXXXXX";
    const int Log = mkstemp(LogName);
    ASSERT_GE(Log, 0) << "no log file for Xvfb";
    int Ready[2];
    ASSERT_EQ(pipe2(Ready, O_CLOEXEC), 0);
    FServer = fork();
    if (FServer == 0) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      dup2(Log, 1);
      dup2(Log, 2);
      // The number goes out on descriptor 3; dup2 onto itself would keep close-on-exec.
      if (Ready[1] == 3)
        fcntl(3, F_SETFD, 0);
      else
        dup2(Ready[1], 3);
      dup2(open("/dev/null", O_RDONLY), 0);
      close_range(4, ~0U, 0);
      execlp("Xvfb", "Xvfb", "-displayfd", "3", "-screen", "0", "1280x1024x24", "-dpi", "96",
             "-nolisten", "tcp", "-noreset", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(Ready[1]);
    close(Log);
    const std::string Number = ReadNumber(Ready[0]);
    close(Ready[0]);
    int Status = 0;
    if (FServer > 0 && Number.empty()) {
      kill(FServer, SIGTERM);
      waitpid(FServer, &Status, 0);
      FServer = 0;
    }
    std::ifstream LogFile(LogName);
    const std::string Output{std::istreambuf_iterator<char>(LogFile), {}};
    unlink(LogName);
    ASSERT_GE(FServer, 0) << "cannot start Xvfb";
    if (Number.empty()) {
      FAIL() << "no virtual display: "
             << (WIFSIGNALED(Status) && WTERMSIG(Status) == SIGTERM
                     ? "Xvfb did not answer within 30 s"
                 : WIFEXITED(Status) && WEXITSTATUS(Status) == 127 ? "cannot run Xvfb"
                                                                   : "Xvfb ended at its start")
             << "\n"
             << Output;
    }
    setenv("DISPLAY", (":" + Number).c_str(), 1);
    setenv(kMarker, (":" + Number).c_str(), 1);
  }

  void TearDown() override {
    if (FServer <= 0) return;  // none started, or already ended
    kill(FServer, SIGTERM);
    waitpid(FServer, nullptr, 0);
    FServer = -1;
  }

 private:
  // Names the display this set-up started, for the processes the tests start in turn.
  static constexpr const char* kMarker = "TEST_PRIVATE_DISPLAY";

  // The display number, once Xvfb writes it with its newline; empty when it ends or 30 s pass.
  static std::string ReadNumber(int Fd) {
    std::string Number;
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < Deadline) {
      pollfd Wait{Fd, POLLIN, 0};
      if (poll(&Wait, 1, 1000) < 0 && errno != EINTR) break;
      if (Wait.revents == 0) continue;
      char C;
      const ssize_t Got = read(Fd, &C, 1);
      if (Got < 0 && errno == EINTR) continue;
      if (Got <= 0) return "";
      if (C == '\n') return Number;
      Number += C;
    }
    return "";
  }

  pid_t FServer = -1;
};

[[maybe_unused]] ::testing::Environment* const Registered =
    ::testing::AddGlobalTestEnvironment(new PrivateDisplay);

}  // namespace
