// SPDX-License-Identifier: Apache-2.0
// The checks behind --check. Each asks the system the question a request
// would ask it, as the same user, without changing anything.
#include "web/config_check.h"

#include <string>
#include <string_view>

#include "config/ini_file.h"
#include "passwd/password_file.h"
#include "platform/ascii.h"
#include "platform/file_checks.h"
#include "web/charset.h"
#include "web/password_rules.h"
#include "web/text.h"

namespace larkspur::web {
namespace {

class Report {
 public:
  explicit Report(std::ostream& out) : out_(out) {}

  void ok(std::string_view subject, std::string_view detail) {
    out_ << "ok   " << subject << ' ' << detail << '\n';
  }
  void fail(std::string_view subject, std::string_view detail, std::string_view reason) {
    out_ << "FAIL " << subject << ' ' << detail << ": " << reason << '\n';
    failed_ = true;
  }
  bool failed() const { return failed_; }

 private:
  std::ostream& out_;
  bool failed_ = false;
};

using platform::FileKind;

bool check_ini(Report& report, config::IniFile& ini) {
  if (const platform::Status loaded = config::load_config(ini); !loaded) {
    report.fail("INI file", config::config_file_shown(), loaded.error().reason());
    return false;
  }
  report.ok("INI file", config::config_file_shown());
  return true;
}

void check_auth_file_itself(Report& report, const std::string& path) {
  const platform::Result<FileKind> found = platform::file_kind(path, false);
  if (!found) {
    report.fail("auth_user_file", path, found.error().reason());
    return;
  }
  const FileKind kind = found.value();
  if (kind == FileKind::kLink) {
    report.fail("auth_user_file", path,
                "is a symbolic link; a change would put a file in its place, name the file itself");
    return;
  }
  if (kind != FileKind::kRegular) {
    report.fail("auth_user_file", path, "not a regular file");
    return;
  }
  passwd::PasswordFile file;
  if (const platform::Status loaded = file.load(path); !loaded) {
    report.fail("auth_user_file", path, loaded.error().reason());
    return;
  }
  std::size_t users = 0;
  file.for_each_record([&users](const passwd::PasswordRecord&) { ++users; });
  if (users == 0) {
    report.fail("auth_user_file", path, "holds no user:hash line");
    return;
  }
  report.ok("auth_user_file",
            path + " (" + std::to_string(users) + (users == 1 ? " user)" : " users)"));
}

void check_auth_user_file(Report& report, const config::IniFile& ini) {
  const std::string path = ini.get("path", "auth_user_file");
  if (path.empty()) {
    report.fail("auth_user_file", "(none)", "not set in [path]: every change would fail");
    return;
  }
  check_auth_file_itself(report, path);
  // The temporary file of the rewrite and the lock are made beside it.
  const std::string dir = platform::directory_of(path);
  if (const platform::Status writable = platform::check_directory_writable(dir); !writable) {
    report.fail("auth_user_file directory", dir,
                "a change cannot create its temporary file there: " + writable.error().reason());
  } else {
    report.ok("auth_user_file directory", dir + " (writable)");
  }
}

void check_log_file(Report& report, const config::IniFile& ini) {
  const std::string path = ini.get("path", "log_file");
  if (path.empty()) {
    report.ok("log_file", "(none): nothing is logged");
    return;
  }
  const platform::Result<FileKind> found = platform::file_kind(path, false);
  if (!found) {
    if (found.error().step != platform::Step::kMissing) {
      report.fail("log_file", path, found.error().reason());
      return;
    }
    const std::string dir = platform::directory_of(path);
    if (const platform::Status writable = platform::check_directory_writable(dir); !writable) {
      report.fail(
          "log_file", path,
          "does not exist and cannot be created in " + dir + ": " + writable.error().reason());
    } else {
      report.ok("log_file", path + " (will be created)");
    }
    return;
  }
  const FileKind kind = found.value();
  if (kind == FileKind::kLink) {
    report.fail("log_file", path, "is a symbolic link, which is never written; name the file");
    return;
  }
  if (kind != FileKind::kRegular) {
    report.fail("log_file", path, "not a regular file");
    return;
  }
  if (const platform::Status appendable = platform::check_appendable(path); !appendable) {
    report.fail("log_file", path, "cannot be appended to: " + appendable.error().reason());
    return;
  }
  report.ok("log_file", path + " (appendable)");
}

// Digits after an optional '+', however many.
bool is_whole_number(std::string_view text) {
  if (text.starts_with('+')) text.remove_prefix(1);
  const platform::ParsedInteger parsed =
      platform::parse_integer(text, platform::IntegerForm::kDigits);
  return parsed.digits && parsed.end == text.size();
}

void check_min_length(Report& report, const config::IniFile& ini) {
  const std::string text = ini.get("setup", "password_min_length");
  if (text.empty()) {
    report.ok("password_min_length", "(none): no minimum");
    return;
  }
  const int value = parse_min_length(text);
  if (!is_whole_number(text)) {
    report.fail("password_min_length", text,
                "not a whole number; it is read as " + std::to_string(value));
  } else if (static_cast<std::size_t>(value) > longest_new_password()) {
    // A minimum above the longest password the change accepts refuses all.
    report.fail("password_min_length", text,
                "no password can be that long; at most " +
                    std::to_string(longest_new_password()) + " bytes are accepted");
  } else {
    report.ok("password_min_length", text);
  }
}

// The scheme and cost every change will use; a fault fails every change.
void check_hash(Report& report, const config::IniFile& ini) {
  const std::string hash = ini.get("setup", "hash");
  const std::string cost = ini.get("setup", "hash_cost");
  std::string shown = hash.empty() ? "(none): md5" : hash;
  if (!cost.empty()) shown += ", hash_cost " + cost;
  passwd::HashChoice choice;
  const std::string fault = configured_hash_choice(choice);
  if (fault.empty()) {
    report.ok("hash", shown);
  } else {
    report.fail("hash", shown, fault);
  }
}

// The name goes into the page's META element as it stands.
void check_charset(Report& report, const config::IniFile& ini) {
  const std::string text = ini.get("html", "charset");
  const std::string shown = text.empty() ? "(none): " + page_charset() : text;
  for (char c : text) {
    const bool name_char = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.' ||
                           c == ':' || c == '+';
    if (!name_char) {
      report.fail("charset", text, "not the name of a character set");
      return;
    }
  }
  report.ok("charset", shown);
}

// Any other value silently gives the classic pages: a typo is worth a word.
void check_layout(Report& report, const config::IniFile& ini) {
  const std::string text = ini.get("html", "layout");
  if (text.empty()) {
    report.ok("layout", "(none): classic");
  } else if (platform::ascii_iequals(text, "classic") || platform::ascii_iequals(text, "modern")) {
    report.ok("layout", text);
  } else {
    report.fail("layout", text, "neither classic nor modern; the classic pages are shown");
  }
}

}  // namespace

int check_configuration(std::ostream& out) {
  Report report(out);
  config::IniFile& ini = config::ini_file();
  if (check_ini(report, ini)) {
    check_auth_user_file(report, ini);
    check_log_file(report, ini);
    check_min_length(report, ini);
    check_hash(report, ini);
    check_charset(report, ini);
    check_layout(report, ini);
  }
  out.flush();
  return report.failed() ? 1 : 0;
}

}  // namespace larkspur::web
