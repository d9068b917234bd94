// Win32 backend of the window toolkit: the hooks of backend.h over the Win32 API. A form is one
// top-level window; the toolkit paints it whole into an off-screen bitmap (so nothing flickers and
// the panels keep their own colour whatever visual style is active), and the window hands clicks
// and cursor requests to the toolkit. Labels, focusable images and the gauge also have child
// windows of the standard classes (see "Standard controls") for the keyboard and screen readers.
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

// Paints the form into an off-screen bitmap and copies the dirty part to the window, or to a child
// window whose top-left corner lies at Origin of the form's client area.
void PaintWindow(TForm& Form, HDC Dc, const RECT& Dirty, POINT Origin = {0, 0}) {
  if (Form.Width() <= 0 || Form.Height() <= 0) return;
  HDC memory = CreateCompatibleDC(Dc);
  HBITMAP bitmap = CreateCompatibleBitmap(Dc, Form.Width(), Form.Height());
  HGDIOBJ oldBitmap = SelectObject(memory, bitmap);
  g_PaintDc = memory;
  PaintForm(Form);
  g_PaintDc = nullptr;
  BitBlt(Dc, Dirty.left, Dirty.top, Dirty.right - Dirty.left, Dirty.bottom - Dirty.top, memory,
         Dirty.left + Origin.x, Dirty.top + Origin.y, SRCCOPY);
  SelectObject(memory, oldBitmap);
  DeleteObject(bitmap);
  DeleteDC(memory);
}

LPCSTR CursorResource(TCursor Cursor) {
  if (Cursor == crHourGlass) return IDC_WAIT;
  return Cursor == crHandPoint ? IDC_HAND : IDC_ARROW;
}

bool HandleControlMessage(TForm& Form, HWND Wnd, UINT Msg, WPARAM W, LPARAM L, LRESULT& Result);

