// SPDX-License-Identifier: Apache-2.0
// --check asks POSIX questions (who may write a directory, whether a path
// is a link) that the Windows build cannot answer the same way yet, so it
// says so rather than reporting checks it did not make.
#include "web/config_check.h"

namespace larkspur::web {

int check_configuration(std::ostream& out) {
  out << "FAIL --check: not available in the Windows build\n";
  return 1;
}

}  // namespace larkspur::web
