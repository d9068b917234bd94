// Win32 backend of the window toolkit: the hooks of backend.h over the Win32 API. A form is one
// top-level window; its controls have no windows of their own: the toolkit paints them into an
// off-screen bitmap (so nothing flickers and the panels keep their own colour whatever visual
// style is active), and the window hands clicks and cursor requests to the toolkit.
#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "toolkit/backend.h"
#include "toolkit/classes.h"
#include "toolkit/forms.h"
#include "toolkit/synchub.h"

using namespace toolkit_backend;

struct TTimer::Widget {
  UINT_PTR Id = 0;
};

namespace {

const char kFormClass[] = "ToolkitForm";
constexpr UINT kDpiChanged = 0x02E0;  // WM_DPICHANGED
constexpr int kIconResource = 1;

std::map<UINT_PTR, TTimer*> g_Timers;
HDC g_PaintDc = nullptr;  // the off-screen bitmap's, while a form is painted

COLORREF ToColorRef(TColor Color) {
  if (Color < 0) return GetSysColor(Color & 0xFF);
  return static_cast<COLORREF>(Color & 0xFFFFFF);
}

// Set when a repaint is asked for; ProcessMessages then looks at the message queue.
bool g_RepaintAsked = false;

// The font for Font, made once and kept: a form uses a handful.
HFONT FontHandle(const TFont& Font) {
  static std::map<std::tuple<std::string, int, bool, int>, HFONT> fonts;
  HFONT& handle = fonts[{Font.Name, Font.Height, Font.Bold, Font.Charset}];
  if (!handle) {
    handle =
        CreateFontA(-Font.Height, 0, 0, 0, Font.Bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE,
                    static_cast<DWORD>(Font.Charset), OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                    DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, Font.Name.c_str());
  }
  return handle;
}

HWND WindowOf(const TForm& Form) { return static_cast<HWND>(Form.GetWidget()->Window); }

// A function of user32 that older Windows lack (those of per-monitor resolutions came with
// Windows 10), looked up at run time; null where it is missing.
template <typename Function>
Function User32Function(const char* Name) {
  const HMODULE user32 = GetModuleHandleA("user32.dll");
  return reinterpret_cast<Function>(
      reinterpret_cast<void*>(user32 ? GetProcAddress(user32, Name) : nullptr));
}

// The resolution of the monitor the window is on, where the system tells it; else the screen's.
int DpiOf(HWND Wnd) {
  static const auto dpiForWindow = User32Function<UINT(WINAPI*)(HWND)>("GetDpiForWindow");
  const int dpi = dpiForWindow ? static_cast<int>(dpiForWindow(Wnd)) : 0;
  return dpi > 0 ? dpi : ScreenDpi();
}

// The window's frame at the resolution of its monitor, which decides the frame's size.
void AddFrame(HWND Wnd, RECT& Client) {
  const DWORD style = static_cast<DWORD>(GetWindowLongPtrA(Wnd, GWL_STYLE));
  const DWORD exStyle = static_cast<DWORD>(GetWindowLongPtrA(Wnd, GWL_EXSTYLE));
  static const auto adjustForDpi =
      User32Function<BOOL(WINAPI*)(RECT*, DWORD, BOOL, DWORD, UINT)>("AdjustWindowRectExForDpi");
  if (!adjustForDpi || !adjustForDpi(&Client, style, FALSE, exStyle, DpiOf(Wnd)))
    AdjustWindowRectEx(&Client, style, FALSE, exStyle);
}

// Puts the window in the middle of the monitor that holds the mouse pointer.
void CentreOnMouseMonitor(HWND Wnd) {
  POINT mouse{};
  GetCursorPos(&mouse);
  MONITORINFO monitor{};
  monitor.cbSize = sizeof monitor;
  GetMonitorInfoA(MonitorFromPoint(mouse, MONITOR_DEFAULTTOPRIMARY), &monitor);
  const RECT& area = monitor.rcMonitor;
  RECT r;
  GetWindowRect(Wnd, &r);
  const int w = r.right - r.left, h = r.bottom - r.top;
  SetWindowPos(Wnd, nullptr, area.left + (area.right - area.left - w) / 2,
               area.top + (area.bottom - area.top - h) / 2, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// Paints the form into an off-screen bitmap and copies the dirty part to the window.
void PaintWindow(TForm& Form, HDC Dc, const RECT& Dirty) {
  if (Form.Width() <= 0 || Form.Height() <= 0) return;
  HDC memory = CreateCompatibleDC(Dc);
  HBITMAP bitmap = CreateCompatibleBitmap(Dc, Form.Width(), Form.Height());
  HGDIOBJ oldBitmap = SelectObject(memory, bitmap);
  g_PaintDc = memory;
  PaintForm(Form);
  g_PaintDc = nullptr;
  BitBlt(Dc, Dirty.left, Dirty.top, Dirty.right - Dirty.left, Dirty.bottom - Dirty.top, memory,
         Dirty.left, Dirty.top, SRCCOPY);
  SelectObject(memory, oldBitmap);
  DeleteObject(bitmap);
  DeleteDC(memory);
}

LPCSTR CursorResource(TCursor Cursor) {
  if (Cursor == crHourGlass) return IDC_WAIT;
  return Cursor == crHandPoint ? IDC_HAND : IDC_ARROW;
}

LRESULT CALLBACK FormWindowProc(HWND Wnd, UINT Msg, WPARAM W, LPARAM L) {
  if (Msg == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTA*>(L);
    SetWindowLongPtrA(Wnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* form = reinterpret_cast<TForm*>(GetWindowLongPtrA(Wnd, GWLP_USERDATA));
  if (!form) return DefWindowProcA(Wnd, Msg, W, L);
  const int x = static_cast<short>(LOWORD(L)), y = static_cast<short>(HIWORD(L));
  switch (Msg) {
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(Wnd, &ps);
      PaintWindow(*form, dc, ps.rcPaint);
      EndPaint(Wnd, &ps);
      return 0;
    }
    case WM_LBUTTONDOWN:
      MouseDown(*form, x, y);
      return 0;
    case WM_LBUTTONUP:
      MouseUp(*form, x, y);
      return 0;
    case WM_SETCURSOR: {
      if (LOWORD(L) != HTCLIENT) break;
      POINT p;
      GetCursorPos(&p);
      ScreenToClient(Wnd, &p);
      ApplyScreenCursor(CursorAt(*form, p.x, p.y));
      return TRUE;
    }
    case WM_CLOSE:
      Application->Dispatch([form] { form->Close(); });
      return 0;
    case kDpiChanged: {
      // Moved to a monitor of another resolution, or the scale changed: the layout is scaled
      // anew, and the window goes where the system suggests, at the layout's own size.
      form->ScaleForResolution(HIWORD(W));
      const auto* suggested = reinterpret_cast<const RECT*>(L);
      SetWindowPos(Wnd, nullptr, suggested->left, suggested->top, 0, 0,
                   SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
      return 0;
    }
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
  if (it != g_Timers.end()) RunHandler(it->second->OnTimer, it->second);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TTimer: a thread timer, ticking until killed

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
// TForm, TApplication

void TForm::SetCaption(const std::string& Value) {
  FCaption = Value;
  // In UTF-16, so that every Czech letter shows whatever the system's code page; the window
  // procedure leaves the title to the system's.
  const std::wstring title = WideFrom1250(FCaption);
  DefWindowProcW(WindowOf(*this), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(title.c_str()));
}

void TForm::SetBorderStyle(TFormBorderStyle Value) {
  FBorderStyle = Value;
  SetWindowLongPtrA(WindowOf(*this), GWL_STYLE, static_cast<LONG_PTR>(FormStyle(Value)));
  SetWindowLongPtrA(WindowOf(*this), GWL_EXSTYLE, static_cast<LONG_PTR>(FormExStyle(Value)));
  FormResized(*this);
}

void TForm::SetIcon(const char* const*) {
  // The icon is the program's own icon resource, made from the same picture at build time.
  HINSTANCE instance = GetModuleHandleA(nullptr);
  auto load = [instance](int Size) {
    return reinterpret_cast<LPARAM>(LoadImageA(instance, MAKEINTRESOURCEA(kIconResource),
                                               IMAGE_ICON, Size, Size, LR_DEFAULTCOLOR));
  };
  if (const LPARAM big = load(GetSystemMetrics(SM_CXICON)))
    SendMessageA(WindowOf(*this), WM_SETICON, ICON_BIG, big);
  if (const LPARAM small = load(GetSystemMetrics(SM_CXSMICON)))
    SendMessageA(WindowOf(*this), WM_SETICON, ICON_SMALL, small);
}

void TForm::Show() {
  HWND wnd = WindowOf(*this);
  if (!FWidget->Centred) {
    FWidget->Centred = true;
    CentreOnMouseMonitor(wnd);
    // That monitor may have a resolution of its own: laid out for it, centred again.
    ScaleForResolution(DpiOf(wnd));
    CentreOnMouseMonitor(wnd);
  }
  ShowWindow(wnd, SW_SHOW);
  SetForegroundWindow(wnd);
  UpdateWindow(wnd);
}

bool TForm::Showing() const { return IsWindowVisible(WindowOf(*this)) != FALSE; }

void TApplication::Initialize() {
  toolkit_sync::NoteMainThread();
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

void TApplication::ProcessMessages() {
  if (QueueLookDue() && !DispatchWaiting()) FTerminated = true;
}

void TApplication::WaitMessage(int TimeoutMs) {
  const DWORD timeout = TimeoutMs < 0 ? INFINITE : static_cast<DWORD>(TimeoutMs);
  const toolkit_sync::BlockingWait waiting;
  MsgWaitForMultipleObjectsEx(0, nullptr, timeout, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  if (!DispatchWaiting()) FTerminated = true;
}

// ---------------------------------------------------------------------------------------------
// Hooks

namespace toolkit_backend {

void FillArea(const Rect& Area, TColor Color) {
  const RECT r{Area.Left, Area.Top, Area.Right, Area.Bottom};
  SetBkColor(g_PaintDc, ToColorRef(Color));
  ExtTextOutA(g_PaintDc, 0, 0, ETO_OPAQUE, &r, nullptr, 0, nullptr);
}

void PaintText(const TFont& Font, const std::string& Text, int X, int Y, const Rect& Clip,
               TColor Color) {
  const RECT r{Clip.Left, Clip.Top, Clip.Right, Clip.Bottom};
  HGDIOBJ old = SelectObject(g_PaintDc, FontHandle(Font));
  SetBkMode(g_PaintDc, TRANSPARENT);
  SetTextColor(g_PaintDc, ToColorRef(Color));
  ExtTextOutA(g_PaintDc, X, Y, ETO_CLIPPED, &r, Text.c_str(), static_cast<UINT>(Text.size()),
              nullptr);
  SelectObject(g_PaintDc, old);
}

void DrawPicture(const TImage& Image, const Rect& Area) {
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = Image.PictureWidth();
  info.bmiHeader.biHeight = Image.PictureHeight();  // positive: rows bottom-up
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  info.bmiHeader.biCompression = BI_RGB;
  // Drawn at another size (another resolution), the picture is smoothed; HALFTONE needs the
  // brush origin set after it.
  const bool scaled = Area.Right - Area.Left != Image.PictureWidth() ||
                      Area.Bottom - Area.Top != Image.PictureHeight();
  SetStretchBltMode(g_PaintDc, scaled ? HALFTONE : COLORONCOLOR);
  if (scaled) SetBrushOrgEx(g_PaintDc, 0, 0, nullptr);
  StretchDIBits(g_PaintDc, Area.Left, Area.Top, Area.Right - Area.Left, Area.Bottom - Area.Top, 0,
                0, Image.PictureWidth(), Image.PictureHeight(), Image.GetWidget()->Picture.data(),
                &info, DIB_RGB_COLORS, SRCCOPY);
}

void PushClip(const Rect& Area) {
  SaveDC(g_PaintDc);
  IntersectClipRect(g_PaintDc, Area.Left, Area.Top, Area.Right, Area.Bottom);
}

void PopClip() { RestoreDC(g_PaintDc, -1); }

void MeasureText(const TFont& Font, const std::string& Text, int& Width, int& Height) {
  SIZE size{0, 0};
  HDC dc = GetDC(nullptr);
  HGDIOBJ old = SelectObject(dc, FontHandle(Font));
  TEXTMETRICA metrics{};
  GetTextMetricsA(dc, &metrics);
  GetTextExtentPoint32A(dc, Text.c_str(), static_cast<int>(Text.size()), &size);
  SelectObject(dc, old);
  ReleaseDC(nullptr, dc);
  Width = size.cx;
  Height = metrics.tmHeight;
}

int ScreenDpi() {
  HDC dc = GetDC(nullptr);
  const int dpi = dc ? GetDeviceCaps(dc, LOGPIXELSY) : 0;
  if (dc) ReleaseDC(nullptr, dc);
  return dpi > 0 ? dpi : 96;
}

void InvalidateForm(TForm& Form, const Rect* Area) {
  if (!WindowOf(Form)) return;
  g_RepaintAsked = true;
  if (Area == nullptr) {
    InvalidateRect(WindowOf(Form), nullptr, FALSE);
    return;
  }
  const RECT r{Area->Left, Area->Top, Area->Right, Area->Bottom};
  InvalidateRect(WindowOf(Form), &r, FALSE);
}

void FormResized(TForm& Form) {
  if (!WindowOf(Form)) return;
  RECT r{0, 0, Form.Width(), Form.Height()};
  AddFrame(WindowOf(Form), r);
  SetWindowPos(WindowOf(Form), nullptr, 0, 0, r.right - r.left, r.bottom - r.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
}

// The picture as a device-independent bitmap: BGR rows bottom-up, 4-byte aligned.
void PictureLoaded(TImage& Image) {
  const int height = Image.PictureHeight();
  const std::size_t width = static_cast<std::size_t>(Image.PictureWidth());
  const std::size_t stride = (width * 3 + 3) & ~static_cast<std::size_t>(3);
  std::vector<unsigned char>& dib = Image.GetWidget()->Picture;
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

void CreateFormWindow(TForm& Form) {
  RegisterFormClass();
  Form.GetWidget()->Window =
      CreateWindowExA(FormExStyle(bsSizeable), kFormClass, "", FormStyle(bsSizeable), CW_USEDEFAULT,
                      CW_USEDEFAULT, 0, 0, nullptr, nullptr, GetModuleHandleA(nullptr), &Form);
  if (!Form.GetWidget()->Window) throw Exception("Error creating window");
}

void DestroyFormWindow(TForm& Form) {
  if (WindowOf(Form)) DestroyWindow(WindowOf(Form));
  Form.GetWidget()->Window = nullptr;
}

void HideForm(TForm& Form) { ShowWindow(WindowOf(Form), SW_HIDE); }

void ApplyScreenCursor(TCursor Value) { ::SetCursor(LoadCursorA(nullptr, CursorResource(Value))); }

void ShowMessageBox(const std::string& Text, const std::string& Caption, TMsgDlgType Type) {
  TForm* main = Application->MainForm();
  HWND owner = main && main->Showing() ? WindowOf(*main) : nullptr;
  ::MessageBoxA(owner, Text.c_str(), Caption.c_str(),
                MB_OK | (Type == mtError ? MB_ICONERROR : MB_ICONINFORMATION));
}

void ReportUnshown(const std::string& Text) { OutputDebugStringA(Text.c_str()); }

}  // namespace toolkit_backend
