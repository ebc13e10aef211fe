// SPDX-License-Identifier: Apache-2.0
// larkspur.cgi --check: what a request would find, checked from a console.
#pragma once

#include <ostream>

namespace larkspur::web {

// Reads the INI file as a request would and checks, as the user running it,
// everything a change needs: the AuthUserFile, its directory, the log and
// the values of the settings. Writes one line per check, "ok ..." or
// "FAIL ...: reason", and returns 0 only when every check passed, else 1.
int check_configuration(std::ostream& out);

}  // namespace larkspur::web
