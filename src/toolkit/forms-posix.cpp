// FLTK backend of the window toolkit: the hooks of backend.h over FLTK and Xlib. A form is a
// double-buffered window that the toolkit paints whole; its controls have no widgets of their
// own. Texts are converted from Windows-1250 to UTF-8 here and nowhere else.

// Xlib's Screen type would clash with the toolkit's global Screen object.
#define Screen XlibScreen
#include <FL/Fl.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Image.H>
#include <FL/Fl_Pixmap.H>
#include <FL/fl_ask.H>
#include <FL/fl_draw.H>
#include <FL/x.H>
#undef Screen
#undef Status

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>

#include "platform/codepage.h"
#include "toolkit/backend.h"
#include "toolkit/forms.h"
#include "toolkit/synchub.h"

using namespace toolkit_backend;

namespace {

// ---------------------------------------------------------------------------------------------
// Display, colours, fonts, cursors

bool DisplayAvailable() {
  static const bool available = [] {
    const char* name = std::getenv("DISPLAY");
    if (name == nullptr || *name == '\0') return false;
    fl_open_display();
    return true;
  }();
  return available;
}

Fl_Color ToFl(TColor Value) {
  if (Value >= 0) return fl_rgb_color(Value & 0xFF, (Value >> 8) & 0xFF, (Value >> 16) & 0xFF);
  switch (Value & 0xFF) {
    case 5:   // window
    case 20:  // highlight of a bevel
      return FL_WHITE;
    case 16:  // shadow of a bevel
      return fl_rgb_color(160, 160, 160);
    default:  // button face
      return fl_rgb_color(240, 240, 240);
  }
}

// Maps a font name and weight to an FLTK font slot. With Xft the name is handed to fontconfig,
// which resolves Arial to a metric-compatible face.
void SelectFont(const TFont& Font) {
  static std::map<std::string, Fl_Font> faces;
  static Fl_Font next = FL_FREE_FONT;
  const std::string key = (Font.Bold ? "B" : " ") + Font.Name;
  auto it = faces.find(key);
  if (it == faces.end()) {
    it = faces.emplace(key, next++).first;
    Fl::set_font(it->second, it->first.c_str());
  }
  fl_font(it->second, Font.Height);
}

Fl_Cursor ToFl(TCursor Value) {
  if (Value == crHourGlass) return FL_CURSOR_WAIT;
  return Value == crHandPoint ? FL_CURSOR_HAND : FL_CURSOR_DEFAULT;
}

// Lets the message loop serve calls that worker threads hand to the main thread.
void EnsureLoopReady() {
  static bool ready = false;
  if (ready) return;
  ready = true;
  toolkit_sync::NoteMainThread();
  Fl::add_fd(toolkit_sync::WakeDescriptor(), FL_READ,
             [](int, void*) { toolkit_sync::ServeFromLoop(); });
}

// ---------------------------------------------------------------------------------------------
// The form's window

// The keys the toolkit knows; modified ones are others.
Key KeyOf(int Code, int State) {
  if (State & (FL_CTRL | FL_ALT | FL_META)) return Key::kOther;
  switch (Code) {
    case FL_Tab:
      return Key::kTab;
    case FL_Left:
      return Key::kLeft;
    case FL_Right:
      return Key::kRight;
    case FL_Up:
      return Key::kUp;
    case FL_Down:
      return Key::kDown;
    case ' ':
      return Key::kSpace;
    case FL_Enter:
    case FL_KP_Enter:
      return Key::kEnter;
    default:
      return Key::kOther;
  }
}

// Keys go to the toolkit and are consumed here, so no shortcut (Escape included) reaches FLTK's
// default handling, which would close the window.
class FormWindow : public Fl_Double_Window {
 public:
  explicit FormWindow(TForm* Form) : Fl_Double_Window(320, 240), FForm(Form) {
    end();
    Fl_Group::current(nullptr);
    resizable(nullptr);
    callback(&FormWindow::OnCallback, this);
  }
  ~FormWindow() override { Fl::remove_timeout(&FormWindow::PaintLater, this); }

  // Marks the window for painting, at most once per frame: each paint wakes the display server,
  // which on a busy computer takes the processor from this thread, and a download may ask for a
  // paint many times a second. A request within a frame of the last paint is kept for the end of
  // that frame.
  void Invalidate(const Rect* Area) {
    const auto since = std::chrono::steady_clock::now() - FPainted;
    if (since < kFrame) {
      if (!FPaintPending) {
        FPaintPending = true;
        Fl::add_timeout(std::chrono::duration<double>(kFrame - since).count(),
                        &FormWindow::PaintLater, this);
      }
    } else if (Area == nullptr) {
      redraw();
    } else if (!Area->Empty()) {
      damage(FL_DAMAGE_ALL, Area->Left, Area->Top, Area->Right - Area->Left,
             Area->Bottom - Area->Top);
    }
  }

