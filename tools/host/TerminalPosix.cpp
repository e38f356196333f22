#include <unistd.h>

#include "Terminal.h"

namespace tovik::host {

bool StderrIsTerminal() {
  return isatty(STDERR_FILENO) != 0;
}

}  // namespace tovik::host
