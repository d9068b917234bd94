// Asks a window to close as its close button would: the WM_DELETE_WINDOW protocol message.
#pragma once

#include <X11/Xlib.h>

inline void SendDeleteWindow(::Display* D, Window W) {
  XEvent Event{};
  Event.xclient.type = ClientMessage;
  Event.xclient.window = W;
  Event.xclient.message_type = XInternAtom(D, "WM_PROTOCOLS", False);
  Event.xclient.format = 32;
  Event.xclient.data.l[0] = static_cast<long>(XInternAtom(D, "WM_DELETE_WINDOW", False));
  Event.xclient.data.l[1] = CurrentTime;
  XSendEvent(D, W, False, NoEventMask, &Event);
  XFlush(D);
}
