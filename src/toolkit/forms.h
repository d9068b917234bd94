// The window toolkit: the application object, forms, pages, panels, labels, images, the gauge,
// timers, the screen cursor and message boxes. Texts are Windows-1250 bytes; the backend converts
// them for display. No backend type appears here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "toolkit/classes.h"

// Colour value: red in bits 0-7, green in bits 8-15, blue in bits 16-23.
using TColor = std::int32_t;
constexpr TColor clBlack = 0x000000;
constexpr TColor clWhite = 0xFFFFFF;
// The system's colours: button face, and the shadow and highlight of a bevel; for high contrast
// also the text on a face, a window's field and text, and a selection and its text.
constexpr TColor clBtnFace = -16777201;
constexpr TColor clBtnShadow = -16777200;
constexpr TColor clBtnHighlight = -16777196;
constexpr TColor clBtnText = -16777198;
constexpr TColor clWindow = -16777211;
constexpr TColor clWindowText = -16777208;
constexpr TColor clHighlight = -16777203;
constexpr TColor clHighlightText = -16777202;

enum TCursor { crDefault = 0, crHourGlass = -11, crHandPoint = -21 };

struct TFont {
  std::string Name = "Arial";
  int Height = 13;  // character height in pixels at 96 dpi
  bool Bold = false;
  int Charset = 238;  // Central European
  TColor Color = clBlack;
};

class TWinControl;

// A control placed on a parent at a position in pixels (96-dpi layout units).
class TControl : public TComponent {
 public:
  TControl(TComponent* AOwner, TWinControl* AParent);
  ~TControl() override;

  void SetBounds(int ALeft, int ATop, int AWidth, int AHeight);
  int Left() const { return FLeft; }
  int Top() const { return FTop; }
  int Width() const { return FWidth; }
  int Height() const { return FHeight; }
  void SetVisible(bool Value);
  bool Visible() const { return FVisible; }
  void SetCursor(TCursor Value);
  TCursor Cursor() const { return FCursor; }
  // Takes the keyboard focus: Tab and the arrow keys move it among such controls in reading
  // order, and Space or Enter on the focused one raise its OnClick.
  void SetTabStop(bool Value);
  bool TabStop() const { return FTabStop; }
  TWinControl* Parent() const { return FParent; }

  // Raised by a mouse click on the control.
  TNotifyEvent OnClick;

  // What the toolkit keeps for drawing the control (backend.h).
  struct Widget;
  Widget* GetWidget() const { return FWidget; }

 protected:
  // Called after a bounds change: children aligned to this control follow it, and its area is
  // repainted; a form's window takes the new size.
  virtual void BoundsChanged();
  Widget* FWidget = nullptr;

 private:
  friend class TWinControl;
  TWinControl* FParent;
  int FLeft = 0, FTop = 0, FWidth = 0, FHeight = 0;
  bool FVisible = true;
  TCursor FCursor = crDefault;
  bool FTabStop = false;
};

// A control that holds other controls.
class TWinControl : public TControl {
 public:
  TWinControl(TComponent* AOwner, TWinControl* AParent);
  ~TWinControl() override;  // children left to their owners lose their parent
  const std::vector<TControl*>& Controls() const { return FControls; }

 private:
  friend class TControl;
  std::vector<TControl*> FControls;
};

enum TBevelCut { bvNone, bvLowered, bvRaised };

// A panel filled with its own colour, with a bevel of BevelWidth pixels.
class TPanel : public TWinControl {
 public:
  TPanel(TComponent* AOwner, TWinControl* AParent);
  void SetColor(TColor Value);
  TColor Color() const { return FColor; }
  void SetBevel(TBevelCut Outer, int Width);
  // Fills the parent's client area.
  void AlignClient();

 private:
  TColor FColor = clBtnFace;
};

// A container showing one of its pages at a time, without tabs. Each page fills the notebook.
class TNotebook : public TWinControl {
 public:
  TNotebook(TComponent* AOwner, TWinControl* AParent);
  // Adds a page and returns it; pages are numbered from 0 in the order they are added.
  TWinControl* AddPage(const std::string& Name);
  void SetPageIndex(int Index);
  int PageIndex() const { return FPageIndex; }
  int PageCount() const { return static_cast<int>(FPages.size()); }