 protected:
  void draw() override {
    FPainted = std::chrono::steady_clock::now();
    PaintForm(*FForm);
  }
  int handle(int Event) override {
    switch (Event) {
      case FL_KEYDOWN:
        KeyDown(*FForm, KeyOf(Fl::event_key(), Fl::event_state()),
                (Fl::event_state() & FL_SHIFT) != 0);
        return 1;
      case FL_KEYUP:
      case FL_SHORTCUT:
        return 1;
      case FL_FOCUS:
      case FL_UNFOCUS:
        FormFocusChanged(*FForm);
        return 1;
      case FL_PUSH:
        if (Fl::event_button() == FL_LEFT_MOUSE) MouseDown(*FForm, Fl::event_x(), Fl::event_y());
        return 1;
      case FL_RELEASE:
        if (Fl::event_button() == FL_LEFT_MOUSE) MouseUp(*FForm, Fl::event_x(), Fl::event_y());
        return 1;
      case FL_ENTER:
      case FL_MOVE:
        cursor(ToFl(CursorAt(*FForm, Fl::event_x(), Fl::event_y())));
        return 1;
      default:
        return Fl_Double_Window::handle(Event);
    }
  }

 private:
  static constexpr auto kFrame = std::chrono::milliseconds(16);

  static void PaintLater(void* Window) {
    auto* window = static_cast<FormWindow*>(Window);
    window->FPaintPending = false;
    window->redraw();
  }

