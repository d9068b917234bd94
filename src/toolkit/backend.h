// The backend contract of the window toolkit: what the platform-neutral parts (classes.cpp,
// forms.cpp) ask of a backend (-posix: FLTK and POSIX threads; -win32: the Win32 API). A backend
// supplies every hook below (none has a default: a backend with nothing to do for one defines it
// empty) and defines the class members listed at the end; nothing else. Internal to the toolkit.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "toolkit/forms.h"

// What the toolkit keeps of a control for drawing it; the backend adds nothing to it. A form's
// window and an image's picture in the backend's own layout are held here for the backend.
struct TControl::Widget {
  bool AlignClient = false;  // fills its parent, which sizes it
  TBevelCut Bevel = bvNone;
  int BevelWidth = 0;
  void* Window = nullptr;              // forms, standard controls: the backend's window
  bool Centred = false;                // forms: placed in the middle of the screen once
  std::vector<unsigned char> Picture;  // images: the pixels as the backend draws them
  // The 96-dpi layout (left, top, width, height; a label's or form's font height), kept from the
  // form's first scaling on: each change of resolution scales it anew.
  std::array<int, 4> DesignBounds{};
  int DesignFontHeight = 0;
  int Dpi = 96;  // forms: the resolution the layout is scaled for
};

namespace toolkit_backend {

// A rectangle in a form's client coordinates: Right and Bottom lie just outside it.
struct Rect {
  int Left, Top, Right, Bottom;
  bool Empty() const { return Right <= Left || Bottom <= Top; }
};

// ---------------------------------------------------------------------------------------------
// Threads and the hand-off of synchronised calls

// Runs once, on the main thread, before any call is handed over: prepares the wake-up of its loop.
void InitMainThread();
// Identifies the calling thread.
std::uintptr_t CurrentThreadTag();
// False when the process may use one processor only: then nobody spins.
bool SeveralProcessorsAvailable();
// The processor the calling thread runs on, or -1 when that is unknown; a waiter does not spin
// for a thread on its own processor, which cannot answer while it spins.
int CurrentProcessor();
// Moves the calling thread to a processor other than Cpu, where the system allows that.
void MoveOffProcessor(int Cpu);
// Asks the system to give the calling thread the processor soon after it wakes up, in shorter
// turns, without a larger share: for the threads that hand calls to each other.
void AskForShortTurns();
// Gets the main thread to serve the waiting calls: its message loop, or TThread::WaitFor.
void WakeMainLoop();
// Takes back the wake-up of WakeMainLoop once the main loop serves the calls.
void AcknowledgeWake();
// A thread that does not free itself has ended: TThread::WaitFor on the main thread may wait.
void NoteThreadEnded();
// Sleeps while Word holds Value, for Limit at the most (microseconds::max(): no limit); it may
// return early. False when the sleep ended because Limit ran out, not because it was woken or
// Word changed. WakeSleeper wakes a thread sleeping on Word; it must not touch Word itself, which
// may be gone by then (a spurious wake-up of a later sleeper at that address is harmless).
bool SleepWhile(std::atomic<std::uint32_t>& Word, std::uint32_t Value,
                std::chrono::microseconds Limit);
void WakeSleeper(std::atomic<std::uint32_t>& Word);

// ---------------------------------------------------------------------------------------------
// Drawing. The toolkit paints a form whole, control by control, from PaintForm (forms.cpp),
// which the backend calls when its window needs painting; these hooks are used only inside it.
// Colours may be system colours (negative TColor values); the backend resolves them.

void FillArea(const Rect& Area, TColor Color);
// Text in Font with its cell's top-left corner at X, Y, drawn only inside Clip.
void PaintText(const TFont& Font, const std::string& Text, int X, int Y, const Rect& Clip,
               TColor Color);
// The image's picture stretched over Area.
void DrawPicture(const TImage& Image, const Rect& Area);
// Restricts the drawing to Area within the current restriction, until the matching PopClip.
void PushClip(const Rect& Area);
void PopClip();

// ---------------------------------------------------------------------------------------------
// Fonts, the screen, the form's window

// Size of Text (Windows-1250) in Font; the height of one line for an empty text.
void MeasureText(const TFont& Font, const std::string& Text, int& Width, int& Height);
// The screen's resolution in pixels per inch; 96 where it cannot be known.
int ScreenDpi();
// Asks for a repaint of Area of the form's window (its whole client area when Area is null).
void InvalidateForm(TForm& Form, const Rect* Area);
// The form's client size has changed: the window follows, keeping its user from resizing it.
void FormResized(TForm& Form);
// An image has a new picture (Image.Pixels()); the backend may convert it into Widget::Picture.
void PictureLoaded(TImage& Image);
// Creates the form's window (hidden) into Widget::Window; destroys it.
void CreateFormWindow(TForm& Form);
void DestroyFormWindow(TForm& Form);
// Hides the form's window.
void HideForm(TForm& Form);
// Applies the screen cursor at once, over the main form's window.
void ApplyScreenCursor(TCursor Value);

// Whether the system asks for high contrast: then the toolkit paints panels, text, the gauge and
// the focus mark in system colours instead of the layout's own.
bool HighContrast();
// Whether the form's window (or a window within it) has the keyboard focus.
bool HoldsFocus(const TForm& Form);
// The form's active control has become Control (or none): a backend whose controls have windows
// of their own moves the system's focus to its window while the form's window is active.
void FocusControl(TForm& Form, TControl* Control);

// ---------------------------------------------------------------------------------------------
// Standard controls. A backend whose screen readers know only the system's own window classes
// (Win32) gives each control that has a role a child window of the standard class for it, which
// the toolkit still paints; the others (FLTK) define these hooks empty.

// The control's role, its window text, its place or its visibility has changed (the hook comes
// for every control inside a container that changed): the control's window follows, windows in
// reading order (ReadsBefore).
void ControlChanged(TControl& Control);
// The gauge's percentage has changed: its progress bar shows the same per cent.
void GaugeChanged(TGauge& Gauge);
// The control is being freed: its window goes.
void ControlFreed(TControl& Control);

// ---------------------------------------------------------------------------------------------
// Messages

// Shows a message box, or, where no box can be shown, writes the text where it can be seen.
void ShowMessageBox(const std::string& Text, const std::string& Caption, TMsgDlgType Type);
void ReportUnshown(const std::string& Text);

// ---------------------------------------------------------------------------------------------
// What the toolkit tells a backend about its controls

// The standard control a control stands for: text (labels), a push button (a control that takes
// the focus), a progress bar (the gauge), or none.
enum class ControlRole { kNone, kStaticText, kPushButton, kProgressBar };
ControlRole RoleOf(const TControl& Control);
// The text a screen reader reads for the control: a label's caption, an image's name.
const std::string& AccessibleText(const TControl& Control);
// The form the control lies on, or null.
TForm* FormOf(const TControl& Control);
// The control's area in its form's client coordinates.
Rect AreaOf(const TControl& Control);
// Whether the control and every container around it are visible.
bool ControlShowing(const TControl& Control);
// Reading order, which is also the focus order: top to bottom, then left to right.
bool ReadsBefore(const TControl& A, const TControl& B);

// ---------------------------------------------------------------------------------------------
// What the backend calls in the toolkit

// Paints the form's client area (the backend has set up drawing into its window).
void PaintForm(TForm& Form);
// The left mouse button went down or up at a point of the form's client area; an up over the
// control that took the down raises its OnClick.
void MouseDown(TForm& Form, int X, int Y);
void MouseUp(TForm& Form, int X, int Y);
// The cursor to show at a point of the form's client area.
TCursor CursorAt(TForm& Form, int X, int Y);
// A key went down in the form's window (a backend with a dialog manager of its own hands over
// only the keys that the manager leaves alone): Tab (Shift+Tab backwards) and the arrow keys move
// the focus among the shown controls that take it, Space and Enter click the focused one, and
// every other key does nothing.
enum class Key { kOther, kTab, kLeft, kRight, kUp, kDown, kSpace, kEnter };
void KeyDown(TForm& Form, Key Pressed, bool Shift);
// The keyboard focus has come to or left the form's window: the focus mark follows.
void FormFocusChanged(TForm& Form);
// Runs an event handler through TApplication::Dispatch on a copy of it, so that a handler that
// frees its sender (a timer in its own tick, a control in its own click) is not freed while it
// runs.
void RunHandler(const TNotifyEvent& Event, TObject* Sender);

}  // namespace toolkit_backend

// Class members each backend defines (declared in forms.h): TForm::SetCaption, SetBorderStyle,
// SetIcon, Show (centred on the screen the first time, see Widget::Centred), Showing;
// TTimer::TTimer, ~TTimer, Rearm, with the timer's own Widget, which calls RunHandler on each
// tick of an enabled timer and survives the timer freed by it; TApplication::Initialize,
// ProcessMessages and WaitMessage, which also serve the calls handed over by worker threads.
