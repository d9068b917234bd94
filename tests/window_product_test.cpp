// The real product's window on the X display: what it shows first, its caption, its size hints,
// the keyboard and the focus mark, and the message box when no working folder can be made.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "e2e_product.h"

namespace e2e {
namespace {

constexpr int kClientWidth = 585, kClientHeight = 113;
constexpr Rgb kPanel{176, 216, 255};

bool IsRed(Rgb P) { return P.R > 150 && P.G < 90 && P.B < 100; }
bool IsBlue(Rgb P) { return P.B > 90 && P.R < 70 && P.G < 110; }
bool IsWhite(Rgb P) { return P.R > 225 && P.G > 225 && P.B > 225; }

// The flags' pictures, left, top, right and bottom in client coordinates.
struct Box {
  int Left, Top, Right, Bottom;
};
constexpr Box kCzechFlag{240, 45, 280, 72}, kEnglishFlag{300, 45, 340, 72};

// Whether a pixel lies on the mark around Flag: its rectangle two pixels larger on every side.
bool OnRing(const Box& Flag, int X, int Y) {
  const Box R{Flag.Left - 2, Flag.Top - 2, Flag.Right + 2, Flag.Bottom + 2};
  const bool Inside = X >= R.Left && X < R.Right && Y >= R.Top && Y < R.Bottom;
  return Inside && (X == R.Left || X == R.Right - 1 || Y == R.Top || Y == R.Bottom - 1);
}
bool OnMark(int X, int Y) { return OnRing(kCzechFlag, X, Y) || OnRing(kEnglishFlag, X, Y); }

int OnRing(const Screenshot& Shot, const Box& Flag, const std::function<bool(Rgb)>& Match) {
  int N = 0;
  for (int Y = Flag.Top - 2; Y < Flag.Bottom + 2; ++Y) {
    for (int X = Flag.Left - 2; X < Flag.Right + 2; ++X)
      N += OnRing(Flag, X, Y) && Match(Shot.At(X, Y));
  }
  return N;
}

const char* const kTavoskelSources[] = {"tavos.zip", "setup.zip", "lumet.zip"};

class WindowProductTest : public ProductTest {
 protected:
  // The three files of the product that installs into the common files folder, setup second.
  void ServeTavoskel() {
    for (const char* Source : kTavoskelSources) {
      Serve("tavoskel", Source,
            std::string(Source) == "setup.zip" ? SetupProgram() : Payload(30000, 7));
    }
  }

  // The download chosen runs to its end: every file requested once, in order, then the status
  // report; the program ends and its installer is started with Language.
  void ExpectInstalledIn(const std::string& Language) {
    EXPECT_TRUE(ExitedWithZero(Product->WaitExit(20s))) << ProductLog();
    std::vector<std::string> Expected;
    for (const char* Source : kTavoskelSources)
      Expected.push_back("/download/tavoskel/" + std::string(Source));
    auto Paths = RequestedPaths();
    ASSERT_EQ(Paths.size(), Expected.size() + 1) << testing::PrintToString(Paths);
    Paths.pop_back();
    EXPECT_EQ(Paths, Expected);
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(SetupRecord()); }, 5s)) << "setup not started";
    const auto Record = SetupRecordLines();
    ASSERT_GE(Record.size(), 2u) << ReadFile(SetupRecord());
    EXPECT_EQ(Record[0], "1");
    EXPECT_EQ(Record[1], Language);
  }

  // Starts the product and waits for its main window, drawn.
  WindowId StartAndFind(const std::string& Stem, const std::string& Caption) {
    ProductProcess& P = Start(Stem, ProductEnvironment("AMD64"));
    const auto Main = WaitForWindow(P.Pid(), Caption);
    if (!Main) ADD_FAILURE() << "no window titled " << Caption << "\n" << ProductLog();
    std::this_thread::sleep_for(300ms);
    return Main.value_or(0);
  }

  void CloseAndExpectExit(WindowId Main) {
    X.RequestClose(Main);
    // Generous: a loaded machine (sanitizer builds side by side) may be slow to schedule it.
    EXPECT_TRUE(ExitedWithZero(Product->WaitExit(10s))) << ProductLog();
  }

  DisplayConnection X;
};

