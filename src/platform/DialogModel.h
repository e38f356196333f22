// An in-memory model of a dialog's controls, with the behaviour the dialog
// logic relies on: setting an edit control's text raises its change
// notification, posted commands are delivered in order, up-down controls hold
// a range. It never waits for input. Used on systems without a dialog window
// and by the tests to drive every control.
#pragma once

#include <cstring>

#include "platform/Dialog.h"

namespace tovik::platform {

class DialogModel : public DialogWindow {
 public:
  static constexpr int kMaxControls = 32;
  static constexpr int kTextSize = 512;

  explicit DialogModel(DialogHandler* handler) : handler_(handler) {}

  // Opens the dialog: the handler initialises the controls.
  void Open() { handler_->onInitDialog(this); }
  // What a user does: type into a field (replacing its text), click.
  void Type(int id, const char* text) { SetText(id, text); }
  void Click(int id);
  // Delivers posted commands; returns true while the dialog is open.
  bool Pump();
  bool Ended() const { return ended_; }
  int EndCode() const { return endCode_; }
  bool TimerRunning(int id) const;
  const char* Text(int id) const;
  bool Checked(int id) const;
  void Range(int id, int* low, int* high) const;

  void SetText(int id, const char* text) override;
  int GetText(int id, char* text, int maxChars) override;
  void SetUnsigned(int id, unsigned value) override;
  unsigned GetUnsigned(int id) override;
  void SetCheck(int id, bool checked) override;
  bool GetCheck(int id) override;
  void SetRange(int id, int low, int high) override;
  void PostCommand(int id) override;
  void End(int code) override;
  void StartTimer(int id, unsigned intervalMs) override;
  void StopTimer(int id) override;

 private:
  struct Control {
    int id = 0;
    bool used = false;
    char text[kTextSize] = {};
    bool checked = false;
    int low = 0, high = 0;
    bool timer = false;
  };
  Control* Find(int id, bool create);
  const Control* Find(int id) const;

  DialogHandler* handler_;
  Control controls_[kMaxControls];
  int posted_[16] = {};
  int postedCount_ = 0;
  bool ended_ = false;
  int endCode_ = 0;
};

}  // namespace tovik::platform
