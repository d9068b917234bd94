// A real form on the X display (the test command provides one through Xvfb): what it paints,
// the hints it gives the window manager, and how it reacts to keys and the close button.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cmath>
#include <functional>
#include <memory>
#include <string>

#include "toolkit/forms.h"
#include "toolkit/resources.h"

// Xlib's Screen type would clash with the toolkit's global Screen object.
#define Screen XlibScreen
#include <FL/Fl.H>
#include <FL/x.H>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include "../x11_close.h"
#undef Screen

namespace {

using namespace std::chrono_literals;

constexpr char kCaption[] = "Okno zkousky toolkitu";
constexpr int kWidth = 300, kHeight = 120;

struct Rgb {
  int R, G, B;
  bool operator==(const Rgb&) const = default;
};

void PumpFor(std::chrono::milliseconds Time) {
  const auto end = std::chrono::steady_clock::now() + Time;
  while (std::chrono::steady_clock::now() < end) Application->WaitMessage(10);
}

// Escape key presses that reached the toolkit.
int g_EscapePresses = 0;
int CountEscape(int Event, Fl_Window* Window) {
  if (Event == FL_KEYDOWN && Fl::event_key() == FL_Escape) ++g_EscapePresses;
  return Fl::handle_(Event, Window);
}

class WindowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Checked before the toolkit opens it: the toolkit would end the process on a display that
    // does not answer.
    Display = XOpenDisplay(nullptr);
    if (Display == nullptr) return;  // each test then fails in SetUp
    Form = new TForm(nullptr);
    Form->SetBorderStyle(bsDialog);
    Form->SetClientSize(kWidth, kHeight);
    Form->SetCaption(kCaption);
    Form->SetIcon(ForkliftXpm);
    auto* panel = new TPanel(Form, Form);
    panel->AlignClient();
    panel->SetColor(16767152);
    Gauge = new TGauge(Form, panel);
    Gauge->SetBounds(10, 60, 200, 30);
    Gauge->SetForeColor(9262633);
    Gauge->SetBackColor(clWhite);
    Gauge->SetProgress(50);
    auto* image = new TImage(Form, panel);
    image->SetBounds(230, 10, 1, 1);
    image->LoadJpeg(FlagCzJpeg, FlagCzJpegSize);
    Form->Show();
    PumpFor(300ms);
  }
  static void TearDownTestSuite() {
    if (Display) XCloseDisplay(Display);
    delete Form;
  }
  void SetUp() override { ASSERT_NE(Display, nullptr) << "no X display answers at DISPLAY"; }

  // The form's top-level window, found by its title.
  static Window FindWindow() {
    Window root, parent, *children = nullptr;
    unsigned count = 0;
    Window found = 0;
    XQueryTree(Display, DefaultRootWindow(Display), &root, &parent, &children, &count);
    for (unsigned i = 0; i < count && !found; ++i) {
      char* name = nullptr;
      if (XFetchName(Display, children[i], &name) && name) {
        if (std::string(name) == kCaption) found = children[i];
        XFree(name);
      }
    }
    if (children) XFree(children);
    return found;
  }

  // The window's pixels as the screen shows them.
  struct Capture {
    struct Free {
      void operator()(XImage* Image) const { XDestroyImage(Image); }
    };
    std::unique_ptr<XImage, Free> Image;
    Rgb At(int X, int Y) const {
      const unsigned long p = XGetPixel(Image.get(), X, Y);
      return {static_cast<int>((p >> 16) & 0xFF), static_cast<int>((p >> 8) & 0xFF),
              static_cast<int>(p & 0xFF)};
    }
    // Pixels within Tolerance of Colour in every channel; text edges are anti-aliased, so the
    // text's own colour is checked on the cores of its strokes.
    int Count(int X, int Y, int W, int H, Rgb Colour, int Tolerance = 40) const {
      int n = 0;
      for (int y = Y; y < Y + H; ++y) {
        for (int x = X; x < X + W; ++x) {
          const Rgb p = At(x, y);
          n += std::abs(p.R - Colour.R) <= Tolerance && std::abs(p.G - Colour.G) <= Tolerance &&
               std::abs(p.B - Colour.B) <= Tolerance;
        }
      }
      return n;
    }
  };
  static Capture Grab(Window Id) {
    Capture capture;
    capture.Image.reset(XGetImage(Display, Id, 0, 0, kWidth, kHeight, AllPlanes, ZPixmap));
    return capture;
  }

  static TForm* Form;
  static TGauge* Gauge;
  static ::Display* Display;
};

TForm* WindowTest::Form = nullptr;
TGauge* WindowTest::Gauge = nullptr;
::Display* WindowTest::Display = nullptr;

