// The real product's window on the X display: what it shows first, its caption, its size hints,
// its indifference to keys, and the message box when no working folder can be made.
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

class WindowProductTest : public ProductTest {
 protected:
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

TEST_F(WindowProductTest, KeysDoNothingOnTheLanguagePage) {
  const WindowId Main = StartAndFind("merona", "MERONA");
  ASSERT_NE(Main, 0u);
  std::vector<std::string> Keys = {"Escape", "Return", "space", "Tab", "KP_Enter"};
  // On Windows Alt+F4 is the system menu's Close, which ends the program as the close button
  // does; only natively is it one more key that must do nothing.
  if (!Target.IsWine()) Keys.push_back("alt+F4");
  for (const std::string& Key : Keys) PressKey(Main, Key);
  // A flag activated from the keyboard would request the first file one second later.
  std::this_thread::sleep_for(1500ms);
  EXPECT_TRUE(Product->Running());
  EXPECT_TRUE(IsVisible(Product->Pid(), Main));
  EXPECT_TRUE(Server->Requests().empty());
  const auto Shot = Screenshot::Take(Main, Dir / "after-keys.ppm");
  ASSERT_TRUE(Shot);
  EXPECT_GT(Shot->Count(300, 45, 40, 27, IsBlue), 200) << "the language page has gone";
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
