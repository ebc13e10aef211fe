// SPDX-License-Identifier: Apache-2.0
#include "config/settings.h"

#include <charconv>
#include <climits>

namespace larkspur::config {
namespace {

// The white space that isspace() knows in the C locale.
bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Digits only, within the range; anything else is not a value of the key.
bool strict_number(std::string_view text, long long min, long long max, long long& out) {
  if (text.empty() || text.size() > 18) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  long long value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  if (value < min || value > max) return false;
  out = value;
  return true;
}

bool plain_number(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
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
      std::string folded = value;
      for (char& c : folded) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
      const bool yes = folded == "yes";
      const bool no = folded == "no";
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

int read_like_atoi(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && is_space(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > INT_MAX) value = INT_MAX;  // saturate; keeps reading the digits
  }
  return negative ? 0 : static_cast<int>(value);
}

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
