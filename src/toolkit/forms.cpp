// The parts of the window toolkit that need nothing of the platform: control bookkeeping, the
// layout's scaling, painting and mouse clicks control by control, the gauge, timers' settings,
// the application's loop and title, error reporting and message boxes. What they show goes
// through the backend's hooks (backend.h).
#include <windows.h>

#include <algorithm>
#include <cmath>

#include "toolkit/backend.h"
#include "toolkit/forms.h"
#include "toolkit/jpeg.h"
#include "toolkit/synchub.h"

TApplication* Application = new TApplication;
TScreen* Screen = new TScreen;

namespace toolkit_backend {

TForm* FormOf(const TControl& Control) {
  const TControl* root = &Control;
  while (root->Parent()) root = root->Parent();
  return dynamic_cast<TForm*>(const_cast<TControl*>(root));
}

Rect AreaOf(const TControl& Control) {
  Rect area{Control.Left(), Control.Top(), Control.Left() + Control.Width(),
            Control.Top() + Control.Height()};
  for (const TControl* p = Control.Parent(); p && p->Parent(); p = p->Parent()) {
    area = {area.Left + p->Left(), area.Top + p->Top(), area.Right + p->Left(),
            area.Bottom + p->Top()};
  }
  return area;
}

bool ControlShowing(const TControl& Control) {
  for (const TControl* c = &Control; c; c = c->Parent()) {
    if (!c->Visible()) return false;
  }
  return true;
}

bool ReadsBefore(const TControl& A, const TControl& B) {
  const Rect a = AreaOf(A), b = AreaOf(B);
  return a.Top != b.Top ? a.Top < b.Top : a.Left < b.Left;
}

ControlRole RoleOf(const TControl& Control) {
  if (dynamic_cast<const TLabel*>(&Control)) return ControlRole::kStaticText;
  if (dynamic_cast<const TGauge*>(&Control)) return ControlRole::kProgressBar;
  if (Control.TabStop() && !dynamic_cast<const TWinControl*>(&Control))
    return ControlRole::kPushButton;
  return ControlRole::kNone;
}

const std::string& AccessibleText(const TControl& Control) {
  static const std::string none;
  if (auto* label = dynamic_cast<const TLabel*>(&Control)) return label->Caption();
  if (auto* image = dynamic_cast<const TImage*>(&Control)) return image->AccessibleName();
  return none;
}

namespace {

constexpr int kDesignDpi = 96;
constexpr int kDesignTextHeight = 16;

// The control that took the last press of the mouse button, until it is released.
TControl* g_Pressed = nullptr;

// Value * Numerator / Denominator, rounded half away from zero.
int Scale(int Value, int Numerator, int Denominator) {
  return static_cast<int>(std::lround(static_cast<double>(Value) * Numerator / Denominator));
}

TFont FormFont(const TControl& Control) {
  const TForm* form = FormOf(Control);
  return form ? form->Font() : TFont{};
}

void Repaint(TControl& Control) {
  TForm* form = FormOf(Control);
  if (!form) return;
  const Rect area = AreaOf(Control);
  InvalidateForm(*form, &Control == form ? nullptr : &area);
}

// Repaints the area around the control (its parent's), for a change that may uncover what lies
// beneath it.
void RepaintAround(TControl& Control) { Repaint(Control.Parent() ? *Control.Parent() : Control); }

// ---------------------------------------------------------------------------------------------
// Painting

void PaintBevel(Rect Area, TBevelCut Cut, int Width) {
  if (Cut == bvNone) return;
  const TColor topLeft = Cut == bvRaised ? clBtnHighlight : clBtnShadow;
  const TColor bottomRight = Cut == bvRaised ? clBtnShadow : clBtnHighlight;
  for (int i = 0; i < Width && Area.Right - Area.Left > 1 && Area.Bottom - Area.Top > 1; ++i) {
    FillArea({Area.Left, Area.Top, Area.Right, Area.Top + 1}, topLeft);
    FillArea({Area.Left, Area.Top, Area.Left + 1, Area.Bottom}, topLeft);
    FillArea({Area.Left, Area.Bottom - 1, Area.Right, Area.Bottom}, bottomRight);
    FillArea({Area.Right - 1, Area.Top, Area.Right, Area.Bottom}, bottomRight);
    Area = {Area.Left + 1, Area.Top + 1, Area.Right - 1, Area.Bottom - 1};
  }
}

// The colour of text drawn over Value; system colours count as the light grey of a face.
TColor Inverse(TColor Value) { return (Value < 0 ? 0xF0F0F0 : Value) ^ 0xFFFFFF; }

// What a paint of the form needs besides the controls: the colours, the layout's own or in high
// contrast the system's, and the control that shows the focus mark, if any.
struct Painting {
  bool SystemColors;
  const TControl* Marked;
  TColor Panel(const TPanel& P) const { return SystemColors ? clBtnFace : P.Color(); }
  TColor Text(const TLabel& L) const { return SystemColors ? clBtnText : L.Font().Color; }
  TColor GaugeBorder() const { return SystemColors ? clWindowText : clBlack; }
  TColor GaugeFill(const TGauge& G) const { return SystemColors ? clHighlight : G.ForeColor(); }
  TColor GaugeField(const TGauge& G) const { return SystemColors ? clWindow : G.BackColor(); }
  TColor TextOverFill(const TGauge& G) const {
    return SystemColors ? clHighlightText : Inverse(G.ForeColor());
  }
  TColor TextOverField(const TGauge& G) const {
    return SystemColors ? clWindowText : Inverse(G.BackColor());
  }
  TColor FocusMark() const { return SystemColors ? clBtnText : clBlack; }
};

// The focus mark lies this far outside the control, leaving a gap of one pixel.
constexpr int kFocusMarkOffset = 2;

Rect FocusMarkArea(const Rect& Area) {
  return {Area.Left - kFocusMarkOffset, Area.Top - kFocusMarkOffset, Area.Right + kFocusMarkOffset,
          Area.Bottom + kFocusMarkOffset};
}

void RepaintFocusMark(const TControl* Control) {
  TForm* form = Control ? FormOf(*Control) : nullptr;
  if (!form) return;
  const Rect area = FocusMarkArea(AreaOf(*Control));
  InvalidateForm(*form, &area);
}

// A dotted rectangle one pixel wide, every other pixel set, as the system marks a focused button.
void PaintFocusMark(const Rect& Area, TColor Color) {
  for (int x = Area.Left; x < Area.Right; x += 2) {
    FillArea({x, Area.Top, x + 1, Area.Top + 1}, Color);
    FillArea({x, Area.Bottom - 1, x + 1, Area.Bottom}, Color);
  }
  for (int y = Area.Top + 2; y < Area.Bottom - 1; y += 2) {
    FillArea({Area.Left, y, Area.Left + 1, y + 1}, Color);
    FillArea({Area.Right - 1, y, Area.Right, y + 1}, Color);
  }
}

// Border, field, the filled part, and the percentage drawn twice: each copy is clipped to one
// part and takes the inverse of that part's colour.
void PaintGauge(const TGauge& Gauge, const Rect& Area, const Painting& Colors) {
  FillArea(Area, Colors.GaugeBorder());
  const Rect field{Area.Left + 1, Area.Top + 1, Area.Right - 1, Area.Bottom - 1};
  if (field.Empty()) return;
  const int percent = Gauge.PercentDone();
  const int fieldWidth = field.Right - field.Left, fieldHeight = field.Bottom - field.Top;
  const int filledWidth =
      static_cast<int>(static_cast<long long>(fieldWidth) * std::clamp(percent, 0, 100) / 100);
  const Rect filled{field.Left, field.Top, field.Left + filledWidth, field.Bottom};
  const Rect empty{filled.Right, field.Top, field.Right, field.Bottom};
  if (!filled.Empty()) FillArea(filled, Colors.GaugeFill(Gauge));
  if (!empty.Empty()) FillArea(empty, Colors.GaugeField(Gauge));
  const std::string text = std::to_string(percent) + "%";
  const TFont font = FormFont(Gauge);
  int textWidth, textHeight;
  MeasureText(font, text, textWidth, textHeight);
  const int x = field.Left + (fieldWidth - textWidth) / 2;
  const int y = field.Top + (fieldHeight - textHeight) / 2;
  if (!filled.Empty()) PaintText(font, text, x, y, filled, Colors.TextOverFill(Gauge));
  if (!empty.Empty()) PaintText(font, text, x, y, empty, Colors.TextOverField(Gauge));
}

void PaintControl(const TControl& Control, int OriginX, int OriginY, const Painting& Colors) {
  if (!Control.Visible()) return;
  const Rect area{OriginX + Control.Left(), OriginY + Control.Top(),
                  OriginX + Control.Left() + Control.Width(),
                  OriginY + Control.Top() + Control.Height()};
  if (auto* panel = dynamic_cast<const TPanel*>(&Control)) {
    FillArea(area, Colors.Panel(*panel));
    PaintBevel(area, panel->GetWidget()->Bevel, panel->GetWidget()->BevelWidth);
  } else if (auto* label = dynamic_cast<const TLabel*>(&Control)) {
    PaintText(label->Font(), label->Caption(), area.Left, area.Top, area, Colors.Text(*label));
  } else if (auto* image = dynamic_cast<const TImage*>(&Control)) {
    if (!image->Pixels().empty()) DrawPicture(*image, area);
  } else if (auto* gauge = dynamic_cast<const TGauge*>(&Control)) {
    PaintGauge(*gauge, area, Colors);
  }
  if (&Control == Colors.Marked) PaintFocusMark(FocusMarkArea(area), Colors.FocusMark());
  auto* container = dynamic_cast<const TWinControl*>(&Control);
  if (!container || container->Controls().empty()) return;
  PushClip(area);
  for (const TControl* child : container->Controls())
    PaintControl(*child, area.Left, area.Top, Colors);
  PopClip();
}

// The topmost visible control at a point given relative to Container's client area.
TControl* ControlAt(const TWinControl& Container, int X, int Y) {
  const auto& children = Container.Controls();
  for (auto it = children.rbegin(); it != children.rend(); ++it) {
    TControl* child = *it;
    if (!child->Visible() || X < child->Left() || Y < child->Top() ||
        X >= child->Left() + child->Width() || Y >= child->Top() + child->Height())
      continue;
    if (auto* inner = dynamic_cast<TWinControl*>(child)) {
      if (TControl* hit = ControlAt(*inner, X - child->Left(), Y - child->Top())) return hit;
    }
    return child;
  }
  return nullptr;
}

// The shown controls that take the focus, in reading order.
void CollectFocusable(const TWinControl& Container, std::vector<TControl*>& Found) {
  for (TControl* child : Container.Controls()) {
    if (!child->Visible()) continue;
    if (child->TabStop()) {
      // A handful at most: each goes in before the first that reads after it.
      auto at = Found.begin();
      while (at != Found.end() && !ReadsBefore(*child, **at)) ++at;
      Found.insert(at, child);
    }
    if (auto* inner = dynamic_cast<const TWinControl*>(child)) CollectFocusable(*inner, Found);
  }
}

std::vector<TControl*> FocusOrder(const TForm& Form) {
  std::vector<TControl*> order;
  CollectFocusable(Form, order);
  return order;
}

// After a change of what is shown: a hidden active control gives the focus to the first shown
// control that takes it, and a form without one gets the first that appears.
void UpdateFocus(TControl& Changed) {
  TForm* form = FormOf(Changed);
  if (!form) return;
  TControl* active = form->ActiveControl();
  if (active && ControlShowing(*active) && active->TabStop()) return;
  const std::vector<TControl*> order = FocusOrder(*form);
  form->SetActiveControl(order.empty() ? nullptr : order.front());
}

// The control and everything inside it tell the backend of a change.
void NoteChanged(TControl& Control) {
  if (!dynamic_cast<TForm*>(&Control)) ControlChanged(Control);
  if (auto* container = dynamic_cast<TWinControl*>(&Control)) {
    for (TControl* child : container->Controls()) NoteChanged(*child);
  }
}

void ScaleControls(TWinControl& Parent, int TextHeight, int Dpi) {
  for (TControl* child : Parent.Controls()) {
    if (!child->GetWidget()->AlignClient) {
      child->SetBounds(Scale(child->Left(), TextHeight, kDesignTextHeight),
                       Scale(child->Top(), TextHeight, kDesignTextHeight),
                       Scale(child->Width(), TextHeight, kDesignTextHeight),
                       Scale(child->Height(), TextHeight, kDesignTextHeight));
    }
    if (auto* label = dynamic_cast<TLabel*>(child)) {
      TFont font = label->Font();
      font.Height = Scale(font.Height, Dpi, kDesignDpi);
      label->SetFont(font);
    }
    if (auto* container = dynamic_cast<TWinControl*>(child)) {
      ScaleControls(*container, TextHeight, Dpi);
    }
  }
}

// Keeps the 96-dpi layout of Parent's controls, each label's font height with it.
void KeepDesign(TWinControl& Parent) {
  for (TControl* child : Parent.Controls()) {
    TControl::Widget& widget = *child->GetWidget();
    widget.DesignBounds = {child->Left(), child->Top(), child->Width(), child->Height()};
    if (auto* label = dynamic_cast<TLabel*>(child)) widget.DesignFontHeight = label->Font().Height;
    if (auto* container = dynamic_cast<TWinControl*>(child)) KeepDesign(*container);
  }
}

// Puts back what KeepDesign kept; a label then takes the size of its text in its own font.
void RestoreDesign(TWinControl& Parent) {
  for (TControl* child : Parent.Controls()) {
    const TControl::Widget& widget = *child->GetWidget();
    if (!widget.AlignClient) {
      const auto& [left, top, width, height] = widget.DesignBounds;
      child->SetBounds(left, top, width, height);
    }
    if (auto* label = dynamic_cast<TLabel*>(child)) {
      TFont font = label->Font();
      font.Height = widget.DesignFontHeight;
      label->SetFont(font);
    }
    if (auto* container = dynamic_cast<TWinControl*>(child)) RestoreDesign(*container);
  }
}

}  // namespace

void PaintForm(TForm& Form) {
  const Painting colors{HighContrast(), HoldsFocus(Form) ? Form.ActiveControl() : nullptr};
  FillArea({0, 0, Form.Width(), Form.Height()}, Form.Color());
  for (const TControl* child : Form.Controls()) PaintControl(*child, 0, 0, colors);
}

void MouseDown(TForm& Form, int X, int Y) { g_Pressed = ControlAt(Form, X, Y); }

void MouseUp(TForm& Form, int X, int Y) {
  TControl* hit = ControlAt(Form, X, Y);
  const bool clicked = hit && hit == g_Pressed;
  g_Pressed = nullptr;
  if (clicked) RunHandler(hit->OnClick, hit);
}

void KeyDown(TForm& Form, Key Pressed, bool Shift) {
  const std::vector<TControl*> order = FocusOrder(Form);
  TControl* active = Form.ActiveControl();
  if (Pressed == Key::kSpace || Pressed == Key::kEnter) {
    if (active && ControlShowing(*active)) RunHandler(active->OnClick, active);
    return;
  }
  const bool forward =
      Pressed == Key::kTab ? !Shift : Pressed == Key::kRight || Pressed == Key::kDown;
  const bool backward = Pressed == Key::kTab ? Shift : Pressed == Key::kLeft || Pressed == Key::kUp;
  if (order.empty() || (!forward && !backward)) return;
  const auto at = std::find(order.begin(), order.end(), active);
  const std::size_t count = order.size();
  std::size_t next = 0;
  if (at != order.end()) {
    const std::size_t index = static_cast<std::size_t>(at - order.begin());
    next = forward ? (index + 1) % count : (index + count - 1) % count;
  } else if (backward) {
    next = count - 1;
  }
  Form.SetActiveControl(order[next]);
}

void FormFocusChanged(TForm& Form) { RepaintFocusMark(Form.ActiveControl()); }

TCursor CursorAt(TForm& Form, int X, int Y) {
  if (Screen->Cursor() != crDefault) return Screen->Cursor();
  const TControl* control = ControlAt(Form, X, Y);
  return control ? control->Cursor() : crDefault;
}

void RunHandler(const TNotifyEvent& Event, TObject* Sender) {
  if (!Event) return;
  TNotifyEvent handler = Event;  // the handler may replace the event or free the sender
  Application->Dispatch([&] { handler(Sender); });
}

}  // namespace toolkit_backend

