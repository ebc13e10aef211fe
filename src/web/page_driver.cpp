// SPDX-License-Identifier: Apache-2.0
// Frames every page in the configured layout: header, head, body; then the
// form or the change.
#include <exception>
#include <new>

#include "cgi/form.h"
#include "cgi/gateway.h"
#include "cgi/request_env.h"
#include "cgi/streams.h"
#include "config/ini_file.h"
#include "log/activity_log.h"
#include "platform/ascii.h"
#include "platform/diagnose.h"
#include "web/charset.h"
#include "web/layout.h"
#include "web/pages.h"
#include "web/text.h"

namespace larkspur::web {

namespace {

// A change sent any other way would carry both passwords in the URL, and
// from there into the access logs of every server and proxy on the way.
bool sent_by_post() { return platform::ascii_iequals(cgi::request_env().REQUEST_METHOD, "post"); }

void refuse_change_without_post(const PageSet& pages) {
  pages.failure(page_text(html("post_required")));
  logging::log_activity("Change refused: not sent by POST");
}

// The lines every classic page starts with, the configuration failure's too.
void write_classic_preamble() {
  cgi::write_content_type("text/html");
  cgi::response_stream() << "<HTML>\n<HEAD>\n"
                         << "<!-- Larkspur: change your password -->\n";
}

void write_page() {
  // Loaded by load_configuration, before the request was decoded.
  const config::IniFile& ini = config::ini_file();
  if (!ini.loaded()) {
    // Without the configuration the layout is unknown and nothing more can
    // be said: the classic page, left open.
    write_classic_preamble();
    write_message_page("Server error!");
    return;
  }
  logging::log_file_path() = ini.get("path", "log_file");

  const PageSet& pages = page_set();
  pages.open();
  if (cgi::form_has_field("chgpasswd") == cgi::FORM_SUCCESS) {
    if (sent_by_post()) {
      change_password();
    } else {
      refuse_change_without_post(pages);
    }
  } else {
    pages.form();
  }
  pages.close();
}

}  // namespace

const config::IniFile& load_configuration() {
  config::IniFile& ini = config::ini_file();
  if (const platform::Status loaded = config::load_config(ini); !loaded) {
    try {
      platform::diagnose("cannot read the configuration file " + config::config_file_shown() +
                         ": " + loaded.error().reason());
    } catch (const std::bad_alloc&) {
      // The page still says "Server error!"; only the reason is lost.
    }
  }
  return ini;
}

void write_classic_open() {
  write_classic_preamble();
  std::ostream& out = cgi::response_stream();
  out << "<TITLE>";
  write_text(out, page_text(html("title")));
  out << "</TITLE><META http-equiv=Content-Type content=\"text/html; charset=" << declared_charset()
      << "\">\n"
      << "</HEAD>\n"
      << style_element(page_charset_is_utf8()) << "<BODY>\n";
}

void write_classic_close() { cgi::response_stream() << "</BODY></HTML>\n"; }

int page_main() {
  try {
    write_page();
  } catch (const std::exception&) {
    // Out of memory mid-page: the response ends where it is; the lock and
    // the secret buffers have been released by their owners on the way out.
  }
  cgi::response_stream().flush();
  return 0;
}

}  // namespace larkspur::web
