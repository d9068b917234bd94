// The test's own X connection (see e2e_support.h).
#include "e2e_support.h"
#include "x11_close.h"

// After the harness: Xlib's macros (Status, Bool, ...) would clash with its names.
#include <X11/Xlib.h>

#include <map>
#include <utility>

namespace e2e {

struct DisplayConnection::State {
  ::Display* Connection = nullptr;
  std::map<WindowId, std::pair<int, int>> Sizes;
  std::vector<Mapped> MappedSoFar;
};

DisplayConnection::DisplayConnection() : FState(std::make_unique<State>()) {
  FState->Connection = XOpenDisplay(nullptr);
  if (!FState->Connection) return;
  XSelectInput(FState->Connection, DefaultRootWindow(FState->Connection), SubstructureNotifyMask);
  XFlush(FState->Connection);
}

DisplayConnection::~DisplayConnection() {
  if (FState->Connection) XCloseDisplay(FState->Connection);
}

bool DisplayConnection::Open() const { return FState->Connection != nullptr; }

void DisplayConnection::RequestClose(WindowId W) {
  ::Display* D = FState->Connection;
  if (!D) return;
  SendDeleteWindow(D, W);
}

void DisplayConnection::FocusNothing() {
  ::Display* D = FState->Connection;
  if (!D) return;
  XSetInputFocus(D, None, RevertToNone, CurrentTime);
  XSync(D, False);
}

std::vector<DisplayConnection::Mapped> DisplayConnection::MappedWindows() {
  ::Display* D = FState->Connection;
  if (!D) return {};
  XSync(D, False);
  while (XPending(D) > 0) {
    XEvent Event;
    XNextEvent(D, &Event);
    if (Event.type == CreateNotify) {
      FState->Sizes[Event.xcreatewindow.window] = {Event.xcreatewindow.width,
                                                   Event.xcreatewindow.height};
    } else if (Event.type == MapNotify) {
      const auto Size = FState->Sizes[Event.xmap.window];
      FState->MappedSoFar.push_back({Event.xmap.window, Size.first, Size.second});
    }
  }
  return FState->MappedSoFar;
}

std::vector<WindowId> DisplayConnection::Ancestors(WindowId W) {
  std::vector<WindowId> Found;
  ::Display* D = FState->Connection;
  if (!D) return Found;
  for (::Window Current = W;;) {
    ::Window Root = 0, Parent = 0, *Children = nullptr;
    unsigned Count = 0;
    if (!XQueryTree(D, Current, &Root, &Parent, &Children, &Count)) break;
    if (Children) XFree(Children);
    if (Parent == 0 || Parent == Root) break;
    Found.push_back(Parent);
    Current = Parent;
  }
  return Found;
}

}  // namespace e2e