using namespace toolkit_backend;

namespace {

// An error escaping a worker thread's handler goes to the application's error box.
void ReportThreadError(const std::exception& E) { Application->HandleException(E); }

// Lower case of one Windows-1250 character.
unsigned char LowerCp1250(unsigned char C) {
  if (C >= 'A' && C <= 'Z') return C + 32;
  if (C >= 0xC0 && C <= 0xDE && C != 0xD7) return C + 32;
  switch (C) {
    case 0x8A:
    case 0x8C:
    case 0x8D:
    case 0x8E:
    case 0x8F:
      return C + 16;
    case 0xA3:
      return 0xB3;
    case 0xA5:
      return 0xB9;
    case 0xAA:
      return 0xBA;
    case 0xAF:
      return 0xBF;
    case 0xBC:
      return 0xBE;
    default:
      return C;
  }
}

// Built without printf, whose compiler-provided version would double the Windows program's size.
std::string RangeMessage(int Low, int High) {
  return "Value must be between " + std::to_string(Low) + " and " + std::to_string(High);
}

}  // namespace

std::string TitleFromExeName(const std::string& Path) {
  const std::size_t slash = Path.find_last_of("/\\:");
  std::string name = slash == std::string::npos ? Path : Path.substr(slash + 1);
  name = name.substr(0, name.find('.'));
  for (std::size_t i = 1; i < name.size(); ++i) {
    name[i] = static_cast<char>(LowerCp1250(static_cast<unsigned char>(name[i])));
  }
  return name;
}

