// The controls' own rules: gauge arithmetic and repaints, timers and clicks, the layout's scaling,
// label sizes, the title, the JPEG decoder and the compiled-in pictures. The same tests run on
// both backends.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "toolkit/backend.h"
#include "toolkit/forms.h"
#include "toolkit/jpeg.h"
#include "toolkit/resources.h"

namespace {

using namespace std::chrono_literals;

class FormsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Form = new TForm(nullptr);
    Application->SetMessagePresenter(
        [this](const std::string& Text, const std::string& Caption, TMsgDlgType Type) {
          Shown.push_back(Text);
          Captions.push_back(Caption);
          Types.push_back(Type);
        });
  }
  void TearDown() override {
    Application->SetMessagePresenter(nullptr);
    delete Form;
  }
  // Handles messages for the given time.
  static void PumpFor(std::chrono::milliseconds Time) {
    const auto end = std::chrono::steady_clock::now() + Time;
    while (std::chrono::steady_clock::now() < end) Application->WaitMessage(5);
  }

  TForm* Form = nullptr;
  std::vector<std::string> Shown, Captions;
  std::vector<TMsgDlgType> Types;
};

// ---------------------------------------------------------------------------------------------
// Gauge

TEST_F(FormsTest, GaugePercentageAndClamping) {
  struct Case {
    int Min, Max, Position;
    int ExpectedPosition, ExpectedPercent;
  };
  const Case cases[] = {
      {0, 200, 50, 50, 25},
      {0, 200, 199, 199, 99},
      {0, 200, 200, 200, 100},
      {0, 0, 5, 0, 0},  // an empty range shows 0 whatever the position
      {0, 200, 300, 200, 100},
      {0, 200, -5, 0, 0},
      {100, 300, 150, 150, 25},
      {-2000000000, 2000000000, 1500000000, 1500000000, 87},  // no overflow
      {0, 2147483647, 2147483646, 2147483646, 99},
  };
  for (const Case& c : cases) {
    TGauge gauge(Form, Form);
    gauge.SetMinValue(c.Min);
    gauge.SetMaxValue(c.Max);
    gauge.SetMinValue(c.Min);
    gauge.SetProgress(c.Position);
    SCOPED_TRACE(testing::Message() << c.Min << ".." << c.Max << " @" << c.Position);
    EXPECT_EQ(gauge.Progress(), c.ExpectedPosition);
    EXPECT_EQ(gauge.PercentDone(), c.ExpectedPercent);
  }
}

TEST_F(FormsTest, GaugeRefusesAMaximumBelowTheMinimumAndKeepsTheOldOne) {
  TGauge gauge(Form, Form);
  gauge.SetMinValue(10);
  gauge.SetProgress(50);
  try {
    gauge.SetMaxValue(9);
    FAIL() << "maximum below the minimum was taken";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Value must be between 11 and 2147483647");
  }
  EXPECT_EQ(gauge.MaxValue(), 100);
  EXPECT_EQ(gauge.Progress(), 50);
  gauge.SetMaxValue(10);  // equal to the minimum is allowed
  EXPECT_EQ(gauge.PercentDone(), 0);
}

TEST_F(FormsTest, GaugeMaximumBelowThePositionLowersThePosition) {
  TGauge gauge(Form, Form);
  gauge.SetProgress(77);
  gauge.SetMaxValue(40);
  EXPECT_EQ(gauge.Progress(), 40);
  EXPECT_EQ(gauge.PercentDone(), 100);
}

TEST_F(FormsTest, GaugeRepaintsOnlyWhenThePercentageChanges) {
  TGauge gauge(Form, Form);
  gauge.SetProgress(0);
  const long start = gauge.RepaintCount();
  // The download handler sets the maximum and then the position for every block received.
  constexpr int kSize = 1000000;
  for (int read = 1025; read < kSize + 1025; read += 1025) {
    gauge.SetMaxValue(kSize);
    gauge.SetProgress(read);
  }
  EXPECT_EQ(gauge.PercentDone(), 100);
  EXPECT_LE(gauge.RepaintCount() - start, 101);
  EXPECT_GE(gauge.RepaintCount() - start, 99);

  const long before = gauge.RepaintCount();
  gauge.SetMaxValue(kSize);      // the same maximum again
  gauge.SetProgress(kSize);      // the same position
  gauge.SetProgress(kSize + 5);  // clamped to the same position
  EXPECT_EQ(gauge.RepaintCount(), before);
  gauge.SetProgress(kSize / 2);
  EXPECT_EQ(gauge.RepaintCount(), before + 1);
}

