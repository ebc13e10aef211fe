// SPDX-License-Identifier: Apache-2.0
// What every page writer and the change transaction read: the settings and
// the request's environment and form, handed down from page_main rather
// than reached for deep inside.
#pragma once

#include <string>

#include "cgi/form.h"
#include "cgi/request_env.h"
#include "config/settings.h"

namespace larkspur::web {

struct Request {
  const config::Settings& settings;
  const cgi::RequestEnv& env;
  const cgi::FormEntries& form;

  // The configured [html] text, or its default.
  const std::string& text(config::Text which) const { return settings.text(which); }
};

}  // namespace larkspur::web
