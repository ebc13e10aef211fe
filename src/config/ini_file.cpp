// SPDX-License-Identifier: Apache-2.0
#include "config/ini_file.h"

#include <array>
#include <cerrno>
#include <string>
#include <string_view>

#include "platform/file_range.h"
#include "platform/no_memory.h"
#include "platform/posix_io.h"

namespace larkspur::config {
namespace {

constexpr std::string_view kBlanks = " \t";

std::string_view trim_blanks(std::string_view text) {
  const auto first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}

std::string entry_key(std::string_view section, std::string_view key) {
  std::string joined;
  joined.reserve(section.size() + IniFile::kJoiner.size() + key.size());
  joined.append(section).append(IniFile::kJoiner).append(key);
  return joined;
}

// The value part up to its trailing comment. Markers need a blank before
// them, counted only from the value's first non-blank character, so
// 'title = # x' keeps '# x' while 'x # y' loses ' # y'. The first marker
// KIND in this order that occurs wins, even if a later kind stands earlier.
std::string_view strip_comment(std::string_view value) {
  const auto start = value.find_first_not_of(kBlanks);
  if (start == std::string_view::npos) return {};
  constexpr std::array<std::string_view, 4> kMarkers = {"\t#", " #", "\t//", " //"};
  for (std::string_view marker : kMarkers) {
    const auto at = value.find(marker, start);
    if (at != std::string_view::npos) return value.substr(0, at);
  }
  return value;
}

class LineParser {
 public:
  explicit LineParser(IniFile& ini) : ini_(ini) {}

  void parse_line(std::string_view line) {
    // A header is recognised by its brackets anywhere in the line, so
    // 'description=Change [now]' switches the section to 'now'. A line whose
    // last ']' stands before its first '[' is no header.
    const auto open = line.find('[');
    const auto close = line.rfind(']');
    if (open != std::string_view::npos && close != std::string_view::npos && close > open) {
      section_.assign(line.substr(open + 1, close - open - 1));
      return;
    }
    if (section_.empty()) return;
    const auto equals = line.find('=');
    if (equals == std::string_view::npos) return;
    const std::string_view key = trim_blanks(line.substr(0, equals));
    if (key.empty()) return;
    const std::string_view value = trim_blanks(strip_comment(line.substr(equals + 1)));
    // An empty value is no entry: it neither stores nor overrides.
    if (value.empty()) return;
    ini_.entries.insert_or_assign(entry_key(section_, key), std::string(value));
  }

 private:
  IniFile& ini_;
  std::string section_;
};

platform::Status read_whole_file(const std::string& path, std::string& content) {
  const platform::Result<platform::UniqueFd> fd = platform::open_for_reading(path);
  if (!fd) return fd.error();
  platform::Status read = platform::read_to_end(fd.value().get(), content);
  if (!read) return platform::Error{platform::Step::kRead, path, read.error().code, {}, {}};
  return {};
}

}  // namespace

bool IniFile::parse(std::string_view text) {
  // A configuration read in part is not one to run on.
  const bool complete = platform::or_on_no_memory(false, [&] {
    LineParser parser(*this);
    while (!text.empty()) {
      const auto newline = text.find('\n');
      std::string_view line = text.substr(0, newline);
      if (newline == std::string_view::npos) {
        text = {};
      } else {
        // Read as text would be: CR LF counts as LF.
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        text.remove_prefix(newline + 1);
      }
      parser.parse_line(line);
    }
    return true;
  });
  return complete && !entries.empty();
}

platform::Status IniFile::load(const std::string& path) {
  // Binary, in one piece: the file is read once and never held open.
  const platform::Status out_of_memory = platform::Error{platform::Step::kRead, {}, ENOMEM, {}, {}};
  return platform::or_on_no_memory(out_of_memory, [&]() -> platform::Status {
    std::string content;
    if (platform::Status read = read_whole_file(path, content); !read) return read;
    if (!parse(content)) {
      return platform::fixed_error(platform::Step::kRead, path,
                                   "holds no setting under a [section]");
    }
    return {};
  });
}

std::string IniFile::get(std::string_view section, std::string_view key) const {
  const auto found = entries.find(entry_key(section, key));
  return found == entries.end() ? std::string() : found->second;
}

IniFile& ini_file() {
  static IniFile instance;
  return instance;
}

std::string config_file_name(std::string_view program_path) {
  const auto separator = program_path.find_last_of("/\\");
  const std::string_view base =
      separator == std::string_view::npos ? program_path : program_path.substr(separator + 1);
  std::string name(base);
  name += ".ini";
  return name;
}

}  // namespace larkspur::config
