// SPDX-License-Identifier: Apache-2.0
// Drives the web front in-process: the response goes to a string, form
// fields and configuration are set directly, and the update lock lives in a
// private temporary directory.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>

#include "cgi/form.h"
#include "cgi/request_env.h"
#include "cgi/streams.h"
#include "config/ini_file.h"
#include "config/settings.h"
#include "log/activity_log.h"
#include "store/file_store.h"
#include "support/classic_page.h"
#include "support/process.h"
#include "web/pages.h"
#include "web/request.h"

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

  // The request as page_main hands it down, with the settings parsed from
  // the INI entries set so far.
  const web::Request& request() {
    request_.reset();
    parsed_ = config::parse_settings(config::ini_file());
    request_.emplace(web::Request{parsed_.settings, cgi::request_env(), cgi::form_entries()});
    return *request_;
  }

  // One change, against the AuthUserFile the settings name, as main wires it.
  void change_password() {
    const web::Request& rq = request();
    std::unique_ptr<store::UserStore> users;
    if (!rq.settings.auth_user_file.empty()) {
      users = std::make_unique<store::FileStore>(rq.settings.auth_user_file);
    }
    web::change_password(rq, users.get());
  }

  std::ostringstream out_;
  TempDir lock_dir_;

 private:
  std::optional<ScopedEnv> tmpdir_;  // the lock and uploads stay in lock_dir_
  config::ParsedSettings parsed_;
  std::optional<web::Request> request_;
};

}  // namespace larkspur::test
