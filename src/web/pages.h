// SPDX-License-Identifier: Apache-2.0
// The web front: the page driver, the form page, the message pages and the
// change-password transaction. Everything is written to the response stream.
#pragma once

#include <string_view>

#include "config/ini_file.h"

namespace larkspur::web {

// Reads the INI file for the request about to be served, before its first
// byte is read; returns the settings, loaded or not. When the file cannot be
// used it says why on the error log now, while the file can still be looked
// at: the request may be confined by the time a page is written.
const config::IniFile& load_configuration();

// Writes the whole response of one request; always returns 0.
int page_main();

// The classic layout.
void write_classic_open();
void write_form_page();
void write_message_page(std::string_view message);
void write_plain_message_page(std::string_view message);
void write_classic_close();

// The modern layout. Failures get role="alert", success role="status";
// both link back to the form.
void write_modern_open();
void write_modern_form();
void write_modern_failure(std::string_view message);
void write_modern_success(std::string_view message);
void write_modern_close();

// Carries out one submitted change request.
void change_password();

}  // namespace larkspur::web
