// Whether the X display that DISPLAY names answers (declared in test_support.h, whose toolkit
// names clash with Xlib's).
#include <X11/Xlib.h>

namespace testing_support {

bool DisplayAnswers() {
  ::Display* Connection = XOpenDisplay(nullptr);
  if (Connection == nullptr) return false;
  XCloseDisplay(Connection);
  return true;
}

}  // namespace testing_support
