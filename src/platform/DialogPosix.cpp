#include "platform/Dialog.h"

namespace tovik::platform {

// No window system is assumed: dialogs run against DialogModel instead.
const bool kHasDialogWindows = false;

int RunModalDialog(void*, int, DialogHandler&) { return kIdCancel; }

}  // namespace tovik::platform