TEST_F(FormsTest, GaugeSweepOfEveryPositionRepaintsAtMost101Times) {
  TGauge gauge(Form, Form);
  constexpr int kMax = 123457;
  gauge.SetMaxValue(kMax);
  const long start = gauge.RepaintCount();
  for (int i = 0; i <= kMax; ++i) gauge.SetProgress(i);
  EXPECT_LE(gauge.RepaintCount() - start, 101);
  EXPECT_EQ(gauge.RepaintCount() - start, 100);  // 1% .. 100%
}

// ---------------------------------------------------------------------------------------------
// Timers and handlers

TEST_F(FormsTest, TimerDisabledInItsTickFiresOnce) {
  auto* timer = new TTimer(Form);
  int ticks = 0;
  timer->SetEnabled(false);
  timer->SetInterval(20);
  timer->OnTimer = [&](TObject* Sender) {
    timer->SetEnabled(false);
    EXPECT_EQ(Sender, timer);
    ++ticks;
  };
  PumpFor(60ms);
  EXPECT_EQ(ticks, 0) << "a disabled timer ticked";
  timer->SetEnabled(true);
  PumpFor(150ms);
  EXPECT_EQ(ticks, 1);
  timer->SetEnabled(true);  // armed again by the next step
  PumpFor(150ms);
  EXPECT_EQ(ticks, 2);
}

TEST_F(FormsTest, EnabledTimerKeepsTicking) {
  auto* timer = new TTimer(Form);
  int ticks = 0;
  timer->SetInterval(10);
  timer->OnTimer = [&](TObject*) { ++ticks; };
  EXPECT_TRUE(timer->Enabled());
  PumpFor(150ms);
  EXPECT_GE(ticks, 3);
  timer->SetEnabled(false);
  const int stopped = ticks;
  PumpFor(50ms);
  EXPECT_EQ(ticks, stopped);
}

TEST_F(FormsTest, TimerFreedInItsOwnTickStops) {
  auto* timer = new TTimer(Form);
  int ticks = 0;
  timer->SetInterval(10);
  timer->OnTimer = [&](TObject*) {
    ++ticks;
    delete timer;
  };
  PumpFor(80ms);
  EXPECT_EQ(ticks, 1);
}

// A handler that frees its sender (a timer in its own tick, a control in its own click, which
// the backends hand over through MouseDown and MouseUp) still runs to its end, on its own state.
TEST_F(FormsTest, HandlerThatFreesItsSenderRunsToItsEnd) {
  const std::function<TNotifyEvent*(std::function<void()>&)> senders[] = {
      [this](std::function<void()>& Fire) {
        auto* timer = new TTimer(Form);
        timer->SetInterval(10);
        Fire = [] { PumpFor(80ms); };
        return &timer->OnTimer;
      },
      [this](std::function<void()>& Fire) {
        auto* panel = new TPanel(Form, Form);
        panel->SetBounds(10, 10, 50, 50);
        Fire = [this] {
          toolkit_backend::MouseDown(*Form, 20, 20);
          toolkit_backend::MouseUp(*Form, 20, 20);
        };
        return &panel->OnClick;
      },
  };
  for (const auto& make : senders) {
    std::function<void()> fire;
    TNotifyEvent* event = make(fire);
    int calls = 0;
    bool ownStateKept = false;
    *event = [&calls, &ownStateKept, token = std::make_shared<int>(0)](TObject* Sender) {
      ++calls;
      const std::weak_ptr<int> watch = token;
      delete Sender;
      ownStateKept = !watch.expired();
    };
    fire();
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(ownStateKept) << "the handler was freed while it ran";
  }
}

TEST_F(FormsTest, AnErrorInAHandlerIsShownInAnErrorBoxTitledWithTheApplication) {
  auto* timer = new TTimer(Form);
  timer->SetInterval(10);
  timer->OnTimer = [&](TObject*) {
    timer->SetEnabled(false);
    throw Exception("Nelze vytvorit tmp adresar");
  };
  PumpFor(60ms);
  ASSERT_EQ(Shown.size(), 1u);
  EXPECT_EQ(Shown[0], "Nelze vytvorit tmp adresar");
  EXPECT_EQ(Captions[0], Application->Title());
  EXPECT_EQ(Types[0], mtError);
}

