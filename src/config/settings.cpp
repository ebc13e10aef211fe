// SPDX-License-Identifier: Apache-2.0
#include "config/settings.h"

#include <charconv>

#include "platform/ascii.h"

namespace larkspur::config {
namespace {

// Digits only, within the range; anything else is not a value of the key.
bool strict_number(std::string_view text, long long min, long long max, long long& out) {
  const platform::ParsedInteger parsed =
      platform::parse_integer(text, platform::IntegerForm::kDigits);
  if (!parsed.whole(text) || parsed.value < min || parsed.value > max) return false;
  out = parsed.value;
  return true;
}

// Digits after an optional '+', however many.
bool plain_number(std::string_view text) {
  if (text.starts_with('+')) text.remove_prefix(1);
  const platform::ParsedInteger parsed =
      platform::parse_integer(text, platform::IntegerForm::kDigits);
  return parsed.digits && parsed.end == text.size();
}

std::string range_text(const SettingRow& row) {
  return "not a whole number from " + std::to_string(row.min) + " to " + std::to_string(row.max);
}

void read_row(const SettingRow& row, const IniFile& ini, ParsedSettings& out) {
  std::string value = ini.get(row.section, row.key);
  // The documented key wins when both are set.
  if (value.empty() && !row.alias.empty()) value = ini.get(row.section, row.alias);
  out.written.push_back(value);
  Settings& s = out.settings;
  switch (row.reading) {
    case Reading::kText: {
      // A page shows the default text; a path or a scheme stays as written,
      // empty when unset, for its reader to say what that means.
      if (row.html != Text::count_) {
        s.texts[static_cast<std::size_t>(row.html)] =
            value.empty() ? std::string(row.fallback) : std::move(value);
      } else {
        s.*row.text_field = std::move(value);
      }
      return;
    }
    case Reading::kAtoi: {
      s.*row.number_field = read_like_atoi(value);
      if (!value.empty() && !plain_number(value)) {
        out.problems.push_back(
            {row.section, row.key, value,
             "not a whole number; it is read as " + std::to_string(s.*row.number_field), false});
      }
      return;
    }
    case Reading::kYesNo: {
      const bool yes = platform::ascii_iequals(value, "yes");
      const bool no = platform::ascii_iequals(value, "no");
      s.*row.flag_field = row.fallback == "yes";
      if (yes || no) {
        s.*row.flag_field = yes;
      } else if (!value.empty()) {
        out.problems.push_back({row.section, row.key, value, "neither yes nor no", true});
      }
      return;
    }
    case Reading::kNumber: {
      long long number = 0;
      if (!row.fallback.empty())
        std::from_chars(row.fallback.data(), row.fallback.data() + row.fallback.size(), number);
      if (!value.empty() && !strict_number(value, row.min, row.max, number)) {
        out.problems.push_back({row.section, row.key, value, range_text(row), true});
      }
      s.*row.number_field = static_cast<int>(number);
      return;
    }
  }
}

}  // namespace

int read_like_atoi(std::string_view text) { return platform::parse_count_like_atoi(text); }

const std::string& ParsedSettings::as_written(std::string_view section,
                                              std::string_view key) const {
  static const std::string kNone;
  const std::vector<SettingRow>& rows = setting_rows();
  for (std::size_t i = 0; i < rows.size() && i < written.size(); ++i) {
    if (rows[i].section == section && rows[i].key == key) return written[i];
  }
  return kNone;
}

ParsedSettings parse_settings(const IniFile& ini) {
  ParsedSettings parsed;
  for (const SettingRow& row : setting_rows()) read_row(row, ini, parsed);
  return parsed;
}

std::string problem_consequence(const Problem& problem) {
  const SettingRow* row = find_row(problem.section, problem.key);
  if (row == nullptr || row->fallback.empty()) return "the default is used";
  return "the default " + std::string(row->fallback) + " is used";
}

std::string problem_line(const Problem& problem, std::string_view ini_shown) {
  std::string line(problem.key);
  line.append(" in [").append(problem.section).append("] of ").append(ini_shown).append(": ");
  if (!problem.value.empty()) line.append("\"").append(problem.value).append("\" is ");
  line.append(problem.why).append("; ").append(problem_consequence(problem));
  return line;
}

}  // namespace larkspur::config