TEST_F(WindowProductTest, OpensOnTheLanguagePageWithBothFlagsOnLightBlue) {
  const WindowId Main = StartAndFind("merona", "MERONA");
  ASSERT_NE(Main, 0u);
  const auto Shot = Screenshot::Take(Main, Dir / "language.ppm");
  ASSERT_TRUE(Shot);
  ASSERT_EQ(Shot->Width(), kClientWidth);
  ASSERT_EQ(Shot->Height(), kClientHeight);

  EXPECT_EQ(Shot->At(100, 100), kPanel);
  EXPECT_EQ(Shot->At(500, 30), kPanel);
  // Czech flag at 240..280 x 45..72: white over red, blue at the hoist.
  const int Flag = 40 * 27;
  EXPECT_GT(Shot->Count(240, 45, 40, 27, IsRed), Flag / 5);
  EXPECT_GT(Shot->Count(240, 45, 40, 27, IsWhite), Flag / 5);
  EXPECT_GT(Shot->Count(240, 45, 40, 27, IsBlue), Flag / 10);
  EXPECT_EQ(Shot->At(275, 48), (Rgb{255, 255, 255}));
  // Union flag at 300..340 x 45..72: blue field, red and white crosses.
  EXPECT_GT(Shot->Count(300, 45, 40, 27, IsBlue), Flag / 5);
  EXPECT_GT(Shot->Count(300, 45, 40, 27, IsRed), Flag / 20);
  EXPECT_GT(Shot->Count(300, 45, 40, 27, IsWhite), Flag / 20);
  // Where the gauge of the download page would be, only the panel shows.
  const int Below = Shot->Count(5, 76, 575, 30, [](Rgb P) { return P == kPanel; });
  EXPECT_EQ(Below, 575 * 30) << "something is drawn below the flags";
  CloseAndExpectExit(Main);
}

TEST_F(WindowProductTest, CaptionIsTheUpperCasedProgramName) {
  const struct {
    const char* Stem;
    const char* Caption;
  } Cases[] = {
      {"merona", "MERONA"},
      {"Merona", "MERONA"},
      {"korvidale12", "KORVIDALE12"},
      {"merona (1)", "MERONA"},                                        // a browser's second copy
      {"\xC5\xBElu\xC5\xA5\xC3\xA1k", "\xC5\xBDLU\xC5\xA4\xC3\x81K"},  // žluťák, ŽLUŤÁK
  };
  // Under wine the ANSI code page here is 1252, which has no letter t with caron: the Czech name
  // and caption hold all the same.
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Stem);
    const WindowId Main = StartAndFind(C.Stem, C.Caption);
    if (Main == 0) continue;
    CloseAndExpectExit(Main);
  }
}

// The keyboard on the language page: the Czech flag has the focus when the page opens, Tab,
// Shift+Tab and the arrows move it, Space or Enter chooses; the download then runs as after a
// click, its first request a second after the choice.
TEST_F(WindowProductTest, KeysChooseTheLanguageOfTheDownload) {
  const struct {
    const char* Keys;
    const char* Language;
  } Cases[] = {
      {"Return", "cz"},
      {"Tab space", "en"},
      {"Right Return", "en"},
      {"Tab shift+Tab space", "cz"},
  };
  ServeTavoskel();
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Keys);
    Server->ClearRequests();
    fs::remove(SetupRecord());
    const WindowId Main = StartAndFind("tavoskel", "TAVOSKEL");
    if (Main == 0) continue;
    TypeKeys(Main, C.Keys);
    const auto Typed = std::chrono::system_clock::now();
    ExpectInstalledIn(C.Language);
    const auto Requests = Server->Requests();
    ASSERT_FALSE(Requests.empty());
    // xdotool returns a tenth of a second after the last key.
    EXPECT_GE(Requests.front().Time - Typed, 850ms) << "the first file did not wait a second";
  }
}

// Escape and letters do nothing on the language page (nor Alt+F4 natively: on Windows it is the
// system menu's Close); on the download page, where nothing has the focus, neither do Enter,
// Space, Tab and the arrows: the download chosen by the click runs on unchanged.
TEST_F(WindowProductTest, OtherKeysDoNothing) {
  ServeTavoskel();
  const WindowId Main = StartAndFind("tavoskel", "TAVOSKEL");
  ASSERT_NE(Main, 0u);
  TypeKeys(Main, Target.IsWine() ? "Escape a x 1 BackSpace" : "Escape a x 1 BackSpace alt+F4");
  // A flag activated from the keyboard would request the first file one second later.
  std::this_thread::sleep_for(1500ms);
  EXPECT_TRUE(Product->Running());
  EXPECT_TRUE(IsVisible(Product->Pid(), Main));
  EXPECT_TRUE(Server->Requests().empty());
  const auto Shot = Screenshot::Take(Main, Dir / "after-keys.ppm");
  ASSERT_TRUE(Shot);
  EXPECT_GT(Shot->Count(300, 45, 40, 27, IsBlue), 200) << "the language page has gone";

  ASSERT_TRUE(ClickFlag(Main, "cz"));
  TypeKeys(Main, "Return space Tab Right Return Escape e");
  ExpectInstalledIn("cz");
}

