// SPDX-License-Identifier: Apache-2.0
// Each refusal has its own fixed log line, none ending like the lines the
// fail2ban filter takes for guesses: a weak new password is not an attack.
#include "web/rule_refusals.h"

#include "log/activity_log.h"
#include "platform/diagnose.h"
#include "rules/new_password_rules.h"
#include "web/text.h"

namespace larkspur::web {
namespace {

constexpr std::string_view kLoggedSameAsOld = ":new password is the old one";
constexpr std::string_view kLoggedHoldsName = ":new password holds the user name";
constexpr std::string_view kLoggedQuality = ":new password failed the quality check: ";
constexpr std::string_view kLoggedBreached = ":new password is a breached password";
constexpr std::string_view kLoggedUnchecked = ":change password failed";

}  // namespace

std::optional<Refusal> refuse_by_rules(const rules::RuleSettings& settings, std::string_view user,
                                       std::string_view old_password,
                                       std::string_view new_password) {
  if (!settings.any()) return std::nullopt;
  rules::Verdict verdict = rules::check_new_password(settings, user, old_password, new_password);
  const std::string logged = logging::escape_log_text(std::string(user));
  switch (verdict.rule) {
    case rules::Rule::kNone:
      return std::nullopt;
    case rules::Rule::kSameAsOld:
      return Refusal{page_text(html("password_same_as_old")), logged + std::string(kLoggedSameAsOld)};
    case rules::Rule::kHoldsUserName:
      return Refusal{page_text(html("password_holds_name")), logged + std::string(kLoggedHoldsName)};
    case rules::Rule::kQuality:
      return Refusal{page_text(html("password_too_weak")) + html_escape(verdict.reason),
                     logged + std::string(kLoggedQuality) +
                         logging::escape_log_text(verdict.reason)};
    case rules::Rule::kBreached:
      return Refusal{page_text(html("password_breached")), logged + std::string(kLoggedBreached)};
    case rules::Rule::kUnchecked:
      break;
  }
  const platform::Error& error = *verdict.error;
  platform::diagnose("cannot check the new password: " + error.subject + ": " + error.reason());
  return Refusal{html_escape(std::string(user)) + ":" + page_text(html("change_password_failed")),
                 logged + std::string(kLoggedUnchecked)};
}

std::string rules_in_force(const rules::RuleSettings& settings, int min_length) {
  if (!settings.any()) return {};
  std::string shown;
  if (min_length > 0) {
    shown = page_text(html("rules_min_length")) + std::to_string(min_length) +
            page_text(html("rules_characters"));
  }
  const auto add = [&shown](std::string text) {
    if (!shown.empty() && !text.empty()) shown += ' ';
    shown += text;
  };
  if (!settings.password_quality.empty() || !settings.breached_passwords.empty()) {
    add(page_text(html("rules_not_common")));
  }
  if (settings.password_context) add(page_text(html("rules_not_context")));
  return shown;
}

}  // namespace larkspur::web
