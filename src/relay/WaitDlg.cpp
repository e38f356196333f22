#include "relay/WaitDlg.h"

// The dialog window has not been built yet: with CfgDlg on, the constructor
// goes on as if the user had pressed Cancel at once (settings unchanged).
bool CWaitDlg::show() { return false; }
