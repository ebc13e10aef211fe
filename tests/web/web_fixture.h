// SPDX-License-Identifier: Apache-2.0
// Drives the web front in-process: the response goes to a string, form
// fields and configuration are set directly, and the update lock lives in a
// private temporary directory.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <sstream>
#include <string>
#include <string_view>

#include "cgi/form.h"
#include "cgi/request_env.h"
#include "cgi/streams.h"
#include "config/ini_file.h"
#include "log/activity_log.h"
#include "support/classic_page.h"
#include "support/process.h"

namespace larkspur::test {

class WebTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tmpdir_.emplace("TMPDIR", lock_dir_.path().c_str());
    cgi::set_response_stream(&out_);
    cgi::form_free_all();
    config::ini_file().clear();
    cgi::request_env() = cgi::RequestEnv{};
    cgi::request_env().SCRIPT_NAME = "/cgi-bin/larkspur.cgi";
    cgi::request_env().REMOTE_ADDR = "10.0.0.5";
    cgi::request_env().REMOTE_USER = "webuser";
    logging::log_file_path().clear();
  }

  void TearDown() override {
    cgi::set_response_stream(nullptr);
    cgi::form_free_all();
    config::ini_file().clear();
    logging::log_file_path().clear();
    tmpdir_.reset();
  }

  static void set_ini(std::string_view section, std::string_view key, std::string_view value) {
    std::string entry(section);
    entry += config::IniFile::kJoiner;
    entry += key;
    config::ini_file().entries[entry] = std::string(value);
  }

  static void add_field(std::string_view name, std::string_view value) {
    cgi::FormEntry entry;
    entry.name = name;
    entry.value = value;
    entry.value_length = static_cast<std::int64_t>(value.size());
    cgi::form_entries().push_back(std::move(entry));
  }

  std::string output() const { return out_.str(); }

  std::ostringstream out_;
  TempDir lock_dir_;

 private:
  std::optional<ScopedEnv> tmpdir_;  // the lock and uploads stay in lock_dir_
};

}  // namespace larkspur::test
