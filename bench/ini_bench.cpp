// SPDX-License-Identifier: Apache-2.0
// The INI file: parsing a full configuration and a very large one, and the
// lookups every page makes.
#include <benchmark/benchmark.h>

#include <string>

#include "config/ini_file.h"

namespace {

using larkspur::config::IniFile;

// Every key the program reads, with comments and blank lines, as an
// administrator would write it.
const std::string kFullConfig =
    "; Larkspur\n"
    "[path]\n"
    "auth_user_file = /srv/www/auth/users.htpasswd\n"
    "log_file = /srv/www/auth/larkspur.log   # one line per change\n"
    "\n"
    "[setup]\n"
    "password_min_length = 8\n"
    "\n"
    "[html]\n"
    "title = Change your password\n"
    "description = <p>Enter your user name and passwords.</p>\n"
    "your_name = your name\n"
    "old_password = your old password\n"
    "new_password1 = your new password\n"
    "new_password2 = confirm new password\n"
    "btn_change = Change\n"
    "btn_reset = Reset\n"
    "back = back\n"
    "enter_name = Please enter user name\n"
    "two_password_not_matched = Two new passwords are not matched\n"
    "password_must_greater = Password's length must greater than \n"
    "server_error = Server error\n"
    "old_password_error = old password is incorrect\n"
    "change_password_failed = change password failed\n"
    "change_password_ok = changed password successfully\n";

std::string large_config(int sections, int keys) {
  std::string text;
  for (int s = 0; s < sections; ++s) {
    text += "[section" + std::to_string(s) + "]\n";
    for (int k = 0; k < keys; ++k) {
      text += "key" + std::to_string(k) + " = value number " + std::to_string(k) + " // note\n";
    }
  }
  return text;
}

void BM_ParseFull(benchmark::State& state) {
  for (auto _ : state) {
    IniFile ini;
    if (!ini.parse(kFullConfig)) state.SkipWithError("nothing parsed");
    benchmark::DoNotOptimize(ini.entries.size());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kFullConfig.size()));
}

void BM_ParseLarge(benchmark::State& state) {
  const std::string text = large_config(100, static_cast<int>(state.range(0)));
  for (auto _ : state) {
    IniFile ini;
    if (!ini.parse(text)) state.SkipWithError("nothing parsed");
    benchmark::DoNotOptimize(ini.entries.size());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

// The lookups of one change request: the paths, the minimum and a page text.
void BM_Get(benchmark::State& state) {
  IniFile ini;
  ini.parse(kFullConfig);
  for (auto _ : state) {
    benchmark::DoNotOptimize(ini.get("path", "auth_user_file"));
    benchmark::DoNotOptimize(ini.get("path", "log_file"));
    benchmark::DoNotOptimize(ini.get("setup", "password_min_length"));
    benchmark::DoNotOptimize(ini.get("html", "change_password_ok"));
  }
}

BENCHMARK(BM_ParseFull)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ParseLarge)->Arg(100)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Get);

}  // namespace

BENCHMARK_MAIN();