TEST_F(WindowTest, PaintsPanelGaugeAndPercentageInvertedAgainstWhatLiesBeneath) {
  ASSERT_TRUE(Form->Showing());
  const Window id = FindWindow();
  ASSERT_NE(id, 0u);
  const Capture shot = Grab(id);
  ASSERT_TRUE(shot.Image);
  const Rgb panel{176, 216, 255}, fill{41, 86, 141}, field{255, 255, 255};
  const Rgb inverseFill{214, 169, 114}, black{0, 0, 0};
  EXPECT_EQ(shot.At(5, 5), panel);
  EXPECT_EQ(shot.At(0, 0), (Rgb{255, 255, 255})) << "light edge of the raised bevel";
  EXPECT_EQ(shot.At(kWidth - 1, kHeight - 1), (Rgb{160, 160, 160})) << "dark edge of the bevel";
  EXPECT_EQ(shot.At(10, 60), black) << "gauge border";
  EXPECT_EQ(shot.At(13, 63), fill) << "filled part starts at the left";
  EXPECT_EQ(shot.At(205, 86), field) << "the rest of the field is white";
  // "50%" straddles the edge of the filled part at x = 11 + 99.
  EXPECT_GT(shot.Count(11, 61, 99, 28, inverseFill), 5) << "no inverted text over the fill";
  EXPECT_GT(shot.Count(110, 61, 99, 28, black, 80), 5) << "no black text over the field";
  EXPECT_EQ(shot.Count(11, 61, 99, 28, black), 0) << "black text over the fill";
  // The flag: white band above red.
  const Rgb flagTop = shot.At(230 + 35, 10 + 3);
  EXPECT_GT(flagTop.R + flagTop.G + flagTop.B, 3 * 220);
  EXPECT_GT(shot.At(230 + 35, 10 + 23).R, 180);
  EXPECT_LT(shot.At(230 + 35, 10 + 23).G, 60);
}

// A download changes the gauge thousands of times a second; the window paints at most once per
// frame, and the last state always reaches the screen.
TEST_F(WindowTest, ABurstOfChangesEndsPaintedInItsLastState) {
  const Window id = FindWindow();
  ASSERT_NE(id, 0u);
  for (int i = 0; i <= 90; ++i) {
    Gauge->SetProgress(i);
    Application->ProcessMessages();
  }
  PumpFor(100ms);
  const Capture shot = Grab(id);
  Gauge->SetProgress(50);
  PumpFor(100ms);
  ASSERT_TRUE(shot.Image);
  const Rgb fill{41, 86, 141}, field{255, 255, 255};
  EXPECT_EQ(shot.At(185, 63), fill) << "the fill stops short of 90 %";
  EXPECT_EQ(shot.At(205, 63), field);
}

TEST_F(WindowTest, WindowCannotBeResizedAndCarriesItsIcon) {
  const Window id = FindWindow();
  ASSERT_NE(id, 0u);
  XSizeHints hints{};
  long supplied = 0;
  ASSERT_TRUE(XGetWMNormalHints(Display, id, &hints, &supplied));
  ASSERT_TRUE(hints.flags & PMinSize);
  ASSERT_TRUE(hints.flags & PMaxSize);
  EXPECT_EQ(hints.min_width, kWidth);
  EXPECT_EQ(hints.min_height, kHeight);
  EXPECT_EQ(hints.max_width, kWidth);
  EXPECT_EQ(hints.max_height, kHeight);

  Atom type;
  int format;
  unsigned long items, after;
  unsigned char* data = nullptr;
  const Atom icon = XInternAtom(Display, "_NET_WM_ICON", False);
  ASSERT_EQ(XGetWindowProperty(Display, id, icon, 0, 2, False, AnyPropertyType, &type, &format,
                               &items, &after, &data),
            Success);
  ASSERT_EQ(items, 2u) << "no window icon";
  const auto* size = reinterpret_cast<const long*>(data);
  EXPECT_EQ(size[0], 32);
  EXPECT_EQ(size[1], 32);
  XFree(data);
}

TEST_F(WindowTest, EscapeAndOtherKeysDoNotCloseTheWindow) {
  const Window id = FindWindow();
  ASSERT_NE(id, 0u);
  Fl::event_dispatch(CountEscape);
  const std::string command = "xdotool windowfocus --sync " + std::to_string(id) +
                              " key Escape key alt+F4 key Return key space";
  ASSERT_EQ(std::system(command.c_str()), 0);
  PumpFor(300ms);
  Fl::event_dispatch(nullptr);
  EXPECT_EQ(g_EscapePresses, 1) << "the key press did not reach the window";
  EXPECT_TRUE(Form->Showing());
}

TEST_F(WindowTest, CloseButtonClosesTheMainFormAndEndsTheApplication) {
  const Window id = FindWindow();
  ASSERT_NE(id, 0u);
  Application->SetMainForm(Form);
  bool closeEvent = false;
  Form->OnClose = [&](TObject*) { closeEvent = true; };
  SendDeleteWindow(Display, id);
  PumpFor(300ms);
  EXPECT_TRUE(closeEvent);
  EXPECT_FALSE(Form->Showing());
  EXPECT_TRUE(Application->Terminated());
  Application->SetMainForm(nullptr);
}

// A failure at start-up tells the application to end before its loop: the main form is then never
// mapped, as another client of the display sees it.
TEST(StartUpFailureTest, MainFormOfAnApplicationToldToEndIsNeverMapped) {
  ::Display* watcher = XOpenDisplay(nullptr);
  ASSERT_NE(watcher, nullptr);
  XSelectInput(watcher, DefaultRootWindow(watcher), SubstructureNotifyMask);
  XSync(watcher, False);
  auto* form = new TForm(Application);
  form->SetCaption(kCaption);
  Application->SetMainForm(form);
  Application->Terminate();
  Application->Run();
  Fl::flush();
  if (fl_display) XSync(fl_display, False);
  XSync(watcher, False);
  int maps = 0;
  while (XPending(watcher) > 0) {
    XEvent event;
    XNextEvent(watcher, &event);
    maps += event.type == MapNotify;
  }
  XCloseDisplay(watcher);
  EXPECT_EQ(maps, 0);
}

}  // namespace
