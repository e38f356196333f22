#include <windows.h>
#include <commctrl.h>

#include "platform/Dialog.h"

namespace tovik::platform {

const bool kHasDialogWindows = true;

namespace {

class Win32DialogWindow : public DialogWindow {
 public:
  explicit Win32DialogWindow(HWND window) : hwnd(window) {}
  void SetText(int id, const char* text) override { SetDlgItemTextA(hwnd, id, text); }
  int GetText(int id, char* text, int maxChars) override {
    return static_cast<int>(GetDlgItemTextA(hwnd, id, text, maxChars + 1));
  }
  void SetUnsigned(int id, unsigned value) override { SetDlgItemInt(hwnd, id, value, FALSE); }
  unsigned GetUnsigned(int id) override { return GetDlgItemInt(hwnd, id, nullptr, FALSE); }
  void SetCheck(int id, bool checked) override {
    SendDlgItemMessageA(hwnd, id, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
  }
  bool GetCheck(int id) override { return SendDlgItemMessageA(hwnd, id, BM_GETCHECK, 0, 0) == BST_CHECKED; }
  void SetRange(int id, int low, int high) override {
    SendDlgItemMessageA(hwnd, id, UDM_SETRANGE32, static_cast<WPARAM>(low), static_cast<LPARAM>(high));
  }
  void PostCommand(int id) override { PostMessageA(hwnd, WM_COMMAND, static_cast<WPARAM>(id), 0); }
  void End(int code) override { EndDialog(hwnd, code); }
  void StartTimer(int id, unsigned intervalMs) override { SetTimer(hwnd, static_cast<UINT_PTR>(id), intervalMs, nullptr); }
  void StopTimer(int id) override { KillTimer(hwnd, static_cast<UINT_PTR>(id)); }

  HWND hwnd;
};

struct DialogState {
  DialogHandler* handler;
  Win32DialogWindow* window;
};

INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* state = reinterpret_cast<DialogState*>(lParam);
    SetWindowLongPtrA(hwnd, DWLP_USER, static_cast<LONG_PTR>(lParam));
    state->window->hwnd = hwnd;
    state->handler->onInitDialog(state->window);
    return 0;
  }
  auto* state = reinterpret_cast<DialogState*>(GetWindowLongPtrA(hwnd, DWLP_USER));
  if (!state) return 0;
  switch (message) {
    case WM_COMMAND: {
      const int code = HIWORD(wParam);
      const int id = static_cast<short>(LOWORD(wParam));
      if (code == 0 || code == 1)
        state->handler->onCommand(id);
      else
        state->handler->onNotify(code, id);
      break;
    }
    case WM_TIMER:
      state->handler->onTimer(static_cast<int>(wParam));
      break;
    default:
      break;
  }
  return 0;
}

}  // namespace

int RunModalDialog(void* moduleInstance, int templateId, DialogHandler& handler) {
  HMODULE module = static_cast<HMODULE>(moduleInstance);
  if (!module) {
    // The library's own module, found from an address inside it.
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&DialogProc), &module);
  }
  INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_UPDOWN_CLASS};
  InitCommonControlsEx(&controls);
  Win32DialogWindow window(nullptr);
  DialogState state{&handler, &window};
  const INT_PTR result = DialogBoxParamA(module, MAKEINTRESOURCEA(templateId), GetActiveWindow(), DialogProc,
                                         reinterpret_cast<LPARAM>(&state));
  return static_cast<int>(result);
}

}  // namespace tovik::platform
