// SPDX-License-Identifier: Apache-2.0
// Small text helpers shared by the pages.
#pragma once

#include <ostream>
#include <string>
#include <string_view>

#include "web/page_texts.h"

namespace larkspur::web {

// The configured [html] text, or its fallback when none is set; use as
// page_text(html("back")). May throw std::bad_alloc.
std::string page_text(PageText text);

// Makes text safe inside HTML element content: & < > " ' become entities.
// May throw std::bad_alloc.
std::string html_escape(std::string_view text);

// Reads a minimum length the way atoi would (leading white space, an
// optional sign, digits), without overflow: huge values saturate, and a
// negative value or no digits at all give 0.
int parse_min_length(std::string_view text);

// Writes `text` up to its first NUL byte, as a printf "%s" would.
void write_text(std::ostream& out, std::string_view text);

}  // namespace larkspur::web