// ---------------------------------------------------------------------------------------------
// TControl, TWinControl, TPanel, TNotebook

void TControl::SetBounds(int ALeft, int ATop, int AWidth, int AHeight) {
  AWidth = std::max(AWidth, 0);
  AHeight = std::max(AHeight, 0);
  if (ALeft == FLeft && ATop == FTop && AWidth == FWidth && AHeight == FHeight) return;
  FLeft = ALeft;
  FTop = ATop;
  FWidth = AWidth;
  FHeight = AHeight;
  BoundsChanged();
}

TControl::TControl(TComponent* AOwner, TWinControl* AParent)
    : TComponent(AOwner), FWidget(new Widget), FParent(AParent) {
  if (FParent) FParent->FControls.push_back(this);
}

TControl::~TControl() {
  if (g_Pressed == this) g_Pressed = nullptr;
  TForm* form = FormOf(*this);
  if (form && form != this && form->ActiveControl() == this) form->SetActiveControl(nullptr);
  ControlFreed(*this);
  if (FParent) {
    auto& list = FParent->FControls;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
    Repaint(*FParent);
  }
  delete FWidget;
}

void TControl::BoundsChanged() {
  if (auto* self = dynamic_cast<TWinControl*>(this)) {
    for (TControl* child : self->Controls()) {
      if (child->FWidget->AlignClient) child->SetBounds(0, 0, FWidth, FHeight);
    }
  }
  NoteChanged(*this);
  RepaintAround(*this);
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
  if (FVisible == Value) return;
  FVisible = Value;
  NoteChanged(*this);
  UpdateFocus(*this);
  RepaintAround(*this);
}

