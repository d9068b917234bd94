// The parts of the window toolkit that need nothing of the platform: control bookkeeping, the
// gauge's arithmetic, timers' settings, the application's title, error reporting and message
// boxes. What they show goes through the backend's hooks.
#include <algorithm>

#include "toolkit/backend.h"
#include "toolkit/forms.h"
#include "toolkit/jpeg.h"

using toolkit_backend::StateOf;

namespace {

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

void TControl::BoundsChanged() {
  if (auto* self = dynamic_cast<TWinControl*>(this)) {
    for (TControl* child : self->Controls()) {
      if (StateOf(*child).AlignClient) child->SetBounds(0, 0, FWidth, FHeight);
    }
  }
  toolkit_backend::Placed(*this);
}

void TControl::SetCursor(TCursor Value) { FCursor = Value; }

TWinControl::TWinControl(TComponent* AOwner, TWinControl* AParent) : TControl(AOwner, AParent) {}

TPanel::TPanel(TComponent* AOwner, TWinControl* AParent) : TWinControl(AOwner, AParent) {}

void TPanel::SetColor(TColor Value) {
  FColor = Value;
  toolkit_backend::Repaint(*this);
}

void TPanel::SetBevel(TBevelCut Outer, int Width) {
  StateOf(*this).Bevel = Outer;
  StateOf(*this).BevelWidth = std::max(Width, 0);
  toolkit_backend::Repaint(*this);
}

void TPanel::AlignClient() {
  StateOf(*this).AlignClient = true;
  if (Parent()) SetBounds(0, 0, Parent()->Width(), Parent()->Height());
}

TNotebook::TNotebook(TComponent* AOwner, TWinControl* AParent) : TWinControl(AOwner, AParent) {}

void TNotebook::SetPageIndex(int Index) {
  if (Index < 0 || Index >= PageCount()) return;
  FPageIndex = Index;
  for (int i = 0; i < PageCount(); ++i) FPages[i]->SetVisible(i == Index);
}

// ---------------------------------------------------------------------------------------------
// TLabel, TImage

TLabel::TLabel(TComponent* AOwner, TWinControl* AParent) : TControl(AOwner, AParent) {
  toolkit_backend::LabelFontChanged(*this);
  SetAutoSize(FAutoSize);
}

void TLabel::SetCaption(const std::string& Value) {
  if (Value == FCaption) return;
  FCaption = Value;
  SetAutoSize(FAutoSize);
  toolkit_backend::RepaintAround(*this);
}

void TLabel::SetFont(const TFont& Value) {
  FFont = Value;
  toolkit_backend::LabelFontChanged(*this);
  SetAutoSize(FAutoSize);
  toolkit_backend::RepaintAround(*this);
}

void TLabel::SetAutoSize(bool Value) {
  FAutoSize = Value;
  if (!FAutoSize) return;
  int w, h;
  toolkit_backend::MeasureCaption(*this, w, h);
  SetBounds(Left(), Top(), w, h);
}

TImage::TImage(TComponent* AOwner, TWinControl* AParent) : TControl(AOwner, AParent) {}

void TImage::LoadJpeg(const unsigned char* Data, std::size_t Size) {
  JpegPicture picture = DecodeJpeg(Data, Size);
  FPictureWidth = picture.Width;
  FPictureHeight = picture.Height;
  FPixels = std::move(picture.Rgb);
  toolkit_backend::PictureLoaded(*this);
  SetBounds(Left(), Top(), FPictureWidth, FPictureHeight);
  toolkit_backend::Repaint(*this);
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
  toolkit_backend::Repaint(*this);
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
  toolkit_backend::Repaint(*this);
}

void TGauge::SetBackColor(TColor Value) {
  FBackColor = Value;
  toolkit_backend::Repaint(*this);
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

void TForm::SetClientSize(int AWidth, int AHeight) { SetBounds(Left(), Top(), AWidth, AHeight); }

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
  toolkit_backend::HideForm(*this);
  if (Application->MainForm() == this) Application->Terminate();
}

// ---------------------------------------------------------------------------------------------
// TApplication, TScreen

void TApplication::Terminate() { FTerminated = true; }

std::string TApplication::Title() const { return TitleFromExeName(ExeName()); }

void TApplication::HandleException(const std::exception& E) {
  try {
    MessageBox(E.what(), mtError);
  } catch (...) {
    toolkit_backend::ReportUnshown(E.what());
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
  toolkit_backend::ShowMessageBox(Text, Title(), Type);
}

void TScreen::SetCursor(TCursor Value) {
  FCursor = Value;
  toolkit_backend::ApplyScreenCursor(Value);
}

void ShowMessage(const std::string& Msg) { Application->MessageBox(Msg, mtInformation); }
