// Editor hook of the base layer. The relay plug-in never attaches an editor;
// the editor opcodes then answer 0.
#pragma once

#include "frame/VstAbi.h"

class AEffEditor {
 public:
  virtual ~AEffEditor() = default;
  virtual bool getRect(ERect** rect) { return false; }
  virtual bool open(void* parentWindow) { return false; }
  virtual void close() {}
  virtual void idle() {}
  virtual bool onKeyDown(VstKeyCode& keyCode) { return false; }
  virtual bool onKeyUp(VstKeyCode& keyCode) { return false; }
  virtual bool setKnobMode(VstInt32 mode) { return false; }
};