 private:
  std::vector<TWinControl*> FPages;
  int FPageIndex = -1;
};

// A text label. With AutoSize (the default) it takes the size of its text in its font.
class TLabel : public TControl {
 public:
  TLabel(TComponent* AOwner, TWinControl* AParent);
  void SetCaption(const std::string& Value);
  const std::string& Caption() const { return FCaption; }
  void SetFont(const TFont& Value);
  const TFont& Font() const { return FFont; }
  void SetAutoSize(bool Value);

 private:
  std::string FCaption;
  TFont FFont;
  bool FAutoSize = true;
};

// A picture. With AutoSize (the default) it takes the size of its picture.
class TImage : public TControl {
 public:
  TImage(TComponent* AOwner, TWinControl* AParent);
  // Decodes a baseline JPEG picture; raises Exception when the data is not one.
  void LoadJpeg(const unsigned char* Data, std::size_t Size);
  int PictureWidth() const { return FPictureWidth; }
  int PictureHeight() const { return FPictureHeight; }
  // Pixels as RGB triples, row by row.
  const std::vector<unsigned char>& Pixels() const { return FPixels; }
  // What a screen reader names the picture by; it is not painted.
  void SetAccessibleName(const std::string& Value);
  const std::string& AccessibleName() const { return FAccessibleName; }

 private:
  int FPictureWidth = 0, FPictureHeight = 0;
  std::vector<unsigned char> FPixels;
  std::string FAccessibleName;
};

// A horizontal progress gauge: black border, white field, a filled part from the left and the
// percentage centred, each text pixel inverted against what lies beneath.
class TGauge : public TControl {
 public:
  TGauge(TComponent* AOwner, TWinControl* AParent);
  // Refuses a maximum below the minimum with "Value must be between %d and %d".
  void SetMaxValue(int Value);
  void SetMinValue(int Value);
  void SetProgress(int Value);
  int MaxValue() const { return FMaxValue; }
  int MinValue() const { return FMinValue; }
  int Progress() const { return FProgress; }
  // (Progress - MinValue) * 100 / (MaxValue - MinValue), truncated; 0 when the range is empty.
  int PercentDone() const;
  void SetForeColor(TColor Value);
  void SetBackColor(TColor Value);
  TColor ForeColor() const { return FForeColor; }
  TColor BackColor() const { return FBackColor; }
  // Number of repaints requested because the shown percentage changed.
  long RepaintCount() const { return FRepaintCount; }

 private:
  void Changed(int OldPercent);
  int FMinValue = 0, FMaxValue = 100, FProgress = 0;
  TColor FForeColor = clBlack, FBackColor = clWhite;
  long FRepaintCount = 0;
};

// A timer ticking on the main thread every Interval milliseconds while it is enabled.
class TTimer : public TComponent {
 public:
  explicit TTimer(TComponent* AOwner);
  ~TTimer() override;
  void SetEnabled(bool Value);
  bool Enabled() const { return FEnabled; }
  void SetInterval(int Milliseconds);
  int Interval() const { return FInterval; }
  TNotifyEvent OnTimer;

  // The backend's own timer (see backend.h).
  struct Widget;

 private:
  void Rearm();
  bool FEnabled = true;
  int FInterval = 1000;
  Widget* FWidget = nullptr;
};

// Marker for the application manifest that selects the system's current visual style.
class TXPManifest : public TComponent {
 public:
  using TComponent::TComponent;
};

enum TFormBorderStyle { bsSizeable, bsDialog };

// A top-level window. Its client area is the parent of its controls.
class TForm : public TWinControl {
 public:
  explicit TForm(TComponent* AOwner);
  ~TForm() override;

  void SetCaption(const std::string& Value);
  const std::string& Caption() const { return FCaption; }
  void SetClientSize(int AWidth, int AHeight);
  int ClientWidth() const { return Width(); }
  int ClientHeight() const { return Height(); }
  void SetBorderStyle(TFormBorderStyle Value);
  void SetColor(TColor Value);
  TColor Color() const { return FColor; }
  void SetFont(const TFont& Value);
  const TFont& Font() const { return FFont; }
  // Sets the window icon from an XPM picture.
  void SetIcon(const char* const* Xpm);