LRESULT CALLBACK FormWindowProc(HWND Wnd, UINT Msg, WPARAM W, LPARAM L) {
  if (Msg == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTA*>(L);
    SetWindowLongPtrA(Wnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* form = reinterpret_cast<TForm*>(GetWindowLongPtrA(Wnd, GWLP_USERDATA));
  if (!form) return DefWindowProcA(Wnd, Msg, W, L);
  if (LRESULT result = 0; HandleControlMessage(*form, Wnd, Msg, W, L, result)) return result;
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

// Keys for a form go through the dialog manager first: Tab and Shift+Tab move the focus, Enter
// clicks the focused button (DM_GETDEFID below); it dispatches what it takes itself.
bool IsDialogKey(MSG& Msg) {
  if (Msg.message < WM_KEYFIRST || Msg.message > WM_KEYLAST || !Msg.hwnd) return false;
  HWND root = GetAncestor(Msg.hwnd, GA_ROOT);
  char name[sizeof kFormClass + 1] = {};
  if (!root || !GetClassNameA(root, name, sizeof name) || lstrcmpA(name, kFormClass) != 0)
    return false;
  return IsDialogMessageA(root, &Msg) != FALSE;
}

// Dispatches the waiting messages; false once the quit message has come.
bool DispatchWaiting() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) return false;
    if (IsDialogKey(msg)) continue;
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

// ---------------------------------------------------------------------------------------------
// Standard controls. Each control with a role has a child window of the system's class for it
// (Static, an owner-drawn Button, msctls_progress32), so that the dialog manager moves the focus
// among them and the system's accessibility proxies read their texts and the progress. The
// toolkit still paints them: the form's own paint covers its children (it does not clip them) and
// their paints copy the same pixels, so the windows change nothing on the screen. The mouse passes
// through them to the form, where the toolkit hit-tests.

namespace {

// Above the dialog manager's own command identifiers (IDOK, IDCANCEL, ...), which it sends for
// Enter and Escape.
constexpr int kFirstControlId = 1000;

// Windows-1250 text as UTF-16 with its terminating null.
std::vector<wchar_t> Wide(const std::string& Cp1250) {
  const int size = static_cast<int>(Cp1250.size());
  std::vector<wchar_t> wide(static_cast<std::size_t>(size) + 1, L'\0');
  const int n = MultiByteToWideChar(1250, 0, Cp1250.data(), size, wide.data(), size);
  wide.resize(static_cast<std::size_t>(std::max(n, 0)) + 1);
  wide.back() = L'\0';
  return wide;
}

std::vector<wchar_t> WindowText(HWND Wnd) {
  std::vector<wchar_t> text(static_cast<std::size_t>(GetWindowTextLengthW(Wnd)) + 1, L'\0');
  const int n = GetWindowTextW(Wnd, text.data(), static_cast<int>(text.size()));
  text.resize(static_cast<std::size_t>(std::max(n, 0)) + 1);
  text.back() = L'\0';
  return text;
}

HWND ChildOf(const TControl& Control) { return static_cast<HWND>(Control.GetWidget()->Window); }

// The control whose window Child is, when it is one of Form's.
TControl* ControlOfChild(HWND Form, HWND Child) {
  if (!Child || GetParent(Child) != Form) return nullptr;
  return reinterpret_cast<TControl*>(GetWindowLongPtrW(Child, GWLP_USERDATA));
}

void PaintChild(HWND Child, HDC Dc, const RECT& Dirty) {
  HWND parent = GetParent(Child);
  TControl* control = ControlOfChild(parent, Child);
  TForm* form = control ? FormOf(*control) : nullptr;
  if (!form) return;
  POINT origin{0, 0};
  MapWindowPoints(Child, parent, &origin, 1);
  PaintWindow(*form, Dc, Dirty, origin);
}

Key ArrowKey(WPARAM Code) {
  switch (Code) {
    case VK_LEFT:
      return Key::kLeft;
    case VK_RIGHT:
      return Key::kRight;
    case VK_UP:
      return Key::kUp;
    case VK_DOWN:
      return Key::kDown;
    default:
      return Key::kOther;
  }
}

LRESULT CALLBACK ChildProc(HWND Wnd, UINT Msg, WPARAM W, LPARAM L, UINT_PTR, DWORD_PTR) {
  TControl* control = ControlOfChild(GetParent(Wnd), Wnd);
  TForm* form = control ? FormOf(*control) : nullptr;
  switch (Msg) {
    case WM_NCHITTEST:
      return HTTRANSPARENT;
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(Wnd, &ps);
      PaintChild(Wnd, dc, ps.rcPaint);
      EndPaint(Wnd, &ps);
      return 0;
    }
    case WM_PRINTCLIENT: {
      RECT r;
      GetClientRect(Wnd, &r);
      PaintChild(Wnd, reinterpret_cast<HDC>(W), r);
      return 0;
    }
    case WM_SETTEXT:
    case WM_ENABLE:
    case WM_UPDATEUISTATE: {
      // A static paints itself at once on these, in the system's way: the window keeps its text
      // for the screen reader, and the pixels come from the toolkit.
      const LRESULT result = DefWindowProcW(Wnd, Msg, W, L);
      InvalidateRect(Wnd, nullptr, FALSE);
      return result;
    }
    case WM_GETDLGCODE:
      // The arrow keys come to the button, which hands them to the toolkit.
      return DefSubclassProc(Wnd, Msg, W, L) | DLGC_WANTARROWS;
    case WM_KEYDOWN:
      if (form && ArrowKey(W) != Key::kOther) {
        KeyDown(*form, ArrowKey(W), false);
        return 0;
      }
      break;
    case WM_SETFOCUS:
      if (form) {
        if (control->TabStop()) form->SetActiveControl(control);
        FormFocusChanged(*form);
      }
      break;
    case WM_KILLFOCUS:
      if (form) FormFocusChanged(*form);
      break;
    default:
      break;
  }
  return DefSubclassProc(Wnd, Msg, W, L);
}

HWND CreateChild(TControl& Control, ControlRole Role, HWND Parent) {
  static int nextId = kFirstControlId;
  const wchar_t* className = PROGRESS_CLASSW;
  DWORD style = WS_CHILD;
  if (Role == ControlRole::kStaticText) {
    className = L"Static";
    style |= SS_LEFT | SS_NOPREFIX;
  } else if (Role == ControlRole::kPushButton) {
    className = L"Button";
    style |= BS_OWNERDRAW | WS_TABSTOP;
  }
  HWND child = CreateWindowExW(0, className, L"", style, 0, 0, 0, 0, Parent,
                               reinterpret_cast<HMENU>(static_cast<INT_PTR>(nextId++)),
                               GetModuleHandleW(nullptr), nullptr);
  if (!child) return nullptr;
  SetWindowLongPtrW(child, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&Control));
  SetWindowSubclass(child, ChildProc, 0, 0);
  if (auto* gauge = dynamic_cast<TGauge*>(&Control)) {
    SendMessageW(child, PBM_SETRANGE32, 0, 100);
    SendMessageW(child, PBM_SETPOS, static_cast<WPARAM>(gauge->PercentDone()), 0);
  }
  Control.GetWidget()->Window = child;
  return child;
}

// The window after which Control's window belongs: windows run in reading order, which is also
// the dialog manager's tab order.
HWND InsertAfter(const TControl& Control, HWND Child, HWND Parent) {
  HWND after = HWND_TOP;
  for (HWND w = GetWindow(Parent, GW_CHILD); w; w = GetWindow(w, GW_HWNDNEXT)) {
    const TControl* other = w == Child ? nullptr : ControlOfChild(Parent, w);
    if (other && ReadsBefore(*other, Control)) after = w;
  }
  return after;
}

// The form's side of its children: their clicks, Enter and the arrows of the dialog manager,
// owner-drawn buttons, the focus, and a change of the system's colours.
bool HandleControlMessage(TForm& Form, HWND Wnd, UINT Msg, WPARAM W, LPARAM L, LRESULT& Result) {
  switch (Msg) {
    case WM_COMMAND: {
      TControl* control = ControlOfChild(Wnd, reinterpret_cast<HWND>(L));
      if (HIWORD(W) == BN_CLICKED && control && RoleOf(*control) == ControlRole::kPushButton &&
          ControlShowing(*control))
        RunHandler(control->OnClick, control);
      return true;
    }
    case DM_GETDEFID: {
      // Enter clicks the focused button, as the default one.
      HWND focus = GetFocus();
      TControl* control = ControlOfChild(Wnd, focus);
      if (control && RoleOf(*control) == ControlRole::kPushButton)
        Result = MAKELRESULT(GetDlgCtrlID(focus), DC_HASDEFID);
      return true;
    }
    case WM_NEXTDLGCTL: {
      HWND next = L ? reinterpret_cast<HWND>(W) : GetNextDlgTabItem(Wnd, GetFocus(), W != 0);
      TControl* control = ControlOfChild(Wnd, next);
      if (control && control->TabStop() && ControlShowing(*control)) SetFocus(next);
      return true;
    }
    case WM_DRAWITEM: {
      const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(L);
      PaintChild(item->hwndItem, item->hDC, item->rcItem);
      Result = TRUE;
      return true;
    }
    case WM_ACTIVATE:
      // As a dialog does: the focus goes back to the active control, not to the form's window.
      if (LOWORD(W) == WA_INACTIVE) return false;
      FocusControl(Form, Form.ActiveControl());
      return true;
    case WM_SETFOCUS:
      if (TControl* active = Form.ActiveControl(); active && ChildOf(*active))
        SetFocus(ChildOf(*active));
      FormFocusChanged(Form);
      return true;
    case WM_KILLFOCUS:
      FormFocusChanged(Form);
      return true;
    case WM_SYSCOLORCHANGE:
    case WM_SETTINGCHANGE:
      InvalidateRect(Wnd, nullptr, FALSE);
      return false;
    default:
      return false;
  }
}

}  // namespace

