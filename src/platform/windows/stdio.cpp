// SPDX-License-Identifier: Apache-2.0
// Windows: the C runtime opens files and the standard streams in text mode,
// which turns CR LF into LF and ends input at Ctrl-Z. Requests, pages and
// the files we read and write are bytes.
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>

#include "platform/platform.h"

namespace larkspur::platform {

void use_binary_io() noexcept {
  _fmode = _O_BINARY;
  ::_setmode(_fileno(stdin), _O_BINARY);
  ::_setmode(_fileno(stdout), _O_BINARY);
  ::_setmode(_fileno(stderr), _O_BINARY);
}

}  // namespace larkspur::platform