void TControl::SetCursor(TCursor Value) { FCursor = Value; }

void TControl::SetTabStop(bool Value) {
  if (Value == FTabStop) return;
  FTabStop = Value;
  ControlChanged(*this);
  UpdateFocus(*this);
}

TWinControl::TWinControl(TComponent* AOwner, TWinControl* AParent) : TControl(AOwner, AParent) {}

TWinControl::~TWinControl() {
  // Its controls are about to lose their form: none of them may stay its active control.
  TForm* form = FormOf(*this);
  for (const TControl* c = form ? form->ActiveControl() : nullptr; c; c = c->Parent()) {
    if (c == this) form->SetActiveControl(nullptr);
  }
  for (TControl* child : FControls) child->FParent = nullptr;
}

TPanel::TPanel(TComponent* AOwner, TWinControl* AParent) : TWinControl(AOwner, AParent) {
  FWidget->Bevel = bvRaised;
  FWidget->BevelWidth = 1;
}

void TPanel::SetColor(TColor Value) {
  FColor = Value;
  Repaint(*this);
}

void TPanel::SetBevel(TBevelCut Outer, int Width) {
  FWidget->Bevel = Outer;
  FWidget->BevelWidth = std::max(Width, 0);
  Repaint(*this);
}

void TPanel::AlignClient() {
  FWidget->AlignClient = true;
  if (Parent()) SetBounds(0, 0, Parent()->Width(), Parent()->Height());
}

