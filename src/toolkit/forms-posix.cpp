// FLTK backend of the window toolkit. Every control is an FLTK group that draws itself; the form
// is a double-buffered window. Positions in FLTK are relative to the window, so each control's
// widget is placed at the sum of its parents' offsets. Texts are converted from Windows-1250 to
// UTF-8 here and nowhere else.

// Xlib's Screen type would clash with the toolkit's global Screen object.
#define Screen XlibScreen
#include <FL/Fl.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Image.H>
#include <FL/Fl_Pixmap.H>
#include <FL/fl_ask.H>
#include <FL/fl_draw.H>
#include <FL/x.H>
#undef Screen
#undef Status
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>

#include "platform/codepage.h"
#include "toolkit/backend.h"
#include "toolkit/forms.h"
#include "toolkit/synchub.h"

TApplication* Application = new TApplication;
TScreen* Screen = new TScreen;

namespace {

// ---------------------------------------------------------------------------------------------
// Display, colours, fonts

bool DisplayAvailable() {
  static const bool available = [] {
    const char* name = std::getenv("DISPLAY");
    if (name == nullptr || *name == '\0') return false;
    fl_open_display();
    return true;
  }();
  return available;
}

Fl_Color SystemColor(TColor Value) {
  switch (Value & 0xFF) {
    case 15:  // button face
      return fl_rgb_color(240, 240, 240);
    case 5:  // window
      return FL_WHITE;
    default:
      return fl_rgb_color(240, 240, 240);
  }
}

Fl_Color ToFl(TColor Value) {
  if (Value < 0) return SystemColor(Value);
  return fl_rgb_color(Value & 0xFF, (Value >> 8) & 0xFF, (Value >> 16) & 0xFF);
}

TColor Inverse(TColor Value) { return (Value < 0 ? 0xF0F0F0 : Value) ^ 0xFFFFFF; }

// Maps a font name and weight to an FLTK font slot. With Xft the name is handed to fontconfig,
// which resolves Arial to a metric-compatible face.
Fl_Font FontFace(const TFont& Font) {
  static std::map<std::string, Fl_Font> faces;
  static Fl_Font next = FL_FREE_FONT;
  const std::string key = (Font.Bold ? "B" : " ") + Font.Name;
  auto it = faces.find(key);
  if (it != faces.end()) return it->second;
  it = faces.emplace(key, next++).first;
  Fl::set_font(it->second, it->first.c_str());
  return it->second;
}

void SelectFont(const TFont& Font) { fl_font(FontFace(Font), Font.Height); }

// Size of Text (Windows-1250) in Font; the height of one line for an empty text.
void MeasureText(const TFont& Font, const std::string& Text, int& W, int& H) {
  if (!DisplayAvailable()) {
    W = static_cast<int>(Text.size()) * Font.Height / 2;
    H = Font.Height + 3;
    return;
  }
  SelectFont(Font);
  W = 0;
  H = 0;
  fl_measure(ToUtf8(Text).c_str(), W, H, 0);
  H = std::max(H, fl_height());
}

Fl_Cursor ToFl(TCursor Value) {
  switch (Value) {
    case crHourGlass:
      return FL_CURSOR_WAIT;
    case crHandPoint:
      return FL_CURSOR_HAND;
    default:
      return FL_CURSOR_DEFAULT;
  }
}

const TForm* FormOf(const TControl* Control) {
  for (const TControl* c = Control; c; c = c->Parent()) {
    if (auto* form = dynamic_cast<const TForm*>(c)) return form;
  }
  return nullptr;
}

TFont FormFont(const TControl* Control) {
  const TForm* form = FormOf(Control);
  return form ? form->Font() : TFont{};
}

void RunHandler(const TNotifyEvent& Event, TObject* Sender) {
  if (!Event) return;
  TNotifyEvent handler = Event;  // the handler may replace the event or free the sender
  Application->Dispatch([&] { handler(Sender); });
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

void ReportThreadError(const std::exception& E) { Application->HandleException(E); }

}  // namespace

// ---------------------------------------------------------------------------------------------
// Widgets

// The native widget of a control: a group that draws the control and holds its children.
class Canvas : public Fl_Group {
 public:
  explicit Canvas(TControl* Owner) : Fl_Group(0, 0, 0, 0), FControl(Owner) {
    end();
    box(FL_NO_BOX);
    clear_visible_focus();
    resizable(nullptr);
  }
  TControl* Control() const { return FControl; }