TEST_F(FormsTest, CreationEventGoesThroughTheErrorHandler) {
  Form->OnCreate = [](TObject*) { throw Exception("failed in creation"); };
  Form->DoCreate();
  EXPECT_EQ(Shown, (std::vector<std::string>{"failed in creation"}));
  ShowMessage("error");
  EXPECT_EQ(Types.back(), mtInformation);
}

// ---------------------------------------------------------------------------------------------
// Labels, pages, title

TEST_F(FormsTest, LabelTakesTheSizeOfItsText) {
  TLabel label(Form, Form);
  label.SetCaption("Stahovany soubor");
  const int width = label.Width(), height = label.Height();
  EXPECT_GT(width, 40);
  EXPECT_GT(height, 8);
  label.SetCaption("Probiha stazeni potrebnych souboru k instalaci, cekejte prosim");
  EXPECT_GT(label.Width(), 3 * width);
  label.SetCaption("a");
  EXPECT_LT(label.Width(), width / 4);
  TFont big;
  big.Height = 32;
  big.Bold = true;
  label.SetFont(big);
  EXPECT_GT(label.Height(), height);
  label.SetAutoSize(false);
  label.SetBounds(0, 0, 5, 5);
  label.SetCaption("no longer sized");
  EXPECT_EQ(label.Width(), 5);
}

// The numbers follow from the rule alone: at 120 dpi the form font of 13 becomes 16, whose text
// height is 16 * 16 / 13 = 19.7, so 20, and the layout grows by 20 / 16; at 144 dpi the font
// becomes 19.5, so 20, its text height 24.6, so 25, and the layout grows by 25 / 16. A window
// moved between monitors (96, then 144, then 120 dpi) ends as one started at the last.
TEST_F(FormsTest, LayoutScalesByTheScaledFontsTextHeight) {
  using Bounds = std::array<int, 4>;  // left, top, width, height
  struct Case {
    int Dpi;
    int FormFont, LabelFont;
    Bounds Client, Gauge, Image;
    int LabelLeft, LabelTop;
  };
  const Case cases[] = {
      {96, 13, 11, {0, 0, 585, 113}, {16, 72, 553, 17}, {200, 30, 40, 27}, 10, 5},
      {120, 16, 14, {0, 0, 731, 141}, {20, 90, 691, 21}, {250, 38, 50, 34}, 13, 6},
      {144, 20, 17, {0, 0, 914, 177}, {25, 113, 864, 27}, {313, 47, 63, 42}, 16, 8},
  };
  auto bounds = [](const TControl& C) { return Bounds{C.Left(), C.Top(), C.Width(), C.Height()}; };
  const std::vector<int> changes[] = {{}, {144}, {144, 120}, {120, 144, 96}};
  for (const Case& c : cases) {
    for (const std::vector<int>& before : changes) {
      SCOPED_TRACE(testing::Message() << c.Dpi << " dpi after " << testing::PrintToString(before));
      TForm form(nullptr);
      form.SetClientSize(585, 113);
      auto* book = new TNotebook(&form, &form);
      book->SetBounds(0, 0, 585, 113);
      auto* panel = new TPanel(&form, book->AddPage("prvni"));
      panel->AlignClient();
      auto* gauge = new TGauge(&form, panel);
      gauge->SetBounds(16, 72, 553, 17);
      auto* image = new TImage(&form, panel);
      image->SetBounds(200, 30, 40, 27);
      auto* label = new TLabel(&form, panel);
      TFont font;
      font.Height = 11;
      label->SetFont(font);
      label->SetCaption(
          "V\xFD"
          "b\xECr jazyka");
      label->SetBounds(10, 5, label->Width(), label->Height());

      TLabel start(nullptr, nullptr);
      start.SetCaption(
          "V\xFD"
          "b\xECr jazyka");
      TFont scaled = font;
      scaled.Height = c.LabelFont;
      start.SetFont(scaled);

      for (const int dpi : before) form.ScaleForResolution(dpi);
      form.ScaleForResolution(c.Dpi);
      EXPECT_EQ(form.Font().Height, c.FormFont);
      EXPECT_EQ(bounds(form), c.Client);
      EXPECT_EQ(bounds(*book), c.Client);
      EXPECT_EQ(bounds(*panel), c.Client);
      EXPECT_EQ(bounds(*gauge), c.Gauge);
      EXPECT_EQ(bounds(*image), c.Image);
      EXPECT_EQ(label->Font().Height, c.LabelFont);
      EXPECT_EQ(label->Left(), c.LabelLeft);
      EXPECT_EQ(label->Top(), c.LabelTop);
      EXPECT_EQ(label->Width(), start.Width());
      EXPECT_EQ(label->Height(), start.Height());
    }
  }
}

