// The window toolkit over the Win32 API. A form is one top-level window; its controls have no
// windows of their own: the form paints them into an off-screen bitmap (so nothing flickers and
// the panels keep their own colour whatever visual style is active), finds the control under the
// mouse for clicks and cursors, and hands everything else to the system.
#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "toolkit/backend.h"
#include "toolkit/classes.h"
#include "toolkit/forms.h"
#include "toolkit/synchub.h"

struct TControl::Widget : toolkit_backend::ControlState {
  HWND Window = nullptr;  // forms only
  HFONT Font = nullptr;   // forms and labels: the font in use, owned
  bool Shown = false;     // forms: shown once, so centred already
  // Images: the picture as a device-independent bitmap, BGR rows bottom-up, 4-byte aligned.
  std::vector<unsigned char> Dib;
};

struct TTimer::Widget {
  UINT_PTR Id = 0;
};

namespace {

const char kFormClass[] = "ToolkitForm";
constexpr int kDesignDpi = 96;
constexpr int kDesignTextHeight = 16;
constexpr int kIconResource = 1;

TControl* g_Pressed = nullptr;
std::map<UINT_PTR, TTimer*> g_Timers;

int ScreenDpi() {
  static const int dpi = [] {
    HDC dc = GetDC(nullptr);
    const int value = dc ? GetDeviceCaps(dc, LOGPIXELSY) : kDesignDpi;
    if (dc) ReleaseDC(nullptr, dc);
    return value > 0 ? value : kDesignDpi;
  }();
  return dpi;
}

COLORREF ToColorRef(TColor Color) {
  if (Color < 0) return GetSysColor(Color & 0xFF);
  return static_cast<COLORREF>(Color & 0xFFFFFF);
}

HFONT MakeFont(const TFont& Font) {
  return CreateFontA(-Font.Height, 0, 0, 0, Font.Bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE,
                     static_cast<DWORD>(Font.Charset), OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                     DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, Font.Name.c_str());
}

void ReplaceFont(TControl::Widget* W, const TFont& Font) {
  if (W->Font) DeleteObject(W->Font);
  W->Font = MakeFont(Font);
}

SIZE MeasureText(HFONT Font, const std::string& Text) {
  SIZE size{0, 0};
  HDC dc = GetDC(nullptr);
  HGDIOBJ old = SelectObject(dc, Font);
  TEXTMETRICA tm{};
  GetTextMetricsA(dc, &tm);
  GetTextExtentPoint32A(dc, Text.c_str(), static_cast<int>(Text.size()), &size);
  size.cy = tm.tmHeight;
  SelectObject(dc, old);
  ReleaseDC(nullptr, dc);
  return size;
}

int TextHeight(const TFont& Font) {
  HFONT font = MakeFont(Font);
  const int height = MeasureText(font, "0").cy;
  DeleteObject(font);
  return height;
}

TForm* FormOf(TControl* Control) {
  TControl* root = Control;
  while (root->Parent()) root = root->Parent();
  return dynamic_cast<TForm*>(root);
}

RECT AbsoluteRect(const TControl* Control) {
  RECT r{Control->Left(), Control->Top(), Control->Left() + Control->Width(),
         Control->Top() + Control->Height()};
  for (const TControl* p = Control->Parent(); p && p->Parent(); p = p->Parent())
    OffsetRect(&r, p->Left(), p->Top());
  return r;
}

// Set when a repaint is asked for; ProcessMessages then looks at the message queue.
bool g_RepaintAsked = false;

// Asks for a repaint of Control's area, or of the whole form when Control is null or the form.
void Invalidate(TControl* Control) {
  TForm* form = Control ? FormOf(Control) : nullptr;
  if (!form || !form->GetWidget() || !form->GetWidget()->Window) return;
  g_RepaintAsked = true;
  if (Control == form) {
    InvalidateRect(form->GetWidget()->Window, nullptr, FALSE);
    return;
  }
  const RECT r = AbsoluteRect(Control);
  InvalidateRect(form->GetWidget()->Window, &r, FALSE);
}

void InvalidateForm(TControl* Control) {
  if (TForm* form = FormOf(Control)) Invalidate(form);
}

// ---------------------------------------------------------------------------------------------
// Painting

void FillSolid(HDC Dc, const RECT& R, COLORREF Color) {
  SetBkColor(Dc, Color);
  ExtTextOutA(Dc, 0, 0, ETO_OPAQUE, &R, nullptr, 0, nullptr);
}

void PaintBevel(HDC Dc, RECT R, TBevelCut Cut, int Width) {
  if (Cut == bvNone) return;
  const COLORREF light = GetSysColor(COLOR_BTNHIGHLIGHT);
  const COLORREF dark = GetSysColor(COLOR_BTNSHADOW);
  const COLORREF topLeft = Cut == bvRaised ? light : dark;
  const COLORREF bottomRight = Cut == bvRaised ? dark : light;
  for (int i = 0; i < Width && R.right - R.left > 1 && R.bottom - R.top > 1; ++i) {
    FillSolid(Dc, RECT{R.left, R.top, R.right, R.top + 1}, topLeft);
    FillSolid(Dc, RECT{R.left, R.top, R.left + 1, R.bottom}, topLeft);
    FillSolid(Dc, RECT{R.left, R.bottom - 1, R.right, R.bottom}, bottomRight);
    FillSolid(Dc, RECT{R.right - 1, R.top, R.right, R.bottom}, bottomRight);
    InflateRect(&R, -1, -1);
  }
}

void PaintLabel(HDC Dc, TLabel* Label, const RECT& R) {
  HGDIOBJ old = SelectObject(Dc, Label->GetWidget()->Font);
  SetBkMode(Dc, TRANSPARENT);
  SetTextColor(Dc, ToColorRef(Label->Font().Color));
  const std::string& text = Label->Caption();
  ExtTextOutA(Dc, R.left, R.top, ETO_CLIPPED, &R, text.c_str(), static_cast<UINT>(text.size()),
              nullptr);
  SelectObject(Dc, old);
}

void PaintImage(HDC Dc, TImage* Image, const RECT& R) {
  const std::vector<unsigned char>& dib = Image->GetWidget()->Dib;
  if (dib.empty()) return;
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = Image->PictureWidth();
  info.bmiHeader.biHeight = Image->PictureHeight();  // positive: rows bottom-up
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  info.bmiHeader.biCompression = BI_RGB;
  SetStretchBltMode(Dc, COLORONCOLOR);
  StretchDIBits(Dc, R.left, R.top, R.right - R.left, R.bottom - R.top, 0, 0, Image->PictureWidth(),
                Image->PictureHeight(), dib.data(), &info, DIB_RGB_COLORS, SRCCOPY);
}

// The inverse of a colour: the text over a part of the gauge is drawn in it.
COLORREF Inverse(COLORREF Color) {
  return RGB(255 - GetRValue(Color), 255 - GetGValue(Color), 255 - GetBValue(Color));
}

void DrawClippedText(HDC Dc, const RECT& Clip, int X, int Y, const std::string& Text,
                     COLORREF Color) {
  if (Clip.right <= Clip.left) return;
  SetTextColor(Dc, Color);
  ExtTextOutA(Dc, X, Y, ETO_CLIPPED, &Clip, Text.c_str(), static_cast<UINT>(Text.size()), nullptr);
}

void PaintGauge(HDC Dc, TGauge* Gauge, const RECT& R) {
  FillSolid(Dc, R, RGB(0, 0, 0));
  RECT field = R;
  InflateRect(&field, -1, -1);
  if (field.right <= field.left || field.bottom <= field.top) return;
  const int percent = Gauge->PercentDone();
  const int fillWidth = static_cast<int>(static_cast<long long>(field.right - field.left) *
                                         std::clamp(percent, 0, 100) / 100);
  const RECT filled{field.left, field.top, field.left + fillWidth, field.bottom};
  const RECT empty{field.left + fillWidth, field.top, field.right, field.bottom};
  const COLORREF fore = ToColorRef(Gauge->ForeColor());
  const COLORREF back = ToColorRef(Gauge->BackColor());
  if (filled.right > filled.left) FillSolid(Dc, filled, fore);
  if (empty.right > empty.left) FillSolid(Dc, empty, back);

  const std::string text = std::to_string(percent) + "%";
  TForm* form = FormOf(Gauge);
  HGDIOBJ old = form ? SelectObject(Dc, form->GetWidget()->Font) : nullptr;
  SIZE size{0, 0};
  GetTextExtentPoint32A(Dc, text.c_str(), static_cast<int>(text.size()), &size);
  const int x = field.left + (field.right - field.left - size.cx) / 2;
  const int y = field.top + (field.bottom - field.top - size.cy) / 2;
  SetBkMode(Dc, TRANSPARENT);
  // Each part of the text takes the inverse of what lies beneath it.
  DrawClippedText(Dc, filled, x, y, text, Inverse(fore));
  DrawClippedText(Dc, empty, x, y, text, Inverse(back));
  if (old) SelectObject(Dc, old);
}

void PaintControl(HDC Dc, TControl* Control, int OriginX, int OriginY) {
  if (!Control->Visible()) return;
  RECT r{OriginX + Control->Left(), OriginY + Control->Top(),
         OriginX + Control->Left() + Control->Width(),
         OriginY + Control->Top() + Control->Height()};
  if (auto* panel = dynamic_cast<TPanel*>(Control)) {
    FillSolid(Dc, r, ToColorRef(panel->Color()));
    PaintBevel(Dc, r, panel->GetWidget()->Bevel, panel->GetWidget()->BevelWidth);
  } else if (auto* label = dynamic_cast<TLabel*>(Control)) {
    PaintLabel(Dc, label, r);
  } else if (auto* image = dynamic_cast<TImage*>(Control)) {
    PaintImage(Dc, image, r);
  } else if (auto* gauge = dynamic_cast<TGauge*>(Control)) {
    PaintGauge(Dc, gauge, r);
  }
  auto* container = dynamic_cast<TWinControl*>(Control);
  if (!container || container->Controls().empty()) return;
  const int saved = SaveDC(Dc);
  IntersectClipRect(Dc, r.left, r.top, r.right, r.bottom);
  for (TControl* child : container->Controls()) PaintControl(Dc, child, r.left, r.top);
  RestoreDC(Dc, saved);
}

void PaintForm(TForm* Form, HDC Dc, const RECT& Dirty) {
  RECT client;
  GetClientRect(Form->GetWidget()->Window, &client);
  const int width = client.right - client.left, height = client.bottom - client.top;
  if (width <= 0 || height <= 0) return;
  HDC mem = CreateCompatibleDC(Dc);
  HBITMAP bitmap = CreateCompatibleBitmap(Dc, width, height);
  HGDIOBJ oldBitmap = SelectObject(mem, bitmap);
  FillSolid(mem, client, GetSysColor(COLOR_BTNFACE));
  for (TControl* child : Form->Controls()) PaintControl(mem, child, 0, 0);
  BitBlt(Dc, Dirty.left, Dirty.top, Dirty.right - Dirty.left, Dirty.bottom - Dirty.top, mem,
         Dirty.left, Dirty.top, SRCCOPY);
  SelectObject(mem, oldBitmap);
  DeleteObject(bitmap);
  DeleteDC(mem);
}

// ---------------------------------------------------------------------------------------------
// Mouse

bool Contains(const TControl* C, int X, int Y) {
  return X >= C->Left() && Y >= C->Top() && X < C->Left() + C->Width() &&
         Y < C->Top() + C->Height();
}

// The topmost visible control at a point given relative to Container's client area.
TControl* ControlAt(TWinControl* Container, int X, int Y) {
  const auto& children = Container->Controls();
  for (auto it = children.rbegin(); it != children.rend(); ++it) {
    TControl* child = *it;
    if (!child->Visible() || !Contains(child, X, Y)) continue;
    if (auto* inner = dynamic_cast<TWinControl*>(child)) {
      if (TControl* hit = ControlAt(inner, X - child->Left(), Y - child->Top())) return hit;
    }
    return child;
  }
  return nullptr;
}

LPCSTR CursorResource(TCursor Cursor) {
  switch (Cursor) {
    case crHourGlass:
      return IDC_WAIT;
    case crHandPoint:
      return IDC_HAND;
    default:
      return IDC_ARROW;
  }
}

bool SetCursorAt(TForm* Form, LPARAM Hit) {
  if (LOWORD(Hit) != HTCLIENT) return false;
  TCursor cursor = Screen->Cursor();
  if (cursor == crDefault) {
    POINT p;
    GetCursorPos(&p);
    ScreenToClient(Form->GetWidget()->Window, &p);
    if (TControl* c = ControlAt(Form, p.x, p.y)) cursor = c->Cursor();
  }
  SetCursor(LoadCursorA(nullptr, CursorResource(cursor)));
  return true;
}

void MouseUp(TForm* Form, int X, int Y) {
  TControl* hit = ControlAt(Form, X, Y);
  const bool clicked = hit && hit == g_Pressed;
  g_Pressed = nullptr;
  if (clicked && hit->OnClick) Application->Dispatch([hit] { hit->OnClick(hit); });
}

LRESULT CALLBACK FormWindowProc(HWND Wnd, UINT Msg, WPARAM W, LPARAM L) {
  if (Msg == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTA*>(L);
    SetWindowLongPtrA(Wnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* form = reinterpret_cast<TForm*>(GetWindowLongPtrA(Wnd, GWLP_USERDATA));
  if (!form) return DefWindowProcA(Wnd, Msg, W, L);
  switch (Msg) {
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(Wnd, &ps);
      PaintForm(form, dc, ps.rcPaint);
      EndPaint(Wnd, &ps);
      return 0;
    }
    case WM_LBUTTONDOWN:
      g_Pressed = ControlAt(form, static_cast<short>(LOWORD(L)), static_cast<short>(HIWORD(L)));
      return 0;
    case WM_LBUTTONUP:
      MouseUp(form, static_cast<short>(LOWORD(L)), static_cast<short>(HIWORD(L)));
      return 0;
    case WM_SETCURSOR:
      if (SetCursorAt(form, L)) return TRUE;
      break;
    case WM_CLOSE:
      Application->Dispatch([form] { form->Close(); });
      return 0;
    case WM_NCDESTROY:
      SetWindowLongPtrA(Wnd, GWLP_USERDATA, 0);
      break;
    default:
      break;
  }
  return DefWindowProcA(Wnd, Msg, W, L);
}

void RegisterFormClass() {
  static const bool registered = [] {
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = FormWindowProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.hIcon = LoadIconA(wc.hInstance, MAKEINTRESOURCEA(kIconResource));
    wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    wc.lpszClassName = kFormClass;
    return RegisterClassExA(&wc) != 0;
  }();
  (void)registered;
}

DWORD FormStyle(TFormBorderStyle Border) {
  return Border == bsDialog ? WS_CAPTION | WS_SYSMENU : WS_OVERLAPPEDWINDOW;
}

DWORD FormExStyle(TFormBorderStyle Border) { return Border == bsDialog ? WS_EX_DLGMODALFRAME : 0; }

VOID CALLBACK TimerProc(HWND, UINT, UINT_PTR Id, DWORD) {
  auto it = g_Timers.find(Id);
  if (it == g_Timers.end()) return;
  TTimer* timer = it->second;
  if (timer->OnTimer) Application->Dispatch([timer] { timer->OnTimer(timer); });
}

void ReportThreadError(const std::exception& E) { Application->HandleException(E); }

int Scale(int Value, int Numerator, int Denominator) {
  return MulDiv(Value, Numerator, Denominator);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Controls

TControl::TControl(TComponent* AOwner, TWinControl* AParent)
    : TComponent(AOwner), FWidget(new Widget), FParent(AParent) {
  if (FParent) FParent->FControls.push_back(this);
}

TControl::~TControl() {
  if (g_Pressed == this) g_Pressed = nullptr;
  if (FParent) {
    auto& list = FParent->FControls;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
    InvalidateForm(FParent);
  }
  if (FWidget->Font) DeleteObject(FWidget->Font);
  delete FWidget;
}

void TControl::SetVisible(bool Value) {
  if (FVisible == Value) return;
  FVisible = Value;
  InvalidateForm(this);
}

TWinControl* TNotebook::AddPage(const std::string& Name) {
  // Pages belong to the notebook's owner, so that they are destroyed before the notebook.
  auto* page = new TWinControl(Owner() ? Owner() : this, this);
  page->Name = Name;
  page->GetWidget()->AlignClient = true;
  page->SetBounds(0, 0, Width(), Height());
  FPages.push_back(page);
  if (FPageIndex < 0) FPageIndex = 0;
  page->SetVisible(static_cast<int>(FPages.size()) - 1 == FPageIndex);
  return page;
}

// An image's picture as a device-independent bitmap.
void toolkit_backend::PictureLoaded(TImage& Image) {
  const int height = Image.PictureHeight();
  const std::size_t width = static_cast<std::size_t>(Image.PictureWidth());
  const std::size_t stride = (width * 3 + 3) & ~static_cast<std::size_t>(3);
  std::vector<unsigned char>& dib = Image.GetWidget()->Dib;
  dib.assign(stride * static_cast<std::size_t>(height), 0);
  for (int y = 0; y < height; ++y) {
    const unsigned char* src = Image.Pixels().data() + width * 3 * static_cast<std::size_t>(y);
    unsigned char* dst = dib.data() + stride * static_cast<std::size_t>(height - 1 - y);
    for (std::size_t x = 0; x < width; ++x) {
      dst[x * 3 + 0] = src[x * 3 + 2];
      dst[x * 3 + 1] = src[x * 3 + 1];
      dst[x * 3 + 2] = src[x * 3 + 0];
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Timers

TTimer::TTimer(TComponent* AOwner) : TComponent(AOwner), FWidget(new Widget) { Rearm(); }

TTimer::~TTimer() {
  FEnabled = false;
  Rearm();
  delete FWidget;
}

void TTimer::Rearm() {
  if (FWidget->Id) {
    KillTimer(nullptr, FWidget->Id);
    g_Timers.erase(FWidget->Id);
    FWidget->Id = 0;
  }
  if (!FEnabled || FInterval <= 0) return;
  FWidget->Id = SetTimer(nullptr, 0, static_cast<UINT>(FInterval), TimerProc);
  if (FWidget->Id) g_Timers[FWidget->Id] = this;
}

// ---------------------------------------------------------------------------------------------
// Forms

TForm::TForm(TComponent* AOwner) : TWinControl(AOwner, nullptr) {
  RegisterFormClass();
  ReplaceFont(FWidget, FFont);
  FWidget->Window = CreateWindowExA(FormExStyle(FBorderStyle), kFormClass, "",
                                    FormStyle(FBorderStyle), CW_USEDEFAULT, CW_USEDEFAULT, 0, 0,
                                    nullptr, nullptr, GetModuleHandleA(nullptr), this);
  if (!FWidget->Window) throw Exception("Error creating window");
}

TForm::~TForm() {
  // The controls go first, while the form they sit on is still whole.
  while (ComponentCount() > 0) delete Components(ComponentCount() - 1);
  if (Application->MainForm() == this) Application->SetMainForm(nullptr);
  if (FWidget->Window) DestroyWindow(FWidget->Window);
  FWidget->Window = nullptr;
}

void TForm::SetCaption(const std::string& Value) {
  FCaption = Value;
  SetWindowTextA(FWidget->Window, FCaption.c_str());
}

void TForm::SetBorderStyle(TFormBorderStyle Value) {
  FBorderStyle = Value;
  SetWindowLongPtrA(FWidget->Window, GWL_STYLE, static_cast<LONG_PTR>(FormStyle(Value)));
  SetWindowLongPtrA(FWidget->Window, GWL_EXSTYLE, static_cast<LONG_PTR>(FormExStyle(Value)));
  BoundsChanged();
}

void TForm::SetColor(TColor) {
  // The form is wholly covered by its pages; it is painted in the button-face colour.
  Invalidate(this);
}

void TForm::SetFont(const TFont& Value) {
  FFont = Value;
  ReplaceFont(FWidget, FFont);
  Invalidate(this);
}

void TForm::SetIcon(const char* const*) {
  // The icon is the program's own icon resource, made from the same picture at build time.
  HINSTANCE instance = GetModuleHandleA(nullptr);
  auto load = [instance](int Size) {
    return reinterpret_cast<LPARAM>(LoadImageA(instance, MAKEINTRESOURCEA(kIconResource),
                                               IMAGE_ICON, Size, Size, LR_DEFAULTCOLOR));
  };
  if (const LPARAM big = load(GetSystemMetrics(SM_CXICON)))
    SendMessageA(FWidget->Window, WM_SETICON, ICON_BIG, big);
  if (const LPARAM small = load(GetSystemMetrics(SM_CXSMICON)))
    SendMessageA(FWidget->Window, WM_SETICON, ICON_SMALL, small);
}

void TForm::Loaded() {
  const int dpi = ScreenDpi();
  if (dpi == kDesignDpi) return;
  TFont font = FFont;
  const int designHeight = TextHeight(font);
  font.Height = Scale(font.Height, dpi, kDesignDpi);
  const int newTextHeight = Scale(kDesignTextHeight, TextHeight(font), std::max(1, designHeight));
  SetFont(font);
  for (int i = 0; i < ComponentCount(); ++i) {
    auto* control = dynamic_cast<TControl*>(Components(i));
    // Controls aligned to their parent follow it.
    if (!control || control->GetWidget()->AlignClient) continue;
    control->SetBounds(Scale(control->Left(), newTextHeight, kDesignTextHeight),
                       Scale(control->Top(), newTextHeight, kDesignTextHeight),
                       Scale(control->Width(), newTextHeight, kDesignTextHeight),
                       Scale(control->Height(), newTextHeight, kDesignTextHeight));
    if (auto* label = dynamic_cast<TLabel*>(control)) {
      TFont labelFont = label->Font();
      labelFont.Height = Scale(labelFont.Height, dpi, kDesignDpi);
      label->SetFont(labelFont);
    }
  }
  SetClientSize(Scale(Width(), newTextHeight, kDesignTextHeight),
                Scale(Height(), newTextHeight, kDesignTextHeight));
}

void TForm::BoundsChanged() {
  TWinControl::BoundsChanged();
  RECT r{0, 0, Width(), Height()};
  AdjustWindowRectEx(&r, FormStyle(FBorderStyle), FALSE, FormExStyle(FBorderStyle));
  SetWindowPos(FWidget->Window, nullptr, 0, 0, r.right - r.left, r.bottom - r.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
}

void TForm::Show() {
  HWND wnd = FWidget->Window;
  if (!FWidget->Shown) {
    FWidget->Shown = true;
    RECT r;
    GetWindowRect(wnd, &r);
    const int w = r.right - r.left, h = r.bottom - r.top;
    SetWindowPos(wnd, nullptr, (GetSystemMetrics(SM_CXSCREEN) - w) / 2,
                 (GetSystemMetrics(SM_CYSCREEN) - h) / 2, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  ShowWindow(wnd, SW_SHOW);
  SetForegroundWindow(wnd);
  UpdateWindow(wnd);
}

bool TForm::Showing() const { return IsWindowVisible(FWidget->Window) != FALSE; }

// ---------------------------------------------------------------------------------------------
// Application, screen, message boxes

namespace {
TApplication g_Application;
TScreen g_Screen;
}  // namespace

TApplication* Application = &g_Application;
TScreen* Screen = &g_Screen;

TApplication::TApplication() : TComponent(nullptr) {}

void TApplication::Initialize() {
  toolkit_sync::NoteMainThread();
  toolkit_sync::SetErrorReporter(ReportThreadError);
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
}

namespace {

// Dispatches the waiting messages; false once the quit message has come.
bool DispatchWaiting() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) return false;
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  return true;
}

// A look at the message queue is a call into the window system (under wine, a round trip to its
// server process, which must get a processor). A download processes messages once per received
// block, thousands of times a second, so the look is taken only when a repaint has been asked for
// or the last look is a millisecond old: input still gets through within a millisecond.
bool QueueLookDue() {
  using Clock = std::chrono::steady_clock;
  static Clock::time_point last;
  const Clock::time_point now = Clock::now();
  const bool due = g_RepaintAsked || now - last >= std::chrono::milliseconds(1);
  if (due) {
    last = now;
    g_RepaintAsked = false;
  }
  return due;
}

}  // namespace

void TApplication::Run() {
  if (FMainForm && !FTerminated) FMainForm->Show();
  while (!FTerminated) {
    MsgWaitForMultipleObjectsEx(0, nullptr, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    if (!DispatchWaiting()) FTerminated = true;
  }
  while (ComponentCount() > 0) delete Components(ComponentCount() - 1);
  FMainForm = nullptr;
}

void TApplication::ProcessMessages() {
  if (QueueLookDue() && !DispatchWaiting()) FTerminated = true;
}

void TApplication::WaitMessage(int TimeoutMs) {
  const DWORD timeout = TimeoutMs < 0 ? INFINITE : static_cast<DWORD>(TimeoutMs);
  MsgWaitForMultipleObjectsEx(0, nullptr, timeout, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  if (!DispatchWaiting()) FTerminated = true;
}

std::string TApplication::ExeName() const {
  std::string path(MAX_PATH, '\0');
  for (;;) {
    const DWORD n = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

// ---------------------------------------------------------------------------------------------
// Hooks of the platform-neutral part

namespace toolkit_backend {

ControlState& StateOf(const TControl& Control) { return *Control.GetWidget(); }
void Repaint(TControl& Control) { Invalidate(&Control); }
void RepaintAround(TControl& Control) {
  Invalidate(Control.Parent() ? Control.Parent() : &Control);
}
void Placed(TControl& Control) { InvalidateForm(&Control); }
void LabelFontChanged(TLabel& Label) { ReplaceFont(Label.GetWidget(), Label.Font()); }

void MeasureCaption(const TLabel& Label, int& Width, int& Height) {
  const SIZE size = MeasureText(Label.GetWidget()->Font, Label.Caption());
  Width = size.cx;
  Height = size.cy;
}

void HideForm(TForm& Form) { ShowWindow(Form.GetWidget()->Window, SW_HIDE); }

void ShowMessageBox(const std::string& Text, const std::string& Caption, TMsgDlgType Type) {
  TForm* main = Application->MainForm();
  HWND owner = main && main->Showing() ? main->GetWidget()->Window : nullptr;
  ::MessageBoxA(owner, Text.c_str(), Caption.c_str(),
                MB_OK | (Type == mtError ? MB_ICONERROR : MB_ICONINFORMATION));
}

void ReportUnshown(const std::string& Text) { OutputDebugStringA(Text.c_str()); }

void ApplyScreenCursor(TCursor Value) { ::SetCursor(LoadCursorA(nullptr, CursorResource(Value))); }

}  // namespace toolkit_backend