 protected:
  void draw() override;
  int handle(int Event) override;

 private:
  void SetWindowCursor(TCursor Value) {
    if (Fl_Window* w = window()) w->cursor(ToFl(Value));
  }
  TControl* FControl;
};

struct TControl::Widget : toolkit_backend::ControlState {
  Widget() {
    Bevel = bvRaised;
    BevelWidth = 1;
  }
  Fl_Group* Group = nullptr;  // a Canvas, or the window of a form

  static Fl_Group* GroupOf(const TControl* Control) {
    return Control && Control->FWidget ? Control->FWidget->Group : nullptr;
  }
  static void Detach(TControl* Child) { Child->FParent = nullptr; }
};

namespace {

bool IsForm(const TControl* Control) { return dynamic_cast<const TForm*>(Control) != nullptr; }

// Window coordinates of the control's top-left corner.
void WindowOrigin(const TControl* Control, int& X, int& Y) {
  X = Y = 0;
  for (const TControl* c = Control; c && !IsForm(c); c = c->Parent()) {
    X += c->Left();
    Y += c->Top();
  }
}

void PlaceTree(TControl* Control) {
  Fl_Group* group = TControl::Widget::GroupOf(Control);
  if (group && !IsForm(Control)) {
    int x, y;
    WindowOrigin(Control, x, y);
    // The base resize only records the new bounds; children are placed explicitly below.
    group->Fl_Widget::resize(x, y, Control->Width(), Control->Height());
  }
  if (auto* parent = dynamic_cast<TWinControl*>(Control)) {
    for (TControl* child : parent->Controls()) PlaceTree(child);
  }
}

void RedrawAround(const TControl* Control) {
  const TControl* target = Control->Parent() ? Control->Parent() : Control;
  if (Fl_Group* group = TControl::Widget::GroupOf(target)) group->redraw();
}

void Redraw(const TControl* Control) {
  if (Fl_Group* group = TControl::Widget::GroupOf(Control)) group->redraw();
}

void DrawPanel(const TPanel& Panel, TControl::Widget& W, int X, int Y, int Wd, int Ht) {
  fl_rectf(X, Y, Wd, Ht, ToFl(Panel.Color()));
  if (W.Bevel == bvNone) return;
  const Fl_Color light = FL_WHITE, dark = fl_rgb_color(160, 160, 160);
  const Fl_Color topLeft = W.Bevel == bvRaised ? light : dark;
  const Fl_Color bottomRight = W.Bevel == bvRaised ? dark : light;
  for (int i = 0; i < W.BevelWidth && 2 * i < std::min(Wd, Ht); ++i) {
    const int l = X + i, t = Y + i, r = X + Wd - 1 - i, b = Y + Ht - 1 - i;
    fl_color(topLeft);
    fl_xyline(l, t, r);
    fl_yxline(l, t, b);
    fl_color(bottomRight);
    fl_xyline(l, b, r);
    fl_yxline(r, t, b);
  }
}

void DrawLabel(const TLabel& Label, int X, int Y, int W, int H) {
  SelectFont(Label.Font());
  fl_color(ToFl(Label.Font().Color));
  fl_draw(ToUtf8(Label.Caption()).c_str(), X, Y, W, H,
          FL_ALIGN_TOP_LEFT | FL_ALIGN_INSIDE | FL_ALIGN_CLIP, nullptr, 0);
}

void DrawImage(const TImage& Image, int X, int Y) {
  if (Image.Pixels().empty()) return;
  fl_draw_image(Image.Pixels().data(), X, Y, Image.PictureWidth(), Image.PictureHeight(), 3, 0);
}

// Border, field, the filled part, and the percentage drawn twice: each copy is clipped to one
// part and takes the inverse of that part's colour.
void DrawGauge(const TGauge& Gauge, int X, int Y, int W, int H) {
  if (W < 2 || H < 2) return;
  fl_color(FL_BLACK);
  fl_rect(X, Y, W, H);
  const int fx = X + 1, fy = Y + 1, fw = W - 2, fh = H - 2;
  const int filled = static_cast<int>(static_cast<long long>(fw) * Gauge.PercentDone() / 100);
  fl_rectf(fx, fy, filled, fh, ToFl(Gauge.ForeColor()));
  fl_rectf(fx + filled, fy, fw - filled, fh, ToFl(Gauge.BackColor()));
  SelectFont(FormFont(&Gauge));
  char text[16];
  std::snprintf(text, sizeof text, "%d%%", Gauge.PercentDone());
  const int tw = static_cast<int>(fl_width(text));
  const int tx = fx + (fw - tw) / 2;
  const int ty = fy + (fh - fl_height()) / 2 + fl_height() - fl_descent();
  fl_push_clip(fx, fy, filled, fh);
  fl_color(ToFl(Inverse(Gauge.ForeColor())));
  fl_draw(text, tx, ty);
  fl_pop_clip();
  fl_push_clip(fx + filled, fy, fw - filled, fh);
  fl_color(ToFl(Inverse(Gauge.BackColor())));
  fl_draw(text, tx, ty);
  fl_pop_clip();
}

}  // namespace

void Canvas::draw() {
  if (damage() & ~FL_DAMAGE_CHILD) {
    fl_push_clip(x(), y(), w(), h());
    if (auto* panel = dynamic_cast<TPanel*>(FControl)) {
      DrawPanel(*panel, *FControl->GetWidget(), x(), y(), w(), h());
    } else if (auto* label = dynamic_cast<TLabel*>(FControl)) {
      DrawLabel(*label, x(), y(), w(), h());
    } else if (auto* image = dynamic_cast<TImage*>(FControl)) {
      DrawImage(*image, x(), y());
    } else if (auto* gauge = dynamic_cast<TGauge*>(FControl)) {
      DrawGauge(*gauge, x(), y(), w(), h());
    }
    fl_pop_clip();
  }
  draw_children();
}

int Canvas::handle(int Event) {
  switch (Event) {
    case FL_FOCUS:
    case FL_UNFOCUS:
      return 0;
    case FL_ENTER:
    case FL_MOVE:
      if (Fl_Group::handle(Event)) return 1;
      if (FControl->Cursor() == crDefault) return 0;
      SetWindowCursor(FControl->Cursor());
      return 1;
    case FL_LEAVE:
      Fl_Group::handle(Event);
      if (FControl->Cursor() != crDefault) SetWindowCursor(Screen->Cursor());
      return 1;
    case FL_PUSH:
      if (Fl_Group::handle(Event)) return 1;
      return FControl->OnClick ? 1 : 0;
    case FL_RELEASE:
      if (Fl::event_inside(this)) RunHandler(FControl->OnClick, FControl);
      return 1;
    default:
      return Fl_Group::handle(Event);
  }
}

// ---------------------------------------------------------------------------------------------
// TControl, TWinControl, TPanel, TNotebook

TControl::TControl(TComponent* AOwner, TWinControl* AParent)
    : TComponent(AOwner), FParent(AParent) {
  FWidget = new Widget;
  if (!FParent) return;
  FParent->FControls.push_back(this);
  auto* canvas = new Canvas(this);
  Fl_Group::current(nullptr);
  FWidget->Group = canvas;
  if (Fl_Group* parent = Widget::GroupOf(FParent)) parent->add(canvas);
}

TControl::~TControl() {
  if (FParent) {
    auto& list = FParent->FControls;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
  }
  if (Fl_Group* group = FWidget->Group) {
    // Children outlive this widget until their owner frees them: unhook them first.
    while (group->children() > 0) {
      Fl_Widget* child = group->child(group->children() - 1);
      if (auto* canvas = dynamic_cast<Canvas*>(child)) Widget::Detach(canvas->Control());
      group->remove(child);
    }
    if (group->parent()) group->parent()->remove(group);
    delete group;
  }
  delete FWidget;
}

void TControl::SetVisible(bool Value) {
  if (auto* form = dynamic_cast<TForm*>(this)) {
    if (Value) {
      form->Show();
    } else {
      form->Close();
    }
    return;
  }
  FVisible = Value;
  if (Fl_Group* group = FWidget->Group) {
    if (Value) {
      group->show();
    } else {
      group->hide();
    }
  }
  RedrawAround(this);
}

TWinControl* TNotebook::AddPage(const std::string& Name) {
  auto* page = new TWinControl(this, this);
  page->Name = Name;
  page->GetWidget()->AlignClient = true;
  page->SetBounds(0, 0, Width(), Height());
  FPages.push_back(page);
  page->SetVisible(false);
  if (FPageIndex < 0) SetPageIndex(0);
  return page;
}

// ---------------------------------------------------------------------------------------------
// TTimer

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
// TForm

namespace {

// The form's window. Keys do nothing: they are consumed here, so no shortcut (Escape included)
// reaches FLTK's default handling, which would close the window.
class FormWindow : public Fl_Double_Window {
 public:
  explicit FormWindow(TForm* Form) : Fl_Double_Window(320, 240), FForm(Form) {
    end();
    Fl_Group::current(nullptr);
    box(FL_FLAT_BOX);
    resizable(nullptr);
    callback(&FormWindow::OnCallback, this);
  }
  bool Centred = false;