TNotebook::TNotebook(TComponent* AOwner, TWinControl* AParent) : TWinControl(AOwner, AParent) {}

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

void TNotebook::SetPageIndex(int Index) {
  if (Index < 0 || Index >= PageCount()) return;
  FPageIndex = Index;
  for (int i = 0; i < PageCount(); ++i) FPages[i]->SetVisible(i == Index);
}

// ---------------------------------------------------------------------------------------------
// TLabel, TImage

TLabel::TLabel(TComponent* AOwner, TWinControl* AParent) : TControl(AOwner, AParent) {
  SetAutoSize(FAutoSize);
}

void TLabel::SetCaption(const std::string& Value) {
  if (Value == FCaption) return;
  FCaption = Value;
  SetAutoSize(FAutoSize);
  ControlChanged(*this);
  RepaintAround(*this);
}

void TLabel::SetFont(const TFont& Value) {
  FFont = Value;
  SetAutoSize(FAutoSize);
  RepaintAround(*this);
}

void TLabel::SetAutoSize(bool Value) {
  FAutoSize = Value;
  if (!FAutoSize) return;
  int width, height;
  MeasureText(FFont, FCaption, width, height);
  SetBounds(Left(), Top(), width, height);
}

TImage::TImage(TComponent* AOwner, TWinControl* AParent) : TControl(AOwner, AParent) {}