TEST_F(FormsTest, NotebookShowsOnePageAtATimeEachFillingIt) {
  TNotebook book(Form, Form);
  book.SetBounds(0, 0, 585, 113);
  TWinControl* first = book.AddPage("prvni");
  TWinControl* second = book.AddPage("Default");
  EXPECT_EQ(book.PageIndex(), 0);
  book.SetPageIndex(1);
  EXPECT_FALSE(first->Visible());
  EXPECT_TRUE(second->Visible());
  EXPECT_EQ(second->Width(), 585);
  EXPECT_EQ(second->Height(), 113);
  TPanel panel(Form, second);
  panel.AlignClient();
  book.SetBounds(0, 0, 600, 120);
  EXPECT_EQ(panel.Width(), 600);
  EXPECT_EQ(panel.Height(), 120);
  book.SetPageIndex(5);  // out of range: ignored
  EXPECT_EQ(book.PageIndex(), 1);
}

// The focus goes round the shown controls that take it in reading order, whatever the order they
// were made in; it follows the pages, and Space and Enter click only a shown, focused control.
TEST_F(FormsTest, KeysMoveTheFocusInReadingOrderAndClickTheFocusedControl) {
  using toolkit_backend::Key;
  TNotebook book(Form, Form);
  book.SetBounds(0, 0, 585, 113);
  TWinControl* first = book.AddPage("prvni");
  TWinControl* second = book.AddPage("Default");
  book.AddPage("empty");
  std::vector<TObject*> clicked;
  auto image = [&](TWinControl* Page, int Left, int Top) {
    auto* made = new TImage(Form, Page);
    made->SetBounds(Left, Top, 40, 27);
    made->SetTabStop(true);
    made->OnClick = [&clicked](TObject* Sender) { clicked.push_back(Sender); };
    return made;
  };
  TImage* right = image(first, 300, 45);
  TImage* left = image(first, 240, 45);
  TImage* below = image(first, 10, 80);
  TImage* other = image(second, 10, 10);
  EXPECT_EQ(Form->ActiveControl(), right) << "the first one made takes the focus";
  Form->SetActiveControl(nullptr);
  book.SetPageIndex(1);
  book.SetPageIndex(0);
  EXPECT_EQ(Form->ActiveControl(), left) << "a page shown gives the focus to its first";

  const struct {
    Key Pressed;
    bool Shift;
    TImage* Focused;
  } steps[] = {
      {Key::kTab, false, right},  {Key::kRight, false, below}, {Key::kTab, false, left},
      {Key::kTab, true, below},   {Key::kLeft, false, right},  {Key::kUp, false, left},
      {Key::kDown, false, right}, {Key::kOther, false, right},
  };
  for (const auto& step : steps) {
    toolkit_backend::KeyDown(*Form, step.Pressed, step.Shift);
    EXPECT_EQ(Form->ActiveControl(), step.Focused) << static_cast<int>(step.Pressed);
  }
  toolkit_backend::KeyDown(*Form, Key::kSpace, false);
  toolkit_backend::KeyDown(*Form, Key::kEnter, false);
  EXPECT_EQ(clicked, (std::vector<TObject*>{right, right}));

  book.SetPageIndex(1);
  EXPECT_EQ(Form->ActiveControl(), other);
  book.SetPageIndex(2);
  EXPECT_EQ(Form->ActiveControl(), nullptr) << "a page without such controls has no focus";
  toolkit_backend::KeyDown(*Form, Key::kTab, false);
  toolkit_backend::KeyDown(*Form, Key::kEnter, false);
  EXPECT_EQ(Form->ActiveControl(), nullptr);
  EXPECT_EQ(clicked.size(), 2u);
}

