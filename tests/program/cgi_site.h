// SPDX-License-Identifier: Apache-2.0
// A private site for running larkspur.cgi as the web server would: a working
// directory holding larkspur.cgi.ini, the AuthUserFile, its lock and the log,
// and a TMPDIR of its own for upload files.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "support/classic_page.h"
#include "support/process.h"

namespace larkspur::test {

inline std::string url_encode(std::string_view text) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '_' || c == '.') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

// The body the form's submit button sends, URL-encoded.
inline std::string change_body(std::string_view name, std::string_view old_password,
                               std::string_view new_password, std::string_view confirmation) {
  return "name=" + url_encode(name) + "&op=" + url_encode(old_password) +
         "&p1=" + url_encode(new_password) + "&p2=" + url_encode(confirmation) +
         "&chgpasswd=Change";
}

inline ProcessResult run_htpasswd(std::vector<std::string> args) {
  Command command;
  command.program = "/usr/bin/htpasswd";
  command.argv = std::move(args);
  return run_process(command);
}

// "user:hash" with a fresh Apache MD5 hash, made by htpasswd.
inline std::string htpasswd_line(const std::string& user, const std::string& password) {
  ProcessResult r = run_htpasswd({"htpasswd", "-nbm", user, password});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  return r.out.substr(0, r.out.find('\n'));
}

inline bool htpasswd_verifies(const std::string& file, const std::string& user,
                              const std::string& password) {
  return run_htpasswd({"htpasswd", "-vb", file, user, password}).exit_status == 0;
}

// htdbm -T type args... on a DBM file; passwords on its command line, as
// only a test may.
inline ProcessResult run_htdbm(const std::string& type, const std::vector<std::string>& args) {
  Command command;
  command.program = "/usr/bin/htdbm";
  command.argv = {"htdbm", "-T", type};
  command.argv.insert(command.argv.end(), args.begin(), args.end());
  return run_process(command);
}

class Site {
 public:
  std::string ini_file() const { return root_.file("larkspur.cgi.ini"); }
  std::string auth_file() const { return root_.file("htpasswd"); }
  std::string log_file() const { return root_.file("activity.log"); }
  const std::string& tmp_dir() const { return tmp_.path(); }
  const std::string& root() const { return root_.path(); }
  std::string file(const std::string& name) const { return root_.file(name); }

  void write_ini(const std::string& text) const { write_file(ini_file(), text); }

  // The request environment of the web server, plus `extra` ("NAME=value").
  std::vector<std::string> environment(const std::vector<std::string>& extra = {}) const {
    std::vector<std::string> env = {"SCRIPT_NAME=" + std::string(kScriptName),
                                    "REMOTE_ADDR=10.0.0.5", "REMOTE_USER=webuser",
                                    "GATEWAY_INTERFACE=CGI/1.1", "TMPDIR=" + tmp_.path()};
    for (const std::string& var : extra) {
      const std::string name = var.substr(0, var.find('=') + 1);
      std::erase_if(env, [&](const std::string& e) { return e.rfind(name, 0) == 0; });
      env.push_back(var);
    }
    return env;
  }

  Command command(std::vector<std::string> env, std::string stdin_data = {}) const {
    Command s;
    s.program = cgi_binary();
    s.env = std::move(env);
    s.stdin_data = std::move(stdin_data);
    s.cwd = root_.path();
    return s;
  }

  // The program run by hand in the site's directory: no CGI variables.
  Command console(const std::string& argument) const {
    Command c = command({"TMPDIR=" + tmp_.path()});
    c.argv = {cgi_binary(), argument};
    return c;
  }

  ProcessResult get(const std::string& query = "", std::vector<std::string> extra = {}) const {
    extra.push_back("REQUEST_METHOD=GET");
    if (!query.empty()) extra.push_back("QUERY_STRING=" + query);
    return run_process(command(environment(extra)));
  }

  Command post_spec(const std::string& body, std::vector<std::string> extra = {}) const {
    extra.push_back("REQUEST_METHOD=POST");
    extra.push_back("CONTENT_TYPE=application/x-www-form-urlencoded");
    extra.push_back("CONTENT_LENGTH=" + std::to_string(body.size()));
    return command(environment(extra), body);
  }

  ProcessResult post(const std::string& body, std::vector<std::string> extra = {}) const {
    return run_process(post_spec(body, std::move(extra)));
  }

 private:
  TempDir root_;
  TempDir tmp_;
};

}  // namespace larkspur::test
