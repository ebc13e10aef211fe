// SPDX-License-Identifier: Apache-2.0
// The modern layout: an HTML5 page that a phone shows at its own width and
// a screen reader can follow: labelled inputs with autocomplete hints, one
// heading, failures announced as alerts. One inline stylesheet, no script;
// the headers forbid scripts, framing and caching.
#include <array>
#include <string>

#include "cgi/form.h"
#include "cgi/gateway.h"
#include "cgi/request_env.h"
#include "cgi/streams.h"
#include "web/charset.h"
#include "web/pages.h"
#include "web/password_rules.h"
#include "web/rule_refusals.h"
#include "web/text.h"

namespace larkspur::web {

namespace {

// Scripts, plugins, frames and foreign form targets are all refused; the
// inline stylesheet (and style attributes in configured texts) are allowed.
constexpr std::string_view kContentSecurityPolicy =
    "default-src 'none'; style-src 'unsafe-inline'; form-action 'self'; "
    "frame-ancestors 'none'; base-uri 'none'";

// Legible from 320 px up without horizontal scrolling; boxes 48 px high with
// 16 px text; every colour pair at least 4.5:1, in light and dark.
constexpr std::string_view kStylesheet =
    ":root{color-scheme:light dark;--bg:#f3f4f6;--fg:#111827;--muted:#374151;--card:#fff;"
    "--line:#6b7280;--accent:#1d4ed8;--on-accent:#fff;--bad-bg:#fef2f2;--bad-fg:#991b1b;"
    "--good-bg:#f0fdf4;--good-fg:#166534}\n"
    "@media (prefers-color-scheme:dark){:root{--bg:#0f172a;--fg:#f1f5f9;--muted:#cbd5e1;"
    "--card:#1e293b;--line:#94a3b8;--accent:#93c5fd;--on-accent:#0f172a;--bad-bg:#450a0a;"
    "--bad-fg:#fecaca;--good-bg:#052e16;--good-fg:#bbf7d0}}\n"
    "*,::before,::after{box-sizing:border-box}\n"
    "html{-webkit-text-size-adjust:100%;text-size-adjust:100%}\n"
    "body{margin:0;background:var(--bg);color:var(--fg);overflow-wrap:anywhere;"
    "font:16px/1.5 system-ui,-apple-system,\"Segoe UI\",Roboto,\"Noto Sans\",Arial,sans-serif}\n"
    "main{max-width:30rem;margin:0 auto;padding:1.5rem 1rem 2rem}\n"
    "@media (min-width:36rem){main{margin:3rem auto;padding:2rem 2.25rem;"
    "background:var(--card);border-radius:12px;box-shadow:0 1px 3px #0003,0 4px 16px #0001}}\n"
    "h1{margin:0 0 1rem;font-size:1.5rem;line-height:1.25}\n"
    ".description{margin:0 0 1.5rem;color:var(--muted)}\n"
    ".field{margin:0 0 1.125rem}\n"
    "label{display:block;margin:0 0 .375rem;font-weight:600}\n"
    "input{display:block;width:100%;min-height:48px;margin:0;padding:.625rem .75rem;"
    "border:1px solid var(--line);border-radius:8px;background:var(--card);color:var(--fg);"
    "font:inherit;font-size:16px}\n"
    ".buttons{display:flex;flex-wrap:wrap;gap:.75rem;margin-top:1.75rem}\n"
    "button{min-height:48px;padding:.625rem 1.5rem;border:2px solid var(--accent);"
    "border-radius:8px;font:inherit;font-weight:600;cursor:pointer}\n"
    "button[type=submit]{flex:1 1 auto;background:var(--accent);color:var(--on-accent)}\n"
    "button[type=reset]{background:transparent;color:var(--fg);border-color:var(--line)}\n"
    ":focus-visible,input:focus{outline:3px solid var(--accent);outline-offset:2px}\n"
    ".message{margin:0 0 .75rem;padding:.875rem 1rem;border:1px solid;border-left-width:6px;"
    "border-radius:8px}\n"
    ".failure{background:var(--bad-bg);color:var(--bad-fg)}\n"
    ".success{background:var(--good-bg);color:var(--good-fg)}\n"
    ".failure::before{content:\"\\2716\\FE0E\\A0\"/\"\"}\n"
    ".success::before{content:\"\\2714\\FE0E\\A0\"/\"\"}\n"
    "a{color:var(--accent);font-weight:600}\n"
    ".back{margin:0}.back a{display:inline-block;padding:.625rem 0}\n";

// An empty title would leave the page and its heading without a name.
std::string modern_title(const Request& request) {
  std::string title = request.text(config::Text::title);
  if (title.empty()) title = "Change password";
  return title;
}

void write_back_link(const Request& request, std::ostream& out) {
  out << "<p class=\"back\"><a href=\"";
  cgi::write_attr_escaped(request.env.SCRIPT_NAME);
  out << "\">";
  write_text(out, request.text(config::Text::back));
  out << "</a></p>\n";
}

void write_message(const Request& request, std::string_view kind, std::string_view role,
                   std::string_view message) {
  std::ostream& out = cgi::response_stream();
  out << "<div class=\"message " << kind << "\" role=\"" << role << "\">";
  write_text(out, message);
  out << "</div>\n";
  write_back_link(request, out);
}

struct Input {
  std::string_view name;
  std::string_view type;
  std::string_view autocomplete;
  config::Text label;
  bool new_password;  // gets the length limits
};

constexpr std::array<Input, 4> kInputs{{
    {"name", "text", "username", config::Text::your_name, false},
    {"op", "password", "current-password", config::Text::old_password, false},
    {"p1", "password", "new-password", config::Text::new_password1, true},
    {"p2", "password", "new-password", config::Text::new_password2, true},
}};

}  // namespace

void write_modern_open(const Request& request) {
  const std::string charset = declared_charset(request.settings);
  const std::string content_type = "text/html; charset=" + charset;
  const std::array<cgi::HeaderField, 4> headers{{
      {"Cache-Control", "no-store"},
      {"X-Content-Type-Options", "nosniff"},
      {"Referrer-Policy", "no-referrer"},
      {"Content-Security-Policy", kContentSecurityPolicy},
  }};
  cgi::write_headers(content_type, headers);

  std::ostream& out = cgi::response_stream();
  const std::string title = modern_title(request);
  out << "<!DOCTYPE html>\n<html lang=\"";
  cgi::write_attr_escaped(request.text(config::Text::lang));
  out << "\">\n<head>\n<meta charset=\"";
  cgi::write_attr_escaped(charset);
  out << "\">\n"
      << "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
      << "<title>";
  write_text(out, title);
  out << "</title>\n<style>\n" << kStylesheet << "</style>\n</head>\n<body>\n<main>\n<h1>";
  write_text(out, title);
  out << "</h1>\n";
}

void write_modern_form(const Request& request) {
  std::ostream& out = cgi::response_stream();
  const std::string& description = request.text(config::Text::description);
  if (!description.empty()) {
    out << "<div class=\"description\">";
    write_text(out, description);
    out << "</div>\n";
  }
  out << "<form method=\"post\" enctype=\"multipart/form-data\" action=\"";
  cgi::write_attr_escaped(request.env.SCRIPT_NAME);
  out << "\">\n";

  const int min_length = request.settings.password_min_length;
  const bool own_name_only = request.settings.own_password_only && !request.env.REMOTE_USER.empty();
  // The rules, when any beyond the length are set, under the new-password
  // box, which names them as its description.
  const std::string rules_shown =
      rules_in_force(request, rules::rule_settings(request.settings), min_length);
  for (const Input& input : kInputs) {
    out << "<div class=\"field\"><label for=\"" << input.name << "\">";
    write_text(out, request.text(input.label));
    out << "</label>\n<input type=\"" << input.type << "\" id=\"" << input.name << "\" name=\""
        << input.name << "\" autocomplete=\"" << input.autocomplete << "\"";
    // Only one's own password can change: the name is the logged-in one.
    if (input.type == "text" && own_name_only) {
      out << " value=\"";
      cgi::write_attr_escaped(request.env.REMOTE_USER);
      out << "\" readonly";
    }
    if (input.type == "text") out << " autocapitalize=\"none\" spellcheck=\"false\"";
    out << " required";
    if (input.new_password) {
      if (min_length > 0) out << " minlength=\"" << min_length << "\"";
      out << " maxlength=\"" << longest_new_password(request.settings) << "\"";
    }
    if (input.name == "p1" && !rules_shown.empty()) {
      out << " aria-describedby=\"p1-rules\"><p id=\"p1-rules\" "
             "style=\"margin:.375rem 0 0;color:var(--muted)\">";
      write_text(out, rules_shown);
      out << "</p></div>\n";
      continue;
    }
    out << "></div>\n";
  }

  out << "<div class=\"buttons\"><button type=\"submit\" name=\"chgpasswd\" value=\"1\">";
  write_text(out, request.text(config::Text::btn_change));
  out << "</button>\n<button type=\"reset\">";
  write_text(out, request.text(config::Text::btn_reset));
  out << "</button></div>\n</form>\n";
}

void write_modern_failure(const Request& request, std::string_view message) {
  write_message(request, "failure", "alert", message);
}

void write_modern_success(const Request& request, std::string_view message) {
  write_message(request, "success", "status", message);
}

void write_modern_close(const Request&) { cgi::response_stream() << "</main>\n</body>\n</html>\n"; }

}  // namespace larkspur::web
