// SPDX-License-Identifier: Apache-2.0
// The help text's example names two keys differently from the keys the
// program documents; administrators copy that example, so both work.
#pragma once

#include "config/ini_file.h"

namespace larkspur::config {

// Stores the value of each alias under its documented key when the file
// set the alias but not the key itself: [setup] pass_min_length for
// password_min_length, [html] please_enter_name for enter_name. May throw
// std::bad_alloc.
void apply_key_aliases(IniFile& ini);

}  // namespace larkspur::config
