// SPDX-License-Identifier: Apache-2.0
// Frames every page in the configured layout: header, head, body; then the
// form or the change.
#include <exception>

#include "cgi/form.h"
#include "cgi/gateway.h"
#include "cgi/request_env.h"
#include "cgi/streams.h"
#include "log/activity_log.h"
#include "log/event_texts.h"
#include "platform/ascii.h"
#include "web/charset.h"
#include "web/layout.h"
#include "web/pages.h"
#include "web/text.h"

namespace larkspur::web {

namespace {

// A change sent any other way would carry both passwords in the URL, and
// from there into the access logs of every server and proxy on the way.
bool sent_by_post(const Request& request) {
  return platform::ascii_iequals(request.env.REQUEST_METHOD, "post");
}

void refuse_change_without_post(const Request& request, const PageSet& pages) {
  pages.failure(request, request.text(config::Text::post_required));
  logging::log_activity(logging::kEvents.not_post);
}

// The lines every classic page starts with, the configuration failure's too.
void write_classic_preamble() {
  cgi::write_content_type("text/html");
  cgi::response_stream() << "<HTML>\n<HEAD>\n"
                         << "<!-- Larkspur: change your password -->\n";
}

void write_page(const config::Settings* settings, store::UserStore* users) {
  if (settings == nullptr) {
    // Without the configuration the layout is unknown and nothing more can
    // be said: the classic page, left open.
    write_classic_preamble();
    const config::ParsedSettings defaults = config::parse_settings(config::IniFile{});
    write_message_page({defaults.settings, cgi::request_env(), cgi::form_entries()},
                       "Server error!");
    return;
  }
  logging::log_file_path() = settings->log_file;

  const Request request{*settings, cgi::request_env(), cgi::form_entries()};
  const PageSet& pages = page_set(*settings);
  pages.open(request);
  if (cgi::form_has_field(request.form, "chgpasswd") == cgi::FORM_SUCCESS) {
    if (sent_by_post(request)) {
      change_password(request, users);
    } else {
      refuse_change_without_post(request, pages);
    }
  } else {
    pages.form(request);
  }
  pages.close(request);
}

}  // namespace

void write_classic_open(const Request& request) {
  write_classic_preamble();
  std::ostream& out = cgi::response_stream();
  out << "<TITLE>";
  write_text(out, request.text(config::Text::title));
  out << "</TITLE><META http-equiv=Content-Type content=\"text/html; charset="
      << declared_charset(request.settings) << "\">\n"
      << "</HEAD>\n"
      << style_element(page_charset_is_utf8(request.settings)) << "<BODY>\n";
}

void write_classic_close(const Request&) { cgi::response_stream() << "</BODY></HTML>\n"; }

int page_main(const config::Settings* settings, store::UserStore* users) {
  try {
    write_page(settings, users);
  } catch (const std::exception&) {
    // Out of memory mid-page: the response ends where it is; the lock and
    // the secret buffers have been released by their owners on the way out.
  }
  cgi::response_stream().flush();
  return 0;
}

}  // namespace larkspur::web
