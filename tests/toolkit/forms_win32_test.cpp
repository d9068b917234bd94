// The Win32 backend's standard controls, which the keyboard and screen readers rely on: a child
// window of the system's class for each label, focusable image and gauge, with the texts a screen
// reader reads, the progress in per cent, and the focus moved by the dialog manager.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "toolkit/backend.h"
#include "toolkit/forms.h"
#include "toolkit/resources.h"

namespace {

using namespace std::chrono_literals;

struct Child {
  std::wstring Class, Text;
  bool Visible;
  bool operator==(const Child&) const = default;
};

void PrintTo(const Child& C, std::ostream* Out) {
  *Out << std::string(C.Class.begin(), C.Class.end()) << " '"
       << std::string(C.Text.begin(), C.Text.end()) << "' " << (C.Visible ? "shown" : "hidden");
}

class StandardControlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Form = new TForm(nullptr);
    Form->SetClientSize(585, 113);
    auto* book = new TNotebook(Form, Form);
    book->SetBounds(0, 0, 585, 113);
    auto* language = new TPanel(Form, book->AddPage("prvni"));
    language->AlignClient();
    auto* download = new TPanel(Form, book->AddPage("Default"));
    download->AlignClient();
    Gauge = new TGauge(Form, download);
    Gauge->SetBounds(10, 60, 566, 30);
    File = new TLabel(Form, download);
    File->SetBounds(10, 40, 0, 0);
    File->SetCaption("Stahovan\xFD soubor");
    for (TImage*& flag : Flags) {
      flag = new TImage(Form, language);
      flag->LoadJpeg(FlagCzJpeg, FlagCzJpegSize);
      flag->SetTabStop(true);
      flag->OnClick = [this](TObject* Sender) { Clicked.push_back(Sender); };
    }
    // Added in the other order than they read: the windows follow the reading order.
    Flags[1]->SetBounds(300, 45, 40, 27);
    Flags[1]->SetAccessibleName("English");
    Flags[0]->SetBounds(240, 45, 40, 27);
    Flags[0]->SetAccessibleName(
        "\xC8"
        "e\x9A"
        "tina");
    auto* prompt = new TLabel(Form, language);
    prompt->SetBounds(205, 20, 0, 0);
    prompt->SetCaption(
        "V\xFD"
        "b\xECr jazyka / Select language");
    Book = book;
    Form->Show();
    Pump();
  }
  void TearDown() override { delete Form; }

  static void Pump() {
    const auto end = std::chrono::steady_clock::now() + 200ms;
    while (std::chrono::steady_clock::now() < end) Application->WaitMessage(10);
  }
  HWND FormWindow() const { return static_cast<HWND>(Form->GetWidget()->Window); }
  HWND WindowOf(const TControl& Control) const {
    return static_cast<HWND>(Control.GetWidget()->Window);
  }
  // A key as the keyboard sends it to the window with the focus.
  void Press(WPARAM Key) {
    PostMessageW(GetFocus(), WM_KEYDOWN, Key, 1);
    PostMessageW(GetFocus(), WM_KEYUP, Key, 1 | (3u << 30));
    Pump();
  }

  std::vector<Child> Children() const {
    std::vector<Child> found;
    EnumChildWindows(
        FormWindow(),
        [](HWND Wnd, LPARAM Found) {
          wchar_t name[64] = {};
          GetClassNameW(Wnd, name, 64);
          std::wstring text(256, L'\0');
          text.resize(static_cast<std::size_t>(GetWindowTextW(Wnd, text.data(), 256)));
          reinterpret_cast<std::vector<Child>*>(Found)->push_back(
              {name, text, IsWindowVisible(Wnd) != FALSE});
          return TRUE;
        },
        reinterpret_cast<LPARAM>(&found));
    return found;
  }

  TForm* Form = nullptr;
  TNotebook* Book = nullptr;
  TGauge* Gauge = nullptr;
  TLabel* File = nullptr;
  TImage* Flags[2] = {};
  std::vector<TObject*> Clicked;
};

TEST_F(StandardControlsTest, ChildWindowsHaveTheStandardClassesAndTextsInReadingOrder) {
  const std::vector<Child> languagePage = {
      {L"Static", L"V\u00FDb\u011Br jazyka / Select language", true},
      {L"Static", L"Stahovan\u00FD soubor", false},
      {L"Button", L"\u010Ce\u0161tina", true},
      {L"Button", L"English", true},
      {L"msctls_progress32", L"", false},
  };
  EXPECT_EQ(Children(), languagePage);
  Book->SetPageIndex(1);
  File->SetCaption("pravl32._dl");
  const std::vector<Child> downloadPage = {
      {L"Static", L"V\u00FDb\u011Br jazyka / Select language", false},
      {L"Static", L"pravl32._dl", true},
      {L"Button", L"\u010Ce\u0161tina", false},
      {L"Button", L"English", false},
      {L"msctls_progress32", L"", true},
  };
  EXPECT_EQ(Children(), downloadPage);
}

TEST_F(StandardControlsTest, ProgressBarShowsTheGaugesPercentage) {
  HWND bar = WindowOf(*Gauge);
  ASSERT_NE(bar, nullptr);
  EXPECT_EQ(SendMessageW(bar, PBM_GETRANGE, TRUE, 0), 0);  // TRUE: the low end
  EXPECT_EQ(SendMessageW(bar, PBM_GETRANGE, FALSE, 0), 100);
  const struct {
    int Max, Position, Percent;
  } steps[] = {{200, 50, 25},      {200, 199, 99},        {200, 200, 100},
               {1000000, 1025, 0}, {1000000, 999999, 99}, {0, 0, 0}};
  for (const auto& s : steps) {
    Gauge->SetMaxValue(s.Max);
    Gauge->SetProgress(s.Position);
    EXPECT_EQ(SendMessageW(bar, PBM_GETPOS, 0, 0), s.Percent) << s.Position << " of " << s.Max;
  }
}

TEST_F(StandardControlsTest, DialogManagerMovesTheFocusAndKeysClickTheFocusedFlag) {
  HWND czech = WindowOf(*Flags[0]), english = WindowOf(*Flags[1]);
  EXPECT_EQ(GetFocus(), czech) << "the first flag has the focus when the page opens";
  Press(VK_TAB);
  EXPECT_EQ(GetFocus(), english);
  Press(VK_TAB);
  EXPECT_EQ(GetFocus(), czech);
  Press(VK_RIGHT);
  EXPECT_EQ(GetFocus(), english);
  EXPECT_EQ(Form->ActiveControl(), Flags[1]);
  Press(VK_ESCAPE);
  Press('A');
  EXPECT_TRUE(Clicked.empty());
  Press(VK_SPACE);
  EXPECT_EQ(Clicked, (std::vector<TObject*>{Flags[1]}));
  Press(VK_LEFT);
  Press(VK_RETURN);
  EXPECT_EQ(Clicked, (std::vector<TObject*>{Flags[1], Flags[0]}));

  // On the download page nothing takes the focus, and Enter clicks nothing.
  Book->SetPageIndex(1);
  Pump();
  EXPECT_EQ(Form->ActiveControl(), nullptr);
  EXPECT_EQ(GetFocus(), FormWindow());
  Press(VK_TAB);
  EXPECT_EQ(GetFocus(), FormWindow());
  Press(VK_RETURN);
  Press(VK_SPACE);
  EXPECT_EQ(Clicked.size(), 2u);
}

}  // namespace
