// SPDX-License-Identifier: Apache-2.0
// Each refusal has its own fixed log line, none ending like the lines the
// fail2ban filter takes for guesses: a weak new password is not an attack.
#include "web/rule_refusals.h"

#include "log/activity_log.h"
#include "log/event_texts.h"
#include "platform/diagnose.h"
#include "rules/new_password_rules.h"
#include "web/text.h"

namespace larkspur::web {
std::optional<Refusal> refuse_by_rules(const Request& request, const rules::RuleSettings& settings,
                                       std::string_view user, std::string_view old_password,
                                       std::string_view new_password) {
  if (!settings.any()) return std::nullopt;
  rules::Verdict verdict = rules::check_new_password(settings, user, old_password, new_password);
  const std::string logged = logging::escape_log_text(std::string(user));
  switch (verdict.rule) {
    case rules::Rule::kNone:
      return std::nullopt;
    case rules::Rule::kSameAsOld:
      return Refusal{request.text(config::Text::password_same_as_old),
                     logged + std::string(logging::kEvents.same_as_old)};
    case rules::Rule::kHoldsUserName:
      return Refusal{request.text(config::Text::password_holds_name),
                     logged + std::string(logging::kEvents.holds_name)};
    case rules::Rule::kQuality:
      return Refusal{request.text(config::Text::password_too_weak) + html_escape(verdict.reason),
                     logged + std::string(logging::kEvents.too_weak) +
                         logging::escape_log_text(verdict.reason)};
    case rules::Rule::kBreached:
      return Refusal{request.text(config::Text::password_breached),
                     logged + std::string(logging::kEvents.breached)};
    case rules::Rule::kUnchecked:
      break;
  }
  const platform::Error& error = *verdict.error;
  platform::diagnose("cannot check the new password: " + error.subject + ": " + error.reason());
  return Refusal{
      html_escape(std::string(user)) + ":" + request.text(config::Text::change_password_failed),
      logged + std::string(logging::kEvents.change_failed)};
}

std::string rules_in_force(const Request& request, const rules::RuleSettings& settings,
                           int min_length) {
  if (!settings.any()) return {};
  std::string shown;
  if (min_length > 0) {
    shown = request.text(config::Text::rules_min_length) + std::to_string(min_length) +
            request.text(config::Text::rules_characters);
  }
  const auto add = [&shown](std::string text) {
    if (!shown.empty() && !text.empty()) shown += ' ';
    shown += text;
  };
  if (!settings.password_quality.empty() || !settings.breached_passwords.empty()) {
    add(request.text(config::Text::rules_not_common));
  }
  if (settings.password_context) add(request.text(config::Text::rules_not_context));
  return shown;
}

}  // namespace larkspur::web
