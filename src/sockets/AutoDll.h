// CAutoDll: the owner of one library loaded at run time.
#pragma once

#include <cstdint>

#include "platform/DynamicLibrary.h"

class CAutoDll {
 public:
  CAutoDll() = default;
  CAutoDll(const CAutoDll&) = delete;
  CAutoDll& operator=(const CAutoDll&) = delete;

  // Frees the library if one is held.
  virtual ~CAutoDll();

  // Frees what is held (through Unload, so a derived class clears its own
  // state too), then loads the named library; flags 0 is a plain load, other
  // values are the system's extended load flags. A missing library shows no
  // system message. Returns whether a library is now held. [main-thread]
  virtual bool Load(const char* fileName, uint32_t flags);

  // Frees the library if one is held; afterwards nothing is held.
  virtual void Unload();

  // Takes over an already loaded library. False, changing nothing, when a
  // library is already held; otherwise stores the handle and returns whether
  // it is non-null.
  virtual bool Attach(tovik::platform::ModuleHandle handle);

  // Forgets the held library without freeing it. False when nothing is held.
  virtual bool Detach();

  // The address of an exported name in the held library, or null when
  // nothing is held or the name is not exported. [any-thread]
  tovik::platform::ProcAddress GetProc(const char* name) const;

  tovik::platform::ModuleHandle Module() const { return module; }
  uint32_t LoadFlags() const { return loadFlags; }

 protected:
  tovik::platform::ModuleHandle module = nullptr;
  uint32_t loadFlags = 0;  // the flags of the last load
};
