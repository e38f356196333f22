// Modal dialogs: the platform runs the window and routes its messages to a
// DialogHandler, which reaches the controls through a DialogWindow.
// Windows: a real dialog from a template in the library's resources.
// POSIX: no window system is assumed; the dialog runs against DialogModel, an
// in-memory model of the controls (see RunModalDialog in DialogPosix.cpp).
#pragma once

namespace tovik::platform {

constexpr int kIdOk = 1;
constexpr int kIdCancel = 2;
constexpr int kEnChange = 0x0300;  // an edit control's text changed

class DialogWindow {
 public:
  virtual ~DialogWindow() = default;
  virtual void SetText(int id, const char* text) = 0;
  // Copies at most maxChars characters and a NUL; returns the characters copied.
  virtual int GetText(int id, char* text, int maxChars) = 0;
  virtual void SetUnsigned(int id, unsigned value) = 0;
  // The field read as an unsigned number; empty or unreadable text gives 0.
  virtual unsigned GetUnsigned(int id) = 0;
  virtual void SetCheck(int id, bool checked) = 0;
  virtual bool GetCheck(int id) = 0;
  // The range of an up-down control.
  virtual void SetRange(int id, int low, int high) = 0;
  virtual void PostCommand(int id) = 0;
  virtual void End(int code) = 0;
  virtual void StartTimer(int id, unsigned intervalMs) = 0;
  virtual void StopTimer(int id) = 0;
};

class DialogHandler {
 public:
  virtual ~DialogHandler() = default;
  virtual void onInitDialog(DialogWindow* window) = 0;
  virtual void onCommand(int id) = 0;
  virtual void onNotify(int code, int id) = 0;
  virtual void onTimer(int id) = 0;
};

// Whether this system shows dialog windows at all.
extern const bool kHasDialogWindows;

// Runs dialog templateId modally and returns its end code. [main-thread]
int RunModalDialog(void* moduleInstance, int templateId, DialogHandler& handler);

}  // namespace tovik::platform
