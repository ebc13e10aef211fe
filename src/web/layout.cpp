// SPDX-License-Identifier: Apache-2.0
#include "web/layout.h"

#include "cgi/request_env.h"
#include "platform/ascii.h"
#include "web/pages.h"
#include "web/text.h"

namespace larkspur::web {

namespace {

constexpr PageSet kClassic{write_classic_open, write_form_page, write_message_page,
                           write_plain_message_page, write_classic_close};
constexpr PageSet kModern{write_modern_open, write_modern_form, write_modern_failure,
                          write_modern_success, write_modern_close};

}  // namespace

Layout parse_layout(std::string_view value) {
  return platform::ascii_iequals(value, "modern") ? Layout::modern : Layout::classic;
}

const PageSet& page_set(const config::Settings& settings) {
  return parse_layout(settings.text(config::Text::layout)) == Layout::modern ? kModern : kClassic;
}

}  // namespace larkspur::web
