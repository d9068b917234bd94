// Components with owners and the part of the thread class that needs nothing of the platform.
#include <algorithm>

#include "toolkit/backend.h"
#include "toolkit/classes.h"
#include "toolkit/synchub.h"

// ---------------------------------------------------------------------------------------------
// TComponent

TComponent::TComponent(TComponent* AOwner) : FOwner(AOwner) {
  if (FOwner) FOwner->FComponents.push_back(this);
}

TComponent::~TComponent() {
  // Each owned component takes itself off this list as it is destroyed.
  while (!FComponents.empty()) delete FComponents.back();
  if (FOwner) {
    auto& list = FOwner->FComponents;
    auto it = std::find(list.begin(), list.end(), this);
    if (it != list.end()) list.erase(it);
  }
}

// ---------------------------------------------------------------------------------------------
// TThread: the backend starts, ends and joins the thread; the rest is here.

TThread::TThread(bool CreateSuspended) {
  if (!CreateSuspended) Start();
}

bool TThread::IsMainThread() { return toolkit_sync::OnMainThread(); }

bool TThread::Terminated() const { return FTerminated.load() || toolkit_sync::Closed(); }

// A failed creation must call toolkit_sync::ThreadEnded.
void TThread::PrepareStart() {
  if (FStarted) throw Exception("Thread already started");
  FStarted = true;
  FEndCall = static_cast<bool>(OnTerminate);
  toolkit_sync::ThreadStarting();
}

void TThread::Synchronize(const std::function<void()>& Method) {
  if (IsMainThread()) {
    Method();
    return;
  }
  toolkit_sync::CallOnMainThread(Method);
}

void TThread::ThreadMain(TThread* Self) {
  try {
    Self->Execute();
  } catch (...) {
    // An error that escapes the thread's body ends the thread like a normal return.
  }
  if (Self->FEndCall) {
    Self->Synchronize([Self] {
      try {
        if (Self->OnTerminate) Self->OnTerminate(Self);
      } catch (const std::exception& e) {
        toolkit_sync::ReportError(e);
      } catch (...) {
        // Not ours to interpret; the thread still ends normally.
      }
    });
  }
  if (Self->FreeOnTerminate) {
    delete Self;
  } else {
    Self->FFinished.store(true);
    toolkit_backend::NoteThreadEnded();
  }
  toolkit_sync::ThreadEnded();
}
