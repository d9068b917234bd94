// Tests of the POSIX stand-ins for the Windows environment, module and file functions.
#include <errno.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <windows.h>

#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <thread>
#include <vector>

#include "test_support-posix.h"

namespace {

// The directory the test program started in, captured the way the stand-in captures it.
const std::string StartedIn = std::filesystem::current_path().string();

// Sets and removes environment variables (every spelling of a name) and restores them after.
class ScopedEnvironment {
 public:
  ~ScopedEnvironment() {
    for (const auto& [Name, Value] : Saved) {
      Value ? setenv(Name.c_str(), Value->c_str(), 1) : unsetenv(Name.c_str());
    }
  }
  void Unset(const std::string& Name) {
    std::vector<std::string> Matches;
    for (char** Entry = environ; *Entry != nullptr; ++Entry) {
      const std::string Key(*Entry, std::strcspn(*Entry, "="));
      if (strcasecmp(Key.c_str(), Name.c_str()) == 0) Matches.push_back(Key);
    }
    for (const std::string& Key : Matches) Set(Key, std::nullopt);
  }
  void Set(const std::string& Name, const std::optional<std::string>& Value) {
    const char* Old = getenv(Name.c_str());
    if (!Saved.count(Name)) Saved[Name] = Old ? std::optional<std::string>(Old) : std::nullopt;
    Value ? setenv(Name.c_str(), Value->c_str(), 1) : unsetenv(Name.c_str());
  }

