// SPDX-License-Identifier: Apache-2.0
#include "rules/new_password_rules.h"

#include "rules/breached_corpus.h"
#include "rules/context_check.h"
#include "rules/pwquality_check.h"

namespace larkspur::rules {

Verdict check_new_password(const RuleSettings& settings, std::string_view user,
                           std::string_view old_password, std::string_view new_password) {
  if (settings.password_context) {
    switch (check_context(user, old_password, new_password)) {
      case ContextFault::kSameAsOld:
        return {Rule::kSameAsOld, {}, {}};
      case ContextFault::kHoldsUserName:
        return {Rule::kHoldsUserName, {}, {}};
      case ContextFault::kNone:
        break;
    }
  }
  if (!settings.breached_passwords.empty()) {
    platform::Result<std::uint64_t> count =
        breached_count(settings.breached_passwords, sha1_hex(new_password));
    if (!count) return {Rule::kUnchecked, {}, count.error()};
    if (count.value() >= static_cast<std::uint64_t>(settings.breached_min_count)) {
      return {Rule::kBreached, {}, {}};
    }
  }
  if (!settings.password_quality.empty()) {
    platform::Result<std::string> refusal =
        quality_refusal(settings.password_quality, user, old_password, new_password);
    if (!refusal) return {Rule::kUnchecked, {}, refusal.error()};
    if (!refusal.value().empty()) return {Rule::kQuality, std::move(refusal.value()), {}};
  }
  return {};
}

std::vector<std::string> files_read(const RuleSettings& settings) {
  std::vector<std::string> files;
  if (!settings.breached_passwords.empty()) files.push_back(settings.breached_passwords);
  if (!settings.password_quality.empty()) {
    files.push_back(settings.password_quality);
    // A configuration that cannot be read fails the change anyway.
    if (platform::Result<std::vector<std::string>> more =
            quality_files(settings.password_quality)) {
      files.insert(files.end(), more.value().begin(), more.value().end());
    }
  }
  return files;
}

}  // namespace larkspur::rules
