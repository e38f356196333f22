// CWaitDlg: the configuration and waiting-for-slave dialog shown while an
// instance is created when CfgDlg is on.
#pragma once

class CTovik;

class CWaitDlg {
 public:
  explicit CWaitDlg(CTovik* owningPlugin) : owner(owningPlugin) {}
  virtual ~CWaitDlg() = default;

  // Runs the dialog modally; true when it ended with IDOK (a connection was
  // made). [main-thread]
  virtual bool show();

 protected:
  void* window = nullptr;
  CTovik* owner;
};