TEST(TitleTest, FileNameUpToTheFirstFullStopWithTheRestInLowerCase) {
  const std::pair<std::string, std::string> cases[] = {
      {"C:\\Temp\\MERONA.EXE", "Merona"},
      {"/opt/products/korvidale12.run", "korvidale12"},
      {"/x/TaVoSkel.v2.exe", "Tavoskel"},
      {"plain", "plain"},
      {"\xC8"
       "ESK\xDD.EXE",
       "\xC8"
       "esk\xFD"},  // Windows-1250 letters
      {"/dir.with.dots/ZENTRIK", "Zentrik"},
  };
  for (const auto& [path, title] : cases) EXPECT_EQ(TitleFromExeName(path), title) << path;
}

// ---------------------------------------------------------------------------------------------
// Pictures

TEST(JpegTest, CompiledInFlagsAreBaselinePicturesOf40By27) {
  const std::pair<const unsigned char*, std::size_t> flags[] = {{FlagCzJpeg, FlagCzJpegSize},
                                                                {FlagGbJpeg, FlagGbJpegSize}};
  for (const auto& [data, size] : flags) {
    ASSERT_GT(size, 100u);
    EXPECT_EQ(data[0], 0xFF);
    EXPECT_EQ(data[1], 0xD8);
    const JpegPicture picture = DecodeJpeg(data, size);
    EXPECT_EQ(picture.Width, 40);
    EXPECT_EQ(picture.Height, 27);
    EXPECT_EQ(picture.Rgb.size(), 40u * 27u * 3u);
  }
}

TEST(JpegTest, FlagColoursAreWhereTheyBelong) {
  const JpegPicture cz = DecodeJpeg(FlagCzJpeg, FlagCzJpegSize);
  auto pixel = [](const JpegPicture& P, int X, int Y) {
    const unsigned char* p = &P.Rgb[(Y * P.Width + X) * 3];
    return std::vector<int>{p[0], p[1], p[2]};
  };
  auto alike = [](const std::vector<int>& A, std::vector<int> B) {
    for (int i = 0; i < 3; ++i) {
      if (std::abs(A[i] - B[i]) > 24) return false;
    }
    return true;
  };
  EXPECT_TRUE(alike(pixel(cz, 35, 3), {255, 255, 255}));  // white band
  EXPECT_TRUE(alike(pixel(cz, 35, 23), {215, 20, 26}));   // red band
  EXPECT_TRUE(alike(pixel(cz, 3, 13), {17, 69, 126}));    // triangle at the hoist
  const JpegPicture gb = DecodeJpeg(FlagGbJpeg, FlagGbJpegSize);
  EXPECT_TRUE(alike(pixel(gb, 20, 13), {200, 16, 46}));  // centre of the cross
  EXPECT_TRUE(alike(pixel(gb, 13, 2), {1, 33, 105}));    // blue field
}

TEST(JpegTest, DataThatIsNotACompletePictureIsRefused) {
  const std::vector<unsigned char> whole(FlagCzJpeg, FlagCzJpeg + FlagCzJpegSize);
  const std::vector<std::vector<unsigned char>> bad = {
      {},
      {0xFF, 0xD8},
      {'G', 'I', 'F', '8', '9', 'a', 0, 0},
      std::vector<unsigned char>(whole.begin(), whole.begin() + whole.size() / 2),
  };
  for (const auto& data : bad) {
    EXPECT_THROW(DecodeJpeg(data.data(), data.size()), Exception) << data.size() << " bytes";
  }
}

TEST_F(FormsTest, ImageTakesTheSizeOfItsPictureAndKeepsItOnBadData) {
  TImage image(Form, Form);
  image.SetBounds(240, 45, 10, 10);
  image.LoadJpeg(FlagGbJpeg, FlagGbJpegSize);
  EXPECT_EQ(image.Width(), 40);
  EXPECT_EQ(image.Height(), 27);
  EXPECT_EQ(image.Left(), 240);
  const unsigned char junk[] = {1, 2, 3, 4, 5, 6};
  EXPECT_THROW(image.LoadJpeg(junk, sizeof junk), Exception);
  EXPECT_EQ(image.PictureWidth(), 40);
}

}  // namespace