  // Only the close button (the window manager's close request) closes the form.
  static void OnCallback(Fl_Widget*, void* Data) {
    if (Fl::event() != FL_CLOSE) return;
    static_cast<FormWindow*>(Data)->FForm->Close();
  }
  TForm* FForm;
  std::chrono::steady_clock::time_point FPainted{};
  bool FPaintPending = false;
};

FormWindow* WindowOf(const TForm& Form) {
  return static_cast<FormWindow*>(Form.GetWidget()->Window);
}

// Asks the window manager for a dialog frame: move and close only, no minimise or maximise.
void RequestDialogFrame(Fl_Window* Window) {
  struct MotifHints {
    unsigned long Flags, Functions, Decorations;
    long InputMode;
    unsigned long State;
  };
  const MotifHints hints{1 | 2, 4 | 32, 2 | 8 | 16, 0, 0};
  const Atom atom = XInternAtom(fl_display, "_MOTIF_WM_HINTS", False);
  XChangeProperty(fl_display, fl_xid(Window), atom, atom, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(&hints), 5);
}

// A look at the window's events costs a select and two reads of the X connection. A download
// processes messages once per received block, thousands of times a second, so the look is taken
// only when something is to be repainted, when events wait in Xlib's queue already, or when the
// last look is a millisecond old: input and exposure still get through within a millisecond.
bool WindowEventsDue() {
  using Clock = std::chrono::steady_clock;
  static Clock::time_point last;
  const Clock::time_point now = Clock::now();
  const bool due = Fl::damage() || now - last >= std::chrono::milliseconds(1) ||
                   (fl_display != nullptr && XEventsQueued(fl_display, QueuedAlready) > 0);
  if (due) last = now;
  return due;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TTimer: an FLTK timeout, armed again after each tick

struct TTimer::Widget {
  bool Armed = false;
  bool* Alive = nullptr;  // cleared when the timer is freed inside its own handler

  static void Tick(void* Data) {
    auto* timer = static_cast<TTimer*>(Data);
    timer->FWidget->Armed = false;
    if (!timer->FEnabled) return;
    bool alive = true;
    timer->FWidget->Alive = &alive;
    RunHandler(timer->OnTimer, timer);
    if (!alive) return;
    timer->FWidget->Alive = nullptr;
    if (timer->FEnabled && !timer->FWidget->Armed) timer->Rearm();
  }
};

TTimer::TTimer(TComponent* AOwner) : TComponent(AOwner), FWidget(new Widget) { Rearm(); }

TTimer::~TTimer() {
  Fl::remove_timeout(&Widget::Tick, this);
  if (FWidget->Alive) *FWidget->Alive = false;
  delete FWidget;
}

void TTimer::Rearm() {
  Fl::remove_timeout(&Widget::Tick, this);
  FWidget->Armed = false;
  if (!FEnabled || FInterval <= 0) return;
  Fl::add_timeout(FInterval / 1000.0, &Widget::Tick, this);
  FWidget->Armed = true;
}

// ---------------------------------------------------------------------------------------------
// TForm, TApplication

void TForm::SetCaption(const std::string& Value) {
  FCaption = Value;
  WindowOf(*this)->copy_label(ToUtf8(Value).c_str());
}

void TForm::SetBorderStyle(TFormBorderStyle Value) { FBorderStyle = Value; }

void TForm::SetIcon(const char* const* Xpm) {
  Fl_Pixmap pixmap(Xpm);
  Fl_RGB_Image image(&pixmap);
  WindowOf(*this)->icon(&image);
}

void TForm::Show() {
  EnsureLoopReady();
  FormWindow* window = WindowOf(*this);
  if (!FWidget->Centred && DisplayAvailable()) {
    int x, y, w, h, mouseX, mouseY;
    Fl::get_mouse(mouseX, mouseY);
    Fl::screen_work_area(x, y, w, h, mouseX, mouseY);
    window->position(x + (w - Width()) / 2, y + (h - Height()) / 2);
    FWidget->Centred = true;
  }
  window->show();
  if (FBorderStyle == bsDialog && window->shown()) RequestDialogFrame(window);
}

bool TForm::Showing() const { return WindowOf(*this)->shown() && WindowOf(*this)->visible(); }

void TApplication::Initialize() { EnsureLoopReady(); }

void TApplication::ProcessMessages() {
  EnsureLoopReady();
  if (WindowEventsDue()) Fl::check();
  toolkit_sync::ServePending();
}

void TApplication::WaitMessage(int TimeoutMs) {
  EnsureLoopReady();
  const toolkit_sync::BlockingWait waiting;
  Fl::wait(TimeoutMs < 0 ? 1e20 : TimeoutMs / 1000.0);
  toolkit_sync::ServePending();
}

// ---------------------------------------------------------------------------------------------
// Hooks

namespace toolkit_backend {

void FillArea(const Rect& Area, TColor Color) {
  fl_rectf(Area.Left, Area.Top, Area.Right - Area.Left, Area.Bottom - Area.Top, ToFl(Color));
}

void PaintText(const TFont& Font, const std::string& Text, int X, int Y, const Rect& Clip,
               TColor Color) {
  SelectFont(Font);
  fl_color(ToFl(Color));
  PushClip(Clip);
  fl_draw(ToUtf8(Text).c_str(), X, Y + fl_height() - fl_descent());
  PopClip();
}

void DrawPicture(const TImage& Image, const Rect& Area) {
  // Drawn at another size (another resolution), the picture is smoothed, as on Windows.
  Fl_RGB_Image::RGB_scaling(FL_RGB_SCALING_BILINEAR);
  Fl_RGB_Image picture(Image.Pixels().data(), Image.PictureWidth(), Image.PictureHeight(), 3);
  const std::unique_ptr<Fl_Image> sized(
      picture.copy(Area.Right - Area.Left, Area.Bottom - Area.Top));
  sized->draw(Area.Left, Area.Top);
}

void PushClip(const Rect& Area) {
  fl_push_clip(Area.Left, Area.Top, Area.Right - Area.Left, Area.Bottom - Area.Top);
}

void PopClip() { fl_pop_clip(); }

void MeasureText(const TFont& Font, const std::string& Text, int& Width, int& Height) {
  if (!DisplayAvailable()) {
    Width = static_cast<int>(Text.size()) * Font.Height / 2;
    Height = Font.Height + 3;
    return;
  }
  SelectFont(Font);
  Width = 0;
  Height = 0;
  fl_measure(ToUtf8(Text).c_str(), Width, Height, 0);
  Height = std::max(Height, fl_height());
}

int ScreenDpi() {
  if (!DisplayAvailable()) return 96;
  float h = 0, v = 0;
  Fl::screen_dpi(h, v, 0);
  return h > 0 ? static_cast<int>(std::lround(h)) : 96;
}

void InvalidateForm(TForm& Form, const Rect* Area) {
  FormWindow* window = WindowOf(Form);
  if (window) window->Invalidate(Area);
}

void FormResized(TForm& Form) {
  FormWindow* window = WindowOf(Form);
  if (!window) return;
  window->size(Form.Width(), Form.Height());
  window->size_range(Form.Width(), Form.Height(), Form.Width(), Form.Height());
  window->redraw();
}

void PictureLoaded(TImage&) {}

// FLTK 1.3 has no interface to screen readers: controls keep no windows of their own.
bool HighContrast() { return false; }

bool HoldsFocus(const TForm& Form) {
  FormWindow* window = WindowOf(Form);
  return window && Fl::focus() && window->contains(Fl::focus());
}

void FocusControl(TForm&, TControl*) {}
void ControlChanged(TControl&) {}
void GaugeChanged(TGauge&) {}
void ControlFreed(TControl&) {}

void CreateFormWindow(TForm& Form) { Form.GetWidget()->Window = new FormWindow(&Form); }

void DestroyFormWindow(TForm& Form) {
  delete WindowOf(Form);
  Form.GetWidget()->Window = nullptr;
}

void HideForm(TForm& Form) { WindowOf(Form)->hide(); }

void ApplyScreenCursor(TCursor Value) {
  TForm* form = Application->MainForm();
  if (!form || !form->Showing()) return;
  WindowOf(*form)->cursor(ToFl(Value));
  Fl::flush();
}

void ShowMessageBox(const std::string& Text, const std::string& Caption, TMsgDlgType Type) {
  if (!DisplayAvailable()) {
    std::cerr << Caption << ": " << Text << '\n';
    return;
  }
  EnsureLoopReady();
  fl_close = "OK";
  fl_message_title(ToUtf8(Caption).c_str());
  if (Type == mtError) {
    fl_alert("%s", ToUtf8(Text).c_str());
  } else {
    fl_message("%s", ToUtf8(Text).c_str());
  }
}

void ReportUnshown(const std::string& Text) { std::cerr << Text << '\n'; }

}  // namespace toolkit_backend