// The focused flag shows a dotted mark around it while the window has the keyboard focus; the
// rest of the page is the same with and without it.
TEST_F(WindowProductTest, FocusMarkFollowsTheFocus) {
  const WindowId Main = StartAndFind("merona", "MERONA");
  ASSERT_NE(Main, 0u);
  ASSERT_TRUE(X.Open());
  const auto Shoot = [&](const std::string& Name) {
    std::this_thread::sleep_for(500ms);
    return Screenshot::Take(Main, Dir / (Name + ".ppm"));
  };
  TypeKeys(Main, "");
  const auto Czech = Shoot("czech-focused");
  TypeKeys(Main, "Tab");
  const auto English = Shoot("english-focused");
  X.FocusNothing();
  const auto Unfocused = Shoot("unfocused");
  ASSERT_TRUE(Czech && English && Unfocused);

  const auto Black = [](Rgb P) { return P == Rgb{0, 0, 0}; };
  // Each mark: the flag's rectangle two pixels larger on every side, dotted.
  const int Ring = 72;  // every other pixel of the 44 x 31 ring
  EXPECT_EQ(OnRing(*Czech, kCzechFlag, Black), Ring);
  EXPECT_EQ(OnRing(*Czech, kEnglishFlag, Black), 0);
  EXPECT_EQ(OnRing(*English, kCzechFlag, Black), 0);
  EXPECT_EQ(OnRing(*English, kEnglishFlag, Black), Ring);
  EXPECT_EQ(OnRing(*Unfocused, kCzechFlag, Black), 0);
  EXPECT_EQ(OnRing(*Unfocused, kEnglishFlag, Black), 0);
  // Away from the marks nothing changes.
  int Differing = 0;
  for (int Y = 0; Y < kClientHeight; ++Y) {
    for (int X = 0; X < kClientWidth; ++X) {
      Differing += !OnMark(X, Y) && (Czech->At(X, Y) != Unfocused->At(X, Y) ||
                                     English->At(X, Y) != Unfocused->At(X, Y));
    }
  }
  EXPECT_EQ(Differing, 0);
  // The display's focus goes back to a window, as the later tests find it.
  TypeKeys(Main, "");
  CloseAndExpectExit(Main);
}

TEST_F(WindowProductTest, CannotBeResizedMinimisedOrMaximised) {
  const WindowId Main = StartAndFind("pluvan", "PLUVAN");
  ASSERT_NE(Main, 0u);
  const std::string Hints = Capture("xprop -id " + std::to_string(Main) + " WM_NORMAL_HINTS");
  std::smatch Min, Max;
  ASSERT_TRUE(std::regex_search(Hints, Min, std::regex(R"(minimum size: (\d+) by (\d+))")))
      << Hints;
  ASSERT_TRUE(std::regex_search(Hints, Max, std::regex(R"(maximum size: (\d+) by (\d+))")))
      << Hints;
  EXPECT_EQ(Min[1], Max[1]);
  EXPECT_EQ(Min[2], Max[2]);
  EXPECT_EQ(std::stoi(Min[1]), kClientWidth);
  EXPECT_EQ(std::stoi(Min[2]), kClientHeight);

  // Motif hints: functions move and close only; decorations without minimise and maximise.
  const std::string Motif = Capture("xprop -id " + std::to_string(Main) + " _MOTIF_WM_HINTS");
  std::smatch Fields;
  ASSERT_TRUE(std::regex_search(Motif, Fields,
                                std::regex(R"(= (0x[0-9a-f]+), (0x[0-9a-f]+), (0x[0-9a-f]+))")))
      << Motif;
  const unsigned long Functions = std::stoul(Fields[2], nullptr, 16);
  const unsigned long Decorations = std::stoul(Fields[3], nullptr, 16);
  EXPECT_EQ(Functions, 0x4u | 0x20u) << "move | close";
  EXPECT_EQ(Decorations & (0x1u | 0x4u | 0x20u | 0x40u), 0u) << "all, resize handles, min, max";
  CloseAndExpectExit(Main);
}

TEST_F(WindowProductTest, UnwritableWorkingFolderShowsMessageAndEnds) {
  ASSERT_TRUE(X.Open());
  // A file where the working folder should be; the temp folder itself is the platform's own.
  RemoveWorkingFolders("merona");
  WriteFile(Places.Temp / "merona", "a file where a folder should be");
  ProductProcess& P = StartKeepingFolders("merona", ProductEnvironment("AMD64"));

  std::optional<WindowId> Box;
  WaitUntil(
      [&] {
        const auto Windows = VisibleWindows(P.Pid());
        if (!Windows.empty()) Box = Windows.front();
        return Box.has_value();
      },
      10s);
  ASSERT_TRUE(Box) << ProductLog();
  EXPECT_EQ(WindowName(*Box), "merona");
  EXPECT_TRUE(P.Running());
  // A window manager maps a frame of its own around the box.
  std::vector<WindowId> BoxAndFrames = X.Ancestors(*Box);
  BoxAndFrames.push_back(*Box);

  DismissBox(P.Pid(), *Box);
  EXPECT_TRUE(ExitedWithZero(P.WaitExit(3s))) << ProductLog();
  // The language page was never offered: the box is the only window that appeared.
  const auto Mapped = X.MappedWindows();
  ASSERT_GE(Mapped.size(), 1u);
  for (const auto& M : Mapped) {
    EXPECT_TRUE(std::find(BoxAndFrames.begin(), BoxAndFrames.end(), M.Window) != BoxAndFrames.end())
        << "another window appeared, " << M.Width << "x" << M.Height;
  }
  EXPECT_TRUE(Server->Requests().empty());
  RemoveWorkingFolders("merona");  // the temp folder may be shared with later runs
}

}  // namespace
}  // namespace e2e
