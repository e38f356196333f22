// CWaitDlg: the configuration and waiting-for-slave dialog (template 101),
// shown while an instance is created when CfgDlg is on. It edits host, port,
// channel counts and stereo pins, and its Connect button runs the handshake;
// the dialog ends with OK only after a successful connection.
#pragma once

#include "platform/Dialog.h"

class CTovik;

class CWaitDlg : public tovik::platform::DialogHandler {
 public:
  static constexpr int kTemplateId = 101;
  static constexpr int kIdInputs = 1002;
  static constexpr int kIdInputsSpin = 1003;
  static constexpr int kIdOutputs = 1004;
  static constexpr int kIdOutputsSpin = 1005;
  static constexpr int kIdHost = 1008;
  static constexpr int kIdConnect = 1009;
  static constexpr int kIdPort = 1010;
  static constexpr int kIdPortSpin = 1011;
  static constexpr int kIdStereoPins = 1012;
  static constexpr int kRetryTimer = 1;
  static constexpr unsigned kRetryIntervalMs = 2000;
  // While an attempt started by the retry timer is under way, this timer
  // carries it on; no tick keeps the dialog busy for more than about
  // kTickBudgetMs (a name typed anew is resolved on the tick, though).
  static constexpr int kStepTimer = 2;
  static constexpr unsigned kStepIntervalMs = 20;
  static constexpr int kTickBudgetMs = 100;
  // The Connect button waits this long for the attempt (the user asked for it).
  static constexpr int kConnectBudgetMs = 1300;

  explicit CWaitDlg(CTovik* owningPlugin) : owner(owningPlugin) {}
  ~CWaitDlg() override = default;

  // Runs the dialog modally; true when it ended with OK (1). Where there is
  // no dialog window, see runUnattended. [main-thread]
  virtual bool show();

  void onInitDialog(tovik::platform::DialogWindow* dialogWindow) override;
  void onCommand(int id) override;
  void onNotify(int code, int id) override;
  void onTimer(int id) override;

  // Without a dialog window: the fields are filled from the settings, the
  // environment variables TOVIK_HOST and TOVIK_PORT (when set) are typed into
  // the Host and Port fields, and the address they hold becomes the slave's.
  // A TOVIK_PORT that is not a number from 1 to 65535 is ignored with one
  // line on stderr. Nothing is connected (idle or process calls do that); the
  // dialog ends with Cancel. Never waits for input or the network.
  int runUnattended();

 private:
  // Takes the Host and Port fields as the slave's address.
  void takeAddress();
  // Ends the dialog with OK once the connection is made.
  void connected();

 protected:
  tovik::platform::DialogWindow* window = nullptr;
  CTovik* owner;
};