void TImage::SetAccessibleName(const std::string& Value) {
  FAccessibleName = Value;
  ControlChanged(*this);
}

void TImage::LoadJpeg(const unsigned char* Data, std::size_t Size) {
  JpegPicture picture = DecodeJpeg(Data, Size);
  FPictureWidth = picture.Width;
  FPictureHeight = picture.Height;
  FPixels = std::move(picture.Rgb);
  PictureLoaded(*this);
  SetBounds(Left(), Top(), FPictureWidth, FPictureHeight);
  Repaint(*this);
}

// ---------------------------------------------------------------------------------------------
// TGauge. A download sets the gauge once per received block: a call that leaves the shown
// percentage alone costs a few comparisons.

TGauge::TGauge(TComponent* AOwner, TWinControl* AParent) : TControl(AOwner, AParent) {}

int TGauge::PercentDone() const {
  if (FMaxValue == FMinValue) return 0;
  const long long done = static_cast<long long>(FProgress) - FMinValue;
  const long long range = static_cast<long long>(FMaxValue) - FMinValue;
  return static_cast<int>(done * 100 / range);
}

void TGauge::Changed(int OldPercent) {
  if (PercentDone() == OldPercent) return;
  ++FRepaintCount;
  GaugeChanged(*this);
  Repaint(*this);
}

void TGauge::SetMaxValue(int Value) {
  if (Value == FMaxValue) return;
  if (Value < FMinValue) throw Exception(RangeMessage(FMinValue + 1, 2147483647));
  const int old = PercentDone();
  FMaxValue = Value;
  if (FProgress > Value) FProgress = Value;
  Changed(old);
}

void TGauge::SetMinValue(int Value) {
  if (Value == FMinValue) return;
  if (Value > FMaxValue) throw Exception(RangeMessage(-2147483647, FMaxValue - 1));
  const int old = PercentDone();
  FMinValue = Value;
  if (FProgress < Value) FProgress = Value;
  Changed(old);
}

void TGauge::SetProgress(int Value) {
  Value = std::clamp(Value, FMinValue, FMaxValue);
  if (Value == FProgress) return;
  const int old = PercentDone();
  FProgress = Value;
  Changed(old);
}

void TGauge::SetForeColor(TColor Value) {
  FForeColor = Value;
  Repaint(*this);
}

void TGauge::SetBackColor(TColor Value) {
  FBackColor = Value;
  Repaint(*this);
}

// ---------------------------------------------------------------------------------------------
// TTimer, TForm

void TTimer::SetEnabled(bool Value) {
  if (Value == FEnabled) return;
  FEnabled = Value;
  Rearm();
}

void TTimer::SetInterval(int Milliseconds) {
  if (Milliseconds == FInterval) return;
  FInterval = Milliseconds;
  Rearm();
}

TForm::TForm(TComponent* AOwner) : TWinControl(AOwner, nullptr) {
  CreateFormWindow(*this);
  SetClientSize(320, 240);
}

TForm::~TForm() {
  // The controls go first, while the form they sit on is still whole.
  while (ComponentCount() > 0) delete Components(ComponentCount() - 1);
  if (Application->MainForm() == this) Application->SetMainForm(nullptr);
  DestroyFormWindow(*this);
}

