// SPDX-License-Identifier: Apache-2.0
// The checks behind --check. Each asks the system the question a request
// would ask it, as the same user, without changing anything.
#include <string>
#include <string_view>

#include "cgi/request_env.h"
#include "config/settings.h"
#include "console/commands.h"
#include "store/dbd_settings.h"
#include "store/dbm_store.h"
#ifdef LARKSPUR_DBD
#include "store/sql_store.h"
#endif
#include "passwd/password_file.h"
#include "platform/ascii.h"
#include "platform/file_checks.h"
#include "rules/breached_corpus.h"
#include "rules/pwquality_check.h"
#include "rules/rule_settings.h"
#include "web/charset.h"
#include "web/password_rules.h"
#include "web/text.h"

namespace larkspur::console {
namespace {

class Report {
 public:
  explicit Report(std::ostream& out) : out_(out) {}

  // A line a store's own check wrote whole.
  void line(std::string_view text, bool failed) {
    out_ << text << '\n';
    failed_ = failed_ || failed;
  }

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

const config::ParsedSettings* check_ini(Report& report,
                                        const platform::Result<config::ParsedSettings>& loaded) {
  if (!loaded) {
    report.fail("INI file", loaded.error().subject, loaded.error().reason());
    return nullptr;
  }
  report.ok("INI file", config::config_file_shown());
  return &loaded.value();
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

void check_auth_user_file(Report& report, const config::Settings& settings);

// The store the settings name: a database, a DBM file or the AuthUserFile.
void check_store(Report& report, const config::Settings& settings) {
  const store::DbdSettings dbd = store::dbd_settings(settings);
  if (dbd.configured()) {
    const std::vector<std::string> problems = store::dbd_problems(dbd);
    for (const std::string& problem : problems) report.fail("dbd", "settings", problem);
    if (!problems.empty()) return;
#ifdef LARKSPUR_DBD
    for (const store::CheckLine& line : store::check_sql_store(dbd, config::config_file_shown())) {
      using Kind = store::CheckLine::Kind;
      if (line.kind == Kind::kOk) {
        report.ok(line.subject, line.detail);
      } else if (line.kind == Kind::kFail) {
        report.fail(line.subject, line.detail, line.reason);
      } else {
        report.line("warn " + line.subject + ' ' + line.detail + ": " + line.reason, false);
      }
    }
#endif
    return;
  }
  if (!settings.dbm_file.empty()) {
    const store::DbmCheck check = store::check_dbm_store(store::dbm_settings(settings));
    for (const std::string& line : check.lines) {
      report.line(line, !check.ok || line.starts_with("FAIL"));
    }
    return;
  }
  check_auth_user_file(report, settings);
}

void check_auth_user_file(Report& report, const config::Settings& settings) {
  const std::string& path = settings.auth_user_file;
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

void check_log_file(Report& report, const config::Settings& settings) {
  const std::string& path = settings.log_file;
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

const config::Problem* problem_of(const config::ParsedSettings& parsed, std::string_view key) {
  for (const config::Problem& problem : parsed.problems) {
    if (problem.key == key) return &problem;
  }
  return nullptr;
}

void check_min_length(Report& report, const config::ParsedSettings& parsed) {
  const std::string& text = parsed.as_written("setup", "password_min_length");
  if (text.empty()) {
    report.ok("password_min_length", "(none): no minimum");
    return;
  }
  const int value = parsed.settings.password_min_length;
  const std::size_t longest = web::longest_new_password(parsed.settings);
  if (const config::Problem* problem = problem_of(parsed, "password_min_length")) {
    report.fail("password_min_length", text, problem->why);
  } else if (static_cast<std::size_t>(value) > longest) {
    // A minimum above the longest password the change accepts refuses all.
    report.fail(
        "password_min_length", text,
        "no password can be that long; at most " + std::to_string(longest) + " bytes are accepted");
  } else {
    report.ok("password_min_length", text);
  }
}

// The scheme and cost every change will use; a fault fails every change.
void check_hash(Report& report, const config::ParsedSettings& parsed) {
  const config::Settings& settings = parsed.settings;
  const std::string& hash = settings.hash;
  std::string shown = hash.empty() ? "(none): md5" : hash;
  // A cost that is no number is told with the strict keys below.
  if (settings.hash_cost > 0) shown += ", hash_cost " + parsed.as_written("setup", "hash_cost");
  passwd::HashChoice choice;
  const std::string fault = web::configured_hash_choice(settings, choice);
  if (fault.empty()) {
    report.ok("hash", shown);
  } else {
    report.fail("hash", shown, fault);
  }
}

// The name goes into the page's META element as it stands.
void check_charset(Report& report, const config::ParsedSettings& parsed) {
  const config::Settings& settings = parsed.settings;
  const std::string& text = parsed.as_written("html", "charset");
  const std::string shown = text.empty() ? "(none): " + web::page_charset(settings) : text;
  for (char c : text) {
    const bool name_char = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.' || c == ':' ||
                           c == '+';
    if (!name_char) {
      report.fail("charset", text, "not the name of a character set");
      return;
    }
  }
  report.ok("charset", shown);
}

// Any other value silently gives the classic pages: a typo is worth a word.
void check_layout(Report& report, const config::ParsedSettings& parsed) {
  const std::string& text = parsed.as_written("html", "layout");
  if (text.empty()) {
    report.ok("layout", "(none): classic");
  } else if (platform::ascii_iequals(text, "classic") || platform::ascii_iequals(text, "modern")) {
    report.ok("layout", text);
  } else {
    report.fail("layout", text, "neither classic nor modern; the classic pages are shown");
  }
}

// The strict keys' problems that no check above tells.
void check_strict_keys(Report& report, const config::ParsedSettings& parsed) {
  for (const config::Problem& problem : parsed.problems) {
    if (!problem.strict) continue;
    report.fail(problem.key, problem.value.empty() ? "(secret)" : problem.value,
                problem.why + "; " + config::problem_consequence(problem));
  }
}

// The new-password rules: their keys, the pwquality configuration, and the
// breached-password list (readable, in order, how many lines).
void check_rules(Report& report, const config::Settings& all) {
  const rules::RuleSettings settings = rules::rule_settings(all);
  if (const std::string& path = settings.password_quality; !path.empty()) {
    if (platform::Result<std::vector<std::string>> files = rules::quality_files(path)) {
      report.ok("password_quality", path);
    } else {
      report.fail("password_quality", files.error().subject, files.error().reason());
    }
  }
  if (const std::string& path = settings.breached_passwords; !path.empty()) {
    const platform::Result<rules::CorpusSurvey> survey = rules::survey_corpus(path);
    if (!survey) {
      report.fail("breached_passwords", path, survey.error().reason());
    } else if (!survey.value().fault.empty()) {
      report.fail("breached_passwords", path, survey.value().fault);
    } else {
      const rules::CorpusSurvey& s = survey.value();
      report.ok("breached_passwords", path + (s.counted ? " (" : " (about ") +
                                          std::to_string(s.lines) +
                                          (s.lines == 1 ? " line, " : " lines, ") +
                                          (s.counted ? "sorted)" : "sorted where sampled)"));
    }
  }
}

}  // namespace

int check_configuration(std::ostream& out) {
  Report report(out);
  const platform::Result<config::ParsedSettings> loaded = config::load_settings(config::ini_file());
  if (const config::ParsedSettings* parsed = check_ini(report, loaded)) {
    const config::Settings& settings = parsed->settings;
    check_store(report, settings);
    check_log_file(report, settings);
    check_min_length(report, *parsed);
    check_hash(report, *parsed);
    check_charset(report, *parsed);
    check_layout(report, *parsed);
    check_rules(report, settings);
    check_strict_keys(report, *parsed);
  }
  out.flush();
  return report.failed() ? 1 : 0;
}

}  // namespace larkspur::console
