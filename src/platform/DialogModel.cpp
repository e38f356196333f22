#include "platform/DialogModel.h"

#include <cstdio>

namespace tovik::platform {

DialogModel::Control* DialogModel::Find(int id, bool create) {
  for (Control& c : controls_) {
    if (c.used && c.id == id) return &c;
  }
  if (!create) return nullptr;
  for (Control& c : controls_) {
    if (!c.used) {
      c.used = true;
      c.id = id;
      return &c;
    }
  }
  return nullptr;
}

const DialogModel::Control* DialogModel::Find(int id) const {
  for (const Control& c : controls_) {
    if (c.used && c.id == id) return &c;
  }
  return nullptr;
}

void DialogModel::Click(int id) {
  if (ended_) return;
  handler_->onCommand(id);
  Pump();
}

bool DialogModel::Pump() {
  while (!ended_ && postedCount_ > 0) {
    const int id = posted_[0];
    std::memmove(posted_, posted_ + 1, static_cast<size_t>(postedCount_ - 1) * sizeof(int));
    --postedCount_;
    handler_->onCommand(id);
  }
  return !ended_;
}

bool DialogModel::TimerRunning(int id) const {
  const Control* c = Find(-1000 - id);
  return c && c->timer;
}

const char* DialogModel::Text(int id) const {
  const Control* c = Find(id);
  return c ? c->text : "";
}

bool DialogModel::Checked(int id) const {
  const Control* c = Find(id);
  return c && c->checked;
}

void DialogModel::Range(int id, int* low, int* high) const {
  const Control* c = Find(id);
  *low = c ? c->low : 0;
  *high = c ? c->high : 0;
}

void DialogModel::SetText(int id, const char* text) {
  Control* c = Find(id, true);
  if (!c) return;
  std::snprintf(c->text, sizeof(c->text), "%s", text ? text : "");
  handler_->onNotify(kEnChange, id);  // as an edit control does
}

int DialogModel::GetText(int id, char* text, int maxChars) {
  if (!text || maxChars < 0) return 0;
  const Control* c = Find(id);
  const char* source = c ? c->text : "";
  int n = 0;
  for (; n < maxChars && source[n]; ++n) text[n] = source[n];
  text[n] = 0;
  return n;
}

void DialogModel::SetUnsigned(int id, unsigned value) {
  char text[16];
  std::snprintf(text, sizeof(text), "%u", value);
  SetText(id, text);
}

unsigned DialogModel::GetUnsigned(int id) {
  const Control* c = Find(id);
  if (!c) return 0;
  const char* p = c->text;
  while (*p == ' ') ++p;
  unsigned long long value = 0;
  bool digits = false;
  for (; *p >= '0' && *p <= '9'; ++p) {
    digits = true;
    value = value * 10 + static_cast<unsigned>(*p - '0');
    if (value > 0xFFFFFFFFull) return 0;  // does not fit: unreadable
  }
  if (!digits || *p) return 0;
  return static_cast<unsigned>(value);
}

void DialogModel::SetCheck(int id, bool checked) {
  if (Control* c = Find(id, true)) c->checked = checked;
}

bool DialogModel::GetCheck(int id) { return Checked(id); }

void DialogModel::SetRange(int id, int low, int high) {
  if (Control* c = Find(id, true)) {
    c->low = low;
    c->high = high;
  }
}

void DialogModel::PostCommand(int id) {
  if (postedCount_ < static_cast<int>(sizeof(posted_) / sizeof(posted_[0]))) posted_[postedCount_++] = id;
}

void DialogModel::End(int code) {
  if (ended_) return;
  ended_ = true;
  endCode_ = code;
}

void DialogModel::StartTimer(int id, unsigned) {
  if (Control* c = Find(-1000 - id, true)) c->timer = true;
}

void DialogModel::StopTimer(int id) {
  if (Control* c = Find(-1000 - id, true)) c->timer = false;
}

}  // namespace tovik::platform