void TForm::SetClientSize(int AWidth, int AHeight) { SetBounds(Left(), Top(), AWidth, AHeight); }

void TForm::BoundsChanged() {
  TControl::BoundsChanged();
  FormResized(*this);
}

void TForm::SetActiveControl(TControl* Value) {
  if (Value == FActiveControl) return;
  RepaintFocusMark(FActiveControl);
  FActiveControl = Value;
  RepaintFocusMark(FActiveControl);
  FocusControl(*this, FActiveControl);
}

void TForm::SetColor(TColor Value) {
  FColor = Value;
  Repaint(*this);
}

void TForm::SetFont(const TFont& Value) {
  FFont = Value;
  Repaint(*this);
}

void* TForm::Handle() const { return FWidget->Window; }

void TForm::Loaded() { ScaleForResolution(ScreenDpi()); }

void TForm::ScaleForResolution(int Dpi) {
  if (Dpi <= 0 || Dpi == FWidget->Dpi) return;
  // From the 96-dpi layout each time, so that a change of resolution ends where a start at the
  // new one would, whatever resolutions came between.
  if (FWidget->Dpi == kDesignDpi) {
    KeepDesign(*this);
    FWidget->DesignFontHeight = FFont.Height;
    FWidget->DesignBounds = {0, 0, Width(), Height()};
  } else {
    RestoreDesign(*this);
    FFont.Height = FWidget->DesignFontHeight;
    SetClientSize(FWidget->DesignBounds[2], FWidget->DesignBounds[3]);
  }
  FWidget->Dpi = Dpi;
  if (Dpi == kDesignDpi) {
    Repaint(*this);
    return;
  }
  TFont font = FFont;
  font.Height = Scale(FFont.Height, Dpi, kDesignDpi);
  const int textHeight = Scale(kDesignTextHeight, font.Height, std::max(FFont.Height, 1));
  ScaleControls(*this, textHeight, Dpi);
  SetFont(font);
  SetClientSize(Scale(Width(), textHeight, kDesignTextHeight),
                Scale(Height(), textHeight, kDesignTextHeight));
}

void TForm::DoCreate() {
  Application->Dispatch([this] {
    if (OnCreate) OnCreate(this);
  });
}

void TForm::Close() {
  if (OnClose) {
    TNotifyEvent handler = OnClose;  // the handler may replace the event
    Application->Dispatch([&] { handler(this); });
  }
  HideForm(*this);
  if (Application->MainForm() == this) Application->Terminate();
}

// ---------------------------------------------------------------------------------------------
// TApplication, TScreen

TApplication::TApplication() : TComponent(nullptr) {
  toolkit_sync::NoteMainThread();
  toolkit_sync::SetErrorReporter(&ReportThreadError);
}

// An application told to end before its loop (a failure at start-up) never shows its main form.
void TApplication::Run() {
  if (FMainForm && !FTerminated) FMainForm->Show();
  while (!FTerminated && FMainForm && FMainForm->Showing()) WaitMessage(-1);
  while (ComponentCount() > 0) delete Components(ComponentCount() - 1);
  FMainForm = nullptr;
  // The threads still running end now, not while the process exits.
  toolkit_sync::Close();
}

void TApplication::Terminate() { FTerminated = true; }

std::string TApplication::ExeName() const {
  std::string path(256, '\0');
  for (;;) {
    const DWORD n = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

std::string TApplication::Title() const { return TitleFromExeName(ExeName()); }

void TApplication::HandleException(const std::exception& E) {
  try {
    MessageBox(E.what(), mtError);
  } catch (...) {
    ReportUnshown(E.what());
  }
}

void TApplication::Dispatch(const std::function<void()>& Handler) {
  try {
    Handler();
  } catch (const std::exception& e) {
    HandleException(e);
  } catch (...) {
    HandleException(Exception("Unknown error"));
  }
}

void TApplication::MessageBox(const std::string& Text, TMsgDlgType Type) {
  if (FPresenter) {
    FPresenter(Text, Title(), Type);
    return;
  }
  const toolkit_sync::BlockingWait waiting;
  ShowMessageBox(Text, Title(), Type);
}

void TScreen::SetCursor(TCursor Value) {
  FCursor = Value;
  ApplyScreenCursor(Value);
}

void ShowMessage(const std::string& Msg) { Application->MessageBox(Msg, mtInformation); }
