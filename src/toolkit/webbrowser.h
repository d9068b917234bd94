// A hidden web request standing in for an embedded browser: Navigate requests the URL on a
// thread of its own and ignores the answer.
#pragma once

#include <memory>
#include <string>

#include "toolkit/forms.h"

class TWebBrowser : public TControl {
 public:
  TWebBrowser(TComponent* AOwner, TWinControl* AParent);
  // Waits, for a few seconds at most, until the request it started has been answered or failed,
  // so that the program does not end before the request has left the machine.
  ~TWebBrowser() override;

  // Starts a GET of URL through the system's proxy configuration and returns at once. Spaces are
  // percent-encoded on the wire, as a browser does. Raises Exception when the URL cannot be
  // navigated to (for example, an empty one); a request whose thread cannot be started fails
  // without a word, like one that finds no server.
  void Navigate(const std::wstring& URL);

  // Waits up to TimeoutMs for the last navigation to finish; true when it has.
  bool WaitForNavigation(int TimeoutMs);

 private:
  struct Request;
  std::shared_ptr<Request> FRequest;
};
