// Frames every page: header, head, style, body; then the form or the change.
#include <exception>

#include "cgi/form.h"
#include "cgi/gateway.h"
#include "cgi/streams.h"
#include "config/ini_file.h"
#include "log/activity_log.h"
#include "web/charset.h"
#include "web/pages.h"
#include "web/text.h"

namespace larkspur::web {

namespace {

void write_page() {
  cgi::write_content_type("text/html");
  std::ostream& out = cgi::response_stream();
  out << "<HTML>\n<HEAD>\n"
      << "<!-- Larkspur: change your password -->\n";

  config::IniFile& ini = config::ini_file();
  if (!config::load_config(ini)) {
    // Without the configuration nothing more can be said; the page stays open.
    write_message_page("Server error!");
    return;
  }
  logging::log_file_path() = ini.get("path", "log_file");

  out << "<TITLE>";
  write_text(out, ini.get("html", "title"));
  out << "</TITLE><META http-equiv=Content-Type content=\"text/html; charset="
      << declared_charset() << "\">\n"
      << "</HEAD>\n"
      << style_element(page_charset_is_utf8()) << "<BODY>\n";

  if (cgi::form_has_field("chgpasswd") == cgi::FORM_SUCCESS) {
    change_password();
  } else {
    write_form_page();
  }
  out << "</BODY></HTML>\n";
}

}  // namespace

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