namespace toolkit_backend {

bool HighContrast() {
  HIGHCONTRASTW contrast{};
  contrast.cbSize = sizeof contrast;
  return SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof contrast, &contrast, 0) &&
         (contrast.dwFlags & HCF_HIGHCONTRASTON);
}

bool HoldsFocus(const TForm& Form) {
  HWND focus = GetFocus();
  return focus && (focus == WindowOf(Form) || IsChild(WindowOf(Form), focus));
}

void FocusControl(TForm& Form, TControl* Control) {
  HWND form = WindowOf(Form);
  // Only within the active window: SetFocus would activate an inactive one.
  if (!form || GetActiveWindow() != form) return;
  HWND target = Control && ChildOf(*Control) ? ChildOf(*Control) : form;
  if (GetFocus() != target) SetFocus(target);
}

void ControlChanged(TControl& Control) {
  const ControlRole role = RoleOf(Control);
  TForm* form = FormOf(Control);
  HWND child = ChildOf(Control);
  if (role == ControlRole::kNone || !form || !WindowOf(*form)) {
    ControlFreed(Control);
    return;
  }
  if (!child) child = CreateChild(Control, role, WindowOf(*form));
  if (!child) return;
  const std::vector<wchar_t> text = Wide(AccessibleText(Control));
  if (WindowText(child) != text) SetWindowTextW(child, text.data());
  const Rect area = AreaOf(Control);
  SetWindowPos(child, InsertAfter(Control, child, WindowOf(*form)), area.Left, area.Top,
               area.Right - area.Left, area.Bottom - area.Top,
               SWP_NOACTIVATE | (ControlShowing(Control) ? SWP_SHOWWINDOW : SWP_HIDEWINDOW));
}

void GaugeChanged(TGauge& Gauge) {
  if (HWND child = ChildOf(Gauge))
    SendMessageW(child, PBM_SETPOS, static_cast<WPARAM>(Gauge.PercentDone()), 0);
}

void ControlFreed(TControl& Control) {
  HWND child = ChildOf(Control);
  if (!child) return;
  Control.GetWidget()->Window = nullptr;
  DestroyWindow(child);
}

}  // namespace toolkit_backend