 private:
  std::map<std::string, std::optional<std::string>> Saved;
};

// Reads a variable the way the installer does: ask for the size, then for the value.
std::string GetEnv(const std::string& Name) {
  const DWORD Size = GetEnvironmentVariableA(Name.c_str(), nullptr, 0);
  if (Size < 1) return "";
  std::string Value(Size - 1, '\0');
  EXPECT_EQ(GetEnvironmentVariableA(Name.c_str(), Value.data(), Size), Size - 1) << Name;
  return Value;
}

std::string MachineArchitecture() {
  utsname System{};
  uname(&System);
  const std::map<std::string, std::string> Names = {
      {"x86_64", "AMD64"}, {"aarch64", "ARM64"}, {"i386", "x86"}, {"i686", "x86"}};
  return Names.count(System.machine) ? Names.at(System.machine) : System.machine;
}

TEST(GetEnvironmentVariableA, MatchesNamesAndStandsInForWindowsVariables) {
  const struct {
    std::vector<std::pair<std::string, std::string>> Set;
    std::string Query, Expected;
  } Cases[] = {
      {{{"TEMP", "/var/a"}}, "temp", "/var/a"},
      {{{"Temp", "/b"}}, "TEMP", "/b"},
      {{{"TEMP", "/upper"}, {"temp", "/lower"}}, "temp", "/lower"},
      {{{"TMPDIR", "/scratch"}}, "temp", "/scratch"},
      // Without a temp folder of its own a user gets a per-user one, never a shared name.
      {{{"HOME", "/home/u"}}, "temp", "/home/u/.cache"},
      {{{"HOME", "/home/u"}, {"XDG_CACHE_HOME", "/c"}}, "temp", "/c"},
      {{{"HOME", "/home/u"}, {"XDG_CACHE_HOME", "relative"}}, "temp", "/home/u/.cache"},
      {{}, "temp", std::string(getpwuid(geteuid())->pw_dir) + "/.cache"},
      {{{"TEMP", ""}, {"TMPDIR", "/scratch"}}, "temp", ""},
      {{}, "processor_architecture", MachineArchitecture()},
      {{{"PROCESSOR_ARCHITECTURE", "x86"}}, "processor_architecture", "x86"},
      {{}, "CommonProgramFiles", "/opt"},
      {{}, "CommonProgramFiles(x86)", "/opt"},
      {{{"COMMONPROGRAMFILES", "/c/files"}}, "CommonProgramFiles", "/c/files"},
      {{{"PLATFORM_TEST", "/tmp/žluťák"}}, "platform_test", W("/tmp/žluťák")},
      {{{"PLATFORM_TEST", "a\u0436b"}}, "PLATFORM_TEST", "a?b"},
      {{}, "PLATFORM_TEST", ""},
  };
  for (const auto& Case : Cases) {
    ScopedEnvironment Environment;
    for (const char* Name :
         {"temp", "TMPDIR", "PLATFORM_TEST", "processor_architecture", "CommonProgramFiles",
          "CommonProgramFiles(x86)", "XDG_CACHE_HOME", "HOME"}) {
      Environment.Unset(Name);
    }
    for (const auto& [Name, Value] : Case.Set) Environment.Set(Name, Value);
    EXPECT_EQ(GetEnv(Case.Query), Case.Expected) << Case.Query;
  }
}

TEST(GetEnvironmentVariableA, FollowsTheWindowsSizeConvention) {
  ScopedEnvironment Environment;
  Environment.Set("PLATFORM_TEST", "abc");
  char Buffer[8] = "xxxxxxx";
  EXPECT_EQ(GetEnvironmentVariableA("PLATFORM_TEST", nullptr, 0), 4u);
  EXPECT_EQ(GetEnvironmentVariableA("PLATFORM_TEST", Buffer, 3), 4u);
  EXPECT_STREQ(Buffer, "xxxxxxx") << "a buffer that is too small stays untouched";
  EXPECT_EQ(GetEnvironmentVariableA("PLATFORM_TEST", Buffer, 4), 3u);
  EXPECT_STREQ(Buffer, "abc");
  Environment.Unset("PLATFORM_TEST");
  SetLastError(0);
  EXPECT_EQ(GetEnvironmentVariableA("PLATFORM_TEST", Buffer, sizeof Buffer), 0u);
  EXPECT_EQ(GetLastError(), 203u);
}

class GetModuleFileNameATest : public ScratchTest {
 protected:
  void TearDown() override {
    program_invocation_name = Saved;
    ScratchTest::TearDown();
  }
  char* Saved = program_invocation_name;
};

// Read after the current directory has moved: relative paths still resolve against the start.
TEST_F(GetModuleFileNameATest, IsAbsoluteAgainstTheStartDirectory) {
  const struct {
    const char *Invocation, *Expected;
  } Cases[] = {
      {"products/merona.exe", "/products/merona.exe"},
      {"./Merona.exe", "/Merona.exe"},
      {"/opt/tavoskel.exe", "/opt/tavoskel.exe"},
      {"/opt/žluťák.exe", "/opt/\x9Elu\x9D\xE1k.exe"},
  };
  std::filesystem::current_path(Root);
  for (const auto& Case : Cases) {
    program_invocation_name = const_cast<char*>(Case.Invocation);
    char Buffer[4096];
    const DWORD Length = GetModuleFileNameA(nullptr, Buffer, sizeof Buffer);
    const std::string Prefix = Case.Invocation[0] == '/' ? "" : StartedIn;
    EXPECT_EQ(Buffer, Prefix + Case.Expected);
    EXPECT_EQ(Length, std::strlen(Buffer));
  }
  program_invocation_name = const_cast<char*>("/opt/merona.exe");
  char Small[5];
  EXPECT_EQ(GetModuleFileNameA(nullptr, Small, sizeof Small), 5u);
  EXPECT_STREQ(Small, "/opt");
  EXPECT_EQ(GetLastError(), 122u);
}

// Each call either succeeds or fails with the Windows error number a program would see.
TEST_F(ScratchTest, FileFunctionsReportWindowsErrors) {
  WriteFile("file", "data");
  const std::string Backslashed = Root + "\\dir\\";
  const struct {
    const char* Call;
    std::function<bool()> Run;
    DWORD Error;  // 0: the call succeeds
  } Cases[] = {
      {"mkdir", [&] { return CreateDirectoryA(Path("new").c_str(), nullptr); }, 0},
      {"mkdir \\", [&] { return CreateDirectoryA(Backslashed.c_str(), nullptr); }, 0},
      {"mkdir CP1250", [&] { return CreateDirectoryA(Path(W("složka")).c_str(), nullptr); }, 0},
      {"mkdir again", [&] { return CreateDirectoryA(Path("new").c_str(), nullptr); }, 183},
      {"mkdir on file", [&] { return CreateDirectoryA(Path("file").c_str(), nullptr); }, 183},
      {"mkdir no parent", [&] { return CreateDirectoryA(Path("x/y").c_str(), nullptr); }, 3},
      {"mkdir under file", [&] { return CreateDirectoryA(Path("file/y").c_str(), nullptr); }, 3},
      {"mkdir empty", [&] { return CreateDirectoryA("", nullptr); }, 3},
      {"attr missing", [&] { return GetFileAttributesA(Path("x").c_str()) != ~0u; }, 2},
      {"attr no parent", [&] { return GetFileAttributesA(Path("x/y").c_str()) != ~0u; }, 3},
      {"cd", [&] { return SetCurrentDirectoryA(Backslashed.c_str()); }, 0},
      {"cd missing", [&] { return SetCurrentDirectoryA(Path("x").c_str()); }, 2},
      {"cd no parent", [&] { return SetCurrentDirectoryA(Path("x\\y\\").c_str()); }, 3},
      {"cd to file", [&] { return SetCurrentDirectoryA(Path("file").c_str()); }, 3},
      {"delete", [&] { return DeleteFileA(Path("file").c_str()); }, 0},
      {"delete missing", [&] { return DeleteFileA(Path("file").c_str()); }, 2},
      {"delete no parent", [&] { return DeleteFileA(Path("x/file").c_str()); }, 3},
      {"delete directory", [&] { return DeleteFileA(Path("new").c_str()); }, 5},
  };
  for (const auto& Case : Cases) {
    SetLastError(0);
    EXPECT_EQ(Case.Run(), Case.Error == 0) << Case.Call;
    EXPECT_EQ(GetLastError(), Case.Error) << Case.Call;
  }
  EXPECT_EQ(std::filesystem::current_path(), std::filesystem::canonical(Path("dir")));
  EXPECT_TRUE(std::filesystem::is_directory(Path("složka")));
  EXPECT_EQ(GetFileAttributesA(Root.c_str()), FILE_ATTRIBUTE_DIRECTORY);
  WriteFile("file", "data");
  EXPECT_EQ(GetFileAttributesA(Path("file").c_str()), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(ScratchTest, CreateDirectoryAInAReadOnlyDirectory) {
  if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
  chmod(Root.c_str(), 0555);
  EXPECT_FALSE(CreateDirectoryA(Path("new").c_str(), nullptr));
  EXPECT_EQ(GetLastError(), 5u);
  chmod(Root.c_str(), 0755);
}

// Grants user 65534 access beside the mode bits, with a mask that leaves the group no write.
bool AddAccessList(const std::string& Path) {
  struct Entry {
    std::uint16_t Tag, Perm;
    std::uint32_t Id;
  };
  struct {
    std::uint32_t Version = 2;
    Entry Entries[5] = {
        {0x01, 7, ~0u}, {0x02, 7, 65534}, {0x04, 5, ~0u}, {0x10, 5, ~0u}, {0x20, 0, ~0u}};
  } List;
  return setxattr(Path.c_str(), "system.posix_acl_access", &List, sizeof List, 0) == 0;
}

// A folder opens as a handle only when nobody else can change what is in it or put another in
// its place.
TEST_F(ScratchTest, FolderOpensOnlyWhenPrivate) {
  const auto Folder = [&](const std::string& Name, mode_t Mode) {
    std::filesystem::create_directory(Path(Name));
    chmod(Path(Name).c_str(), Mode);
    return Path(Name);
  };
  const struct {
    const char* Name;
    std::function<std::string()> Make;
    DWORD Error;  // 0: opens
  } Cases[] = {
      {"ours 0700", [&] { return Folder("ours", 0700); }, 0},
      {"ours 0775", [&] { return Folder("group", 0775); }, 5},
      {"ours with an access list",
       [&] {
         const std::string Made = Folder("acl", 0700);
         EXPECT_TRUE(AddAccessList(Made)) << strerror(errno);
         return Made;
       },
       5},
      {"foreign",
       [&] {
         const std::string Made = Folder("foreign", 0700);
         EXPECT_EQ(chown(Made.c_str(), 65534, 65534), 0);
         return Made;
       },
       5},
      {"parent 0777 without sticky",
       [&] {
         Folder("open", 0777);
         return Folder("open/in", 0700);
       },
       5},
      {"sticky parent",
       [&] {
         Folder("sticky", 01777);
         return Folder("sticky/in", 0700);
       },
       0},
      {"a link",
       [&] {
         std::filesystem::create_directory_symlink(Folder("target", 0700), Path("link"));
         return Path("link");
       },
       5},
  };
  for (const auto& Case : Cases) {
    const std::string Made = Case.Make();
    SetLastError(0);
    const HANDLE Held = CreateFileA(Made.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    EXPECT_EQ(Held != INVALID_HANDLE_VALUE, Case.Error == 0) << Case.Name;
    EXPECT_EQ(GetLastError(), Case.Error) << Case.Name;
    if (Held != INVALID_HANDLE_VALUE) CloseHandle(Held);
  }
}

// Once held, the folder's files are reached through its handle: a folder moved away and another
// put in its place change nothing, and a second lock on it is refused until the first goes.
TEST_F(ScratchTest, HeldFolderIsReachedThroughItsHandle) {
  std::filesystem::create_directory(Path("work"));
  chmod(Path("work").c_str(), 0700);
  const HANDLE Held = CreateFileA(Path("work").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(Held, INVALID_HANDLE_VALUE);
  std::filesystem::rename(Path("work"), Path("moved"));
  std::filesystem::create_directory(Path("elsewhere"));
  std::filesystem::create_directory_symlink(Path("elsewhere"), Path("work"));
  const HANDLE File = CreateFileA(Path("work/setup.exe").c_str(), GENERIC_WRITE, 0, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(File, INVALID_HANDLE_VALUE);
  CloseHandle(File);
  EXPECT_TRUE(std::filesystem::exists(Path("moved/setup.exe")));
  EXPECT_TRUE(std::filesystem::is_empty(Path("elsewhere")));
  EXPECT_EQ(GetFileAttributesA(Path("work/setup.exe").c_str()), FILE_ATTRIBUTE_NORMAL);
  EXPECT_TRUE(DeleteFileA(Path("work/setup.exe").c_str()));
  EXPECT_FALSE(std::filesystem::exists(Path("moved/setup.exe")));

  const HANDLE Lock = CreateMutexA(nullptr, FALSE, "any");
  EXPECT_EQ(GetLastError(), 0u);
  const HANDLE Second = CreateMutexA(nullptr, FALSE, "any");
  EXPECT_EQ(GetLastError(), 183u);
  CloseHandle(Second);
  CloseHandle(Lock);
  const HANDLE Again = CreateMutexA(nullptr, FALSE, "any");
  EXPECT_EQ(GetLastError(), 0u);
  CloseHandle(Again);
  CloseHandle(Held);
}

TEST(LastError, BelongsToEachThread) {
  SetLastError(77);
  std::thread([] { SetLastError(5); }).join();
  EXPECT_EQ(GetLastError(), 77u);
}

}  // namespace

// The system's own answers, where no test has put fakes in their place: the program's arguments
// as one line, and the process's rights as root's.
TEST(ProcessQueries, CommandLineAndElevationComeFromTheSystem) {
  EXPECT_NE(std::string(GetCommandLineA()).find(program_invocation_short_name), std::string::npos);
  HANDLE Token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &Token));
  TOKEN_ELEVATION Elevation{};
  DWORD Size = 0;
  EXPECT_FALSE(GetTokenInformation(Token, TokenElevation, &Elevation, 1, &Size));
  EXPECT_EQ(GetLastError(), 122u);  // ERROR_INSUFFICIENT_BUFFER
  ASSERT_TRUE(GetTokenInformation(Token, TokenElevation, &Elevation, sizeof Elevation, &Size));
  EXPECT_EQ(Size, sizeof Elevation);
  EXPECT_EQ(Elevation.TokenIsElevated != 0, ::geteuid() == 0);
  EXPECT_TRUE(CloseHandle(Token));
}
