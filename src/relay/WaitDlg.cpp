#include "relay/WaitDlg.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/DialogModel.h"
#include "platform/TextParse.h"
#include "relay/Factory.h"
#include "relay/Tovik.h"

using tovik::platform::kEnChange;
using tovik::platform::kIdCancel;
using tovik::platform::kIdOk;

bool CWaitDlg::show() {
  const int code = tovik::platform::kHasDialogWindows
                       ? tovik::platform::RunModalDialog(moduleInstance, kTemplateId, *this)
                       : runUnattended();
  return code == kIdOk;
}

// A host loading a project creates every instance before it hands over the
// instance's chunk (which names its own slave), so creation connects to
// nothing: the run takes the address and idle or process calls connect.
int CWaitDlg::runUnattended() {
  tovik::platform::DialogModel model(this);
  model.Open();
  const char* host = std::getenv("TOVIK_HOST");
  if (host && *host) model.Type(kIdHost, host);
  if (const char* port = std::getenv("TOVIK_PORT")) {
    const char* end = port + std::strlen(port);
    const tovik::text::ParsedInteger number = tovik::text::ParseInteger(port, end);
    if (number.exact && number.next == end && number.value >= 1 && number.value <= 65535) {
      model.SetUnsigned(kIdPort, static_cast<unsigned>(number.value));
    } else {
      std::fprintf(stderr, "Tovik: ignoring TOVIK_PORT=\"%.64s\": not a port number (1..65535)\n", port);
    }
  }
  takeAddress();
  model.Click(kIdCancel);  // no connection was made
  return model.EndCode();
}

void CWaitDlg::onInitDialog(tovik::platform::DialogWindow* dialogWindow) {
  window = dialogWindow;
  window->SetText(kIdHost, owner->Host);
  // Setting these texts raises their change notifications, which bring the
  // counts into their ranges at once.
  window->SetUnsigned(kIdPort, static_cast<unsigned>(owner->Port));
  window->SetUnsigned(kIdInputs, static_cast<unsigned>(owner->NumInputs));
  window->SetUnsigned(kIdOutputs, static_cast<unsigned>(owner->NumOutputs));
  window->SetCheck(kIdStereoPins, owner->StereoPins);
  window->SetRange(kIdPortSpin, 0, 65535);
  window->SetRange(kIdInputsSpin, 0, CTovik::kMaxChannels);
  window->SetRange(kIdOutputsSpin, 1, CTovik::kMaxChannels);
  // Connect on our own as soon as the slave appears.
  window->StartTimer(kRetryTimer, kRetryIntervalMs);
}

void CWaitDlg::onNotify(int code, int id) {
  if (code != kEnChange || !window) return;
  const unsigned value = window->GetUnsigned(id);  // empty or unreadable gives 0
  switch (id) {
    case kIdInputs:
      owner->NumInputs = value > CTovik::kMaxChannels ? CTovik::kMaxChannels : static_cast<VstInt32>(value);
      break;
    case kIdOutputs:
      owner->NumOutputs =
          value < 1 ? 1
                    : (value > CTovik::kMaxChannels ? CTovik::kMaxChannels : static_cast<VstInt32>(value));
      break;
    case kIdPort:
      // Stored as typed (the resolver refuses a port outside 1..65535).
      owner->setSlaveAddress(owner->Host, static_cast<VstInt32>(value));
      break;
    default:
      break;
  }
}

void CWaitDlg::onCommand(int id) {
  if (!window) return;
  switch (id) {
    case kIdOk:
      owner->StereoPins = window->GetCheck(kIdStereoPins);
      window->StopTimer(kRetryTimer);
      window->StopTimer(kStepTimer);
      window->End(kIdOk);
      break;
    case kIdCancel:
      window->StopTimer(kRetryTimer);
      window->StopTimer(kStepTimer);
      window->End(kIdCancel);
      break;
    case kIdConnect:
      takeAddress();
      if (owner->connectToSlave(kConnectBudgetMs)) connected();
      break;
    default:
      break;
  }
}

void CWaitDlg::takeAddress() {
  char text[512];
  window->GetText(kIdHost, text, 511);
  text[511] = 0;
  owner->setSlaveAddress(text, static_cast<VstInt32>(window->GetUnsigned(kIdPort)));
}

void CWaitDlg::connected() {
  window->StopTimer(kRetryTimer);
  window->StopTimer(kStepTimer);
  window->PostCommand(kIdOk);
}

// Each tick connects to what the fields hold now, and never waits longer than
// kTickBudgetMs: an attempt still under way is carried on by the step timer.
void CWaitDlg::onTimer(int id) {
  if (!window || (id != kRetryTimer && id != kStepTimer)) return;
  if (id == kRetryTimer) takeAddress();
  if (owner->connectToSlave(kTickBudgetMs)) return connected();
  if (owner->attemptUnderWay()) {
    window->StartTimer(kStepTimer, kStepIntervalMs);
  } else {
    window->StopTimer(kStepTimer);
  }
}
