#include <io.h>

#include <cstdio>

#include "Terminal.h"

namespace tovik::host {

bool StderrIsTerminal() {
  return _isatty(_fileno(stderr)) != 0;
}

}  // namespace tovik::host
