// Small text helpers shared by the pages.
#pragma once

#include <ostream>
#include <string>
#include <string_view>

namespace larkspur::web {

// The [html] text of `key`, or `fallback` when none is configured.
std::string page_text(std::string_view key, std::string_view fallback);

// Makes text safe inside HTML element content: & < > " ' become entities.
std::string html_escape(std::string_view text);

// Reads a minimum length the way atoi would (leading white space, an
// optional sign, digits), without overflow: huge values saturate, and a
// negative value or no digits at all give 0.
int parse_min_length(std::string_view text);

// Writes `text` up to its first NUL byte, as a printf "%s" would.
void write_text(std::ostream& out, std::string_view text);

}  // namespace larkspur::web