 protected:
  int handle(int Event) override {
    switch (Event) {
      case FL_KEYDOWN:
      case FL_KEYUP:
      case FL_SHORTCUT:
        return 1;
      default:
        return Fl_Double_Window::handle(Event);
    }
  }

 private:
  // Only the close button (the window manager's close request) closes the form.
  static void OnCallback(Fl_Widget*, void* Data) {
    if (Fl::event() != FL_CLOSE) return;
    static_cast<FormWindow*>(Data)->FForm->Close();
  }
  TForm* FForm;
};

FormWindow* WindowOf(const TForm* Form) {
  return static_cast<FormWindow*>(TControl::Widget::GroupOf(Form));
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

double ScreenDpi() {
  if (!DisplayAvailable()) return 0;
  float h = 0, v = 0;
  Fl::screen_dpi(h, v, 0);
  return h;
}

int TextHeight(const TFont& Font) {
  int w, h;
  MeasureText(Font, "Ag", w, h);
  return h;
}

int Scale(int Value, double Factor) { return static_cast<int>(std::lround(Value * Factor)); }

void ScaleBounds(TWinControl& Parent, double Factor) {
  for (TControl* child : Parent.Controls()) {
    if (!child->GetWidget()->AlignClient) {
      child->SetBounds(Scale(child->Left(), Factor), Scale(child->Top(), Factor),
                       Scale(child->Width(), Factor), Scale(child->Height(), Factor));
    }
    if (auto* container = dynamic_cast<TWinControl*>(child)) ScaleBounds(*container, Factor);
  }
}

void ScaleFonts(TWinControl& Parent, double Ratio) {
  for (TControl* child : Parent.Controls()) {
    if (auto* label = dynamic_cast<TLabel*>(child)) {
      TFont font = label->Font();
      font.Height = Scale(font.Height, Ratio);
      label->SetFont(font);
    }
    if (auto* container = dynamic_cast<TWinControl*>(child)) ScaleFonts(*container, Ratio);
  }
}

}  // namespace

TForm::TForm(TComponent* AOwner) : TWinControl(AOwner, nullptr) {
  FWidget->Group = new FormWindow(this);
  SetColor(clBtnFace);
  SetClientSize(320, 240);
}

TForm::~TForm() {
  if (Application && Application->MainForm() == this) Application->SetMainForm(nullptr);
}

void TForm::SetCaption(const std::string& Value) {
  FCaption = Value;
  WindowOf(this)->copy_label(ToUtf8(Value).c_str());
}

void TForm::BoundsChanged() {
  FormWindow* window = WindowOf(this);
  window->size(Width(), Height());
  window->size_range(Width(), Height(), Width(), Height());
  TControl::BoundsChanged();
  window->redraw();
}

void TForm::SetBorderStyle(TFormBorderStyle Value) { FBorderStyle = Value; }

void TForm::SetColor(TColor Value) {
  WindowOf(this)->color(ToFl(Value));
  WindowOf(this)->redraw();
}

void TForm::SetFont(const TFont& Value) {
  FFont = Value;
  WindowOf(this)->redraw();
}

void TForm::SetIcon(const char* const* Xpm) {
  Fl_Pixmap pixmap(Xpm);
  Fl_RGB_Image image(&pixmap);
  WindowOf(this)->icon(&image);
}

void TForm::Loaded() {
  const double dpi = ScreenDpi();
  if (dpi <= 0 || std::lround(dpi) == 96) return;
  TFont font = FFont;
  font.Height = Scale(font.Height, dpi / 96.0);
  const double factor = TextHeight(font) / 16.0;
  SetClientSize(Scale(Width(), factor), Scale(Height(), factor));
  ScaleBounds(*this, factor);
  SetFont(font);
  ScaleFonts(*this, dpi / 96.0);
}

void TForm::Show() {
  EnsureLoopReady();
  FormWindow* window = WindowOf(this);
  if (!window->Centred && DisplayAvailable()) {
    int x, y, w, h;
    Fl::screen_work_area(x, y, w, h, 0);
    window->position(x + (w - Width()) / 2, y + (h - Height()) / 2);
    window->Centred = true;
  }
  window->show();
  if (FBorderStyle == bsDialog && window->shown()) RequestDialogFrame(window);
}

bool TForm::Showing() const {
  FormWindow* window = WindowOf(this);
  return window->shown() && window->visible();
}

// ---------------------------------------------------------------------------------------------
// TApplication, TScreen

TApplication::TApplication() : TComponent(nullptr) {
  toolkit_sync::NoteMainThread();
  toolkit_sync::SetErrorReporter(&ReportThreadError);
}

void TApplication::Initialize() { EnsureLoopReady(); }

void TApplication::Run() {
  EnsureLoopReady();
  if (FMainForm) FMainForm->Show();
  while (!FTerminated && FMainForm && FMainForm->Showing()) Fl::wait(1e20);
  while (ComponentCount() > 0) delete Components(ComponentCount() - 1);
  FMainForm = nullptr;
}

namespace {

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

void TApplication::ProcessMessages() {
  EnsureLoopReady();
  if (WindowEventsDue()) Fl::check();
  toolkit_sync::ServePending();
}

void TApplication::WaitMessage(int TimeoutMs) {
  EnsureLoopReady();
  Fl::wait(TimeoutMs < 0 ? 1e20 : TimeoutMs / 1000.0);
  toolkit_sync::ServePending();
}

std::string TApplication::ExeName() const {
  char path[4096];
  const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  return std::string(path, std::min<std::size_t>(n, sizeof path));
}

namespace toolkit_backend {

ControlState& StateOf(const TControl& Control) { return *Control.GetWidget(); }
void Repaint(TControl& Control) { Redraw(&Control); }
void RepaintAround(TControl& Control) { RedrawAround(&Control); }

void Placed(TControl& Control) {
  PlaceTree(&Control);
  RedrawAround(&Control);
}

void LabelFontChanged(TLabel&) {}

void MeasureCaption(const TLabel& Label, int& Width, int& Height) {
  MeasureText(Label.Font(), Label.Caption(), Width, Height);
}

void PictureLoaded(TImage&) {}

void HideForm(TForm& Form) { WindowOf(&Form)->hide(); }

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

void ApplyScreenCursor(TCursor Value) {
  TForm* form = Application->MainForm();
  if (!form || !form->Showing()) return;
  WindowOf(form)->cursor(ToFl(Value));
  Fl::flush();
}

}  // namespace toolkit_backend
