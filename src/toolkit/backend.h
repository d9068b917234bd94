// What the platform-neutral parts of the toolkit (classes.cpp, forms.cpp) ask of the backend
// (-posix: FLTK and POSIX threads; -win32: the Win32 API). Internal to the toolkit.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "toolkit/forms.h"

namespace toolkit_backend {

// ---------------------------------------------------------------------------------------------
// Threads and the hand-off of synchronised calls

// Runs once, on the main thread, before any call is handed over: prepares the wake-up of its loop.
void InitMainThread();
// Identifies the calling thread.
std::uintptr_t CurrentThreadTag();
// False when the process may use one processor only: then nobody spins.
bool SeveralProcessorsAvailable();
// Gives the processor to another ready thread; used only where a thread that lost its processor
// in the middle of a few instructions holds up the caller.
void YieldThread();
// Gets the main thread to serve the waiting calls: its message loop, or TThread::WaitFor.
void WakeMainLoop();
// Takes back the wake-up of WakeMainLoop once the main loop serves the calls.
void AcknowledgeWake();
// A thread that does not free itself has ended: TThread::WaitFor on the main thread may wait.
void NoteThreadEnded();
// Sleeps while Word holds Value, for Limit at the most (microseconds::max(): no limit); it may
// return early. WakeSleeper wakes a thread sleeping on Word; it must not touch Word itself, which
// may be gone by then (a spurious wake-up of a later sleeper at that address is harmless).
void SleepWhile(std::atomic<std::uint32_t>& Word, std::uint32_t Value,
                std::chrono::microseconds Limit);
void WakeSleeper(std::atomic<std::uint32_t>& Word);

// ---------------------------------------------------------------------------------------------
// Controls and the application

// The part of a control's backend state that the platform-neutral code keeps; the backend's
// TControl::Widget derives from it.
struct ControlState {
  bool AlignClient = false;
  TBevelCut Bevel = bvNone;
  int BevelWidth = 0;
};
ControlState& StateOf(const TControl& Control);

// Asks for a repaint of the control's own area, or of the area around it (its parent's), for a
// control whose change may uncover what lies beneath it.
void Repaint(TControl& Control);
void RepaintAround(TControl& Control);
// The control's bounds or visibility have changed.
void Placed(TControl& Control);
// A label's font has changed; its text size in that font.
void LabelFontChanged(TLabel& Label);
void MeasureCaption(const TLabel& Label, int& Width, int& Height);
// An image has a new picture.
void PictureLoaded(TImage& Image);
// Hides the form's window.
void HideForm(TForm& Form);
// Shows a message box, or, where no box can be shown, writes the text where it can be seen.
void ShowMessageBox(const std::string& Text, const std::string& Caption, TMsgDlgType Type);
void ReportUnshown(const std::string& Text);
void ApplyScreenCursor(TCursor Value);

}  // namespace toolkit_backend