  // Applies the layout scaling for the screen's resolution once the layout is complete.
  void Loaded();
  // The layout's scaling from 96 pixels per inch to Dpi: font heights by the ratio of the
  // resolutions, sizes and positions (of every control not aligned to its parent, and of the
  // client area) by the ratio of the form font's new text height to its text height of 16. The
  // text height follows the character height: 16 for the 13 of the design font. At a later
  // change of resolution the layout is scaled anew from the 96-dpi one, kept at the first call.
  void ScaleForResolution(int Dpi);
  // Raises OnCreate; a form's constructor calls it once its layout is loaded.
  void DoCreate();

  // The system's window of the form (a HWND on Windows), for the system's dialogs that belong
  // to it; there from the form's creation, shown or not.
  void* Handle() const;

  void Show();   // centred on the screen the first time
  void Close();  // hides the window; closing the main form ends the application's loop
  bool Showing() const;

  // The control that has the keyboard focus while the window has it: a shown control that takes
  // the focus, or none. It follows the pages: when it is hidden, the first shown one takes over.
  TControl* ActiveControl() const { return FActiveControl; }
  void SetActiveControl(TControl* Value);

  TNotifyEvent OnCreate;
  TNotifyEvent OnClose;

 protected:
  void BoundsChanged() override;

 private:
  std::string FCaption;
  TFont FFont;
  TColor FColor = clBtnFace;
  TFormBorderStyle FBorderStyle = bsSizeable;
  TControl* FActiveControl = nullptr;
};

enum TMsgDlgType { mtInformation, mtError };

class TApplication : public TComponent {
 public:
  TApplication();

  void Initialize();
  // Creates a form owned by the application; the first one becomes the main form.
  template <class T>
  void CreateForm(T*& Reference) {
    Reference = new T(this);
    if (!FMainForm) FMainForm = Reference;
  }
  // Shows the main form and handles messages until it closes, then destroys the forms.
  void Run();
  // Handles every message waiting, without blocking.
  void ProcessMessages();
  // Blocks until a message or a synchronised call is waiting or TimeoutMs has passed (-1:
  // forever), then handles what is waiting.
  void WaitMessage(int TimeoutMs = -1);
  // Ends the message loop of Run.
  void Terminate();
  bool Terminated() const { return FTerminated; }

  // The executable's full path, and the application title: its file name up to the first full
  // stop, first character unchanged and the rest in lower case.
  std::string ExeName() const;
  std::string Title() const;

  TForm* MainForm() const { return FMainForm; }
  void SetMainForm(TForm* Form) { FMainForm = Form; }

  // Shows an uncaught error in an error message box; called for errors escaping event handlers.
  void HandleException(const std::exception& E);
  // Runs an event handler, showing an escaping error through HandleException.
  void Dispatch(const std::function<void()>& Handler);

  // Shows a message box with an OK button titled with the application title. Tests may put a
  // presenter of their own in place of the real box.
  void MessageBox(const std::string& Text, TMsgDlgType Type);
  using TMessagePresenter =
      std::function<void(const std::string& Text, const std::string& Caption, TMsgDlgType Type)>;
  void SetMessagePresenter(TMessagePresenter Presenter) { FPresenter = std::move(Presenter); }

 private:
  TForm* FMainForm = nullptr;
  bool FTerminated = false;
  TMessagePresenter FPresenter;
};

class TScreen {
 public:
  void SetCursor(TCursor Value);
  TCursor Cursor() const { return FCursor; }

 private:
  TCursor FCursor = crDefault;
};

extern TApplication* Application;
extern TScreen* Screen;

// Shows Msg in an information message box with an OK button.
void ShowMessage(const std::string& Msg);

// The application title for an executable's path: its file name up to the first full stop, first
// character unchanged and the rest in lower case (MERONA.EXE gives Merona).
std::string TitleFromExeName(const std::string& Path);
