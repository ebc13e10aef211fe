// SPDX-License-Identifier: Apache-2.0
// Wires the console commands, the CGI gateway, the store and the pages. The
// console commands are decided first, from the command line alone. For a
// request the configuration is read next, so that the process can confine
// itself to the files it names before the first byte of the request is read.
#include <ctime>
#include <iostream>
#include <memory>
#include <new>

#include "cgi/gateway.h"
#include "config/settings.h"
#include "console/commands.h"
#include "log/activity_log.h"
#include "platform/confine.h"
#include "platform/diagnose.h"
#include "platform/platform.h"
#include "platform/posix_io.h"
#include "rules/new_password_rules.h"
#include "store/open_store.h"
#include "web/pages.h"

namespace {

using larkspur::config::ParsedSettings;

void confine_to_configured_files(const larkspur::config::Settings& settings) {
#ifndef LARKSPUR_UNCONFINED
  // The log's time stamps need the time zone, which is read now, once; the
  // log itself is opened now, so that no right over its path remains.
  ::tzset();
  larkspur::logging::keep_log_open(settings.log_file);
  const larkspur::store::StoreReach reach = larkspur::store::store_reach(settings);
  std::vector<std::string> read_only =
      larkspur::rules::files_read(larkspur::rules::rule_settings(settings));
  read_only.insert(read_only.end(), reach.read_only.begin(), reach.read_only.end());
  larkspur::platform::confine({
      .auth_user_file = larkspur::store::store_path(settings),
      .read_only = std::move(read_only),
      .database_client = reach.database_client,
      .tcp_port = reach.tcp_port,
  });
#else
  (void)settings;
#endif
}

// Says on the error log, now, what is wrong with the configuration: the
// request may be confined by the time a page is written.
void report_configuration(const larkspur::platform::Result<ParsedSettings>& loaded) {
  namespace config = larkspur::config;
  if (!loaded) {
    larkspur::platform::diagnose("cannot read the configuration file " + loaded.error().subject +
                                 ": " + loaded.error().reason());
    return;
  }
  for (const config::Problem& problem : loaded.value().problems) {
    if (problem.strict) {
      larkspur::platform::diagnose(config::problem_line(problem, config::config_file_shown()));
    }
  }
}

int serve_request() {
  namespace config = larkspur::config;
  // Read-only; page_main answers "Server error!" when it found nothing.
  const larkspur::platform::Result<ParsedSettings> loaded =
      config::load_settings(config::ini_file());
  report_configuration(loaded);
  const config::Settings* settings = loaded ? &loaded.value().settings : nullptr;
  std::unique_ptr<larkspur::store::UserStore> users;
  if (settings != nullptr) {
    users = larkspur::store::open_store(*settings);
    confine_to_configured_files(*settings);
  } else {
    confine_to_configured_files(config::parse_settings(config::IniFile{}).settings);
  }
  return larkspur::cgi::gateway_main(
      [&] { return larkspur::web::page_main(settings, users.get()); });
}

}  // namespace

int main(int argc, char** argv) {
  namespace console = larkspur::console;
  larkspur::platform::forbid_core_dumps();
  larkspur::platform::use_binary_io();
  larkspur::platform::set_invocation_name(argc > 0 && argv[0] ? argv[0] : "");
  const console::Command command = console::command(argc, argv);
  if (command != console::Command::none) return console::run(command, std::cout);
  try {
    return serve_request();
  } catch (const std::bad_alloc&) {
    return -1;
  }
}
