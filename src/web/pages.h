// SPDX-License-Identifier: Apache-2.0
// The web front: the page driver, the form page, the message pages and the
// change-password transaction. Everything is written to the response stream.
#pragma once

#include <string_view>

#include "config/settings.h"
#include "store/user_store.h"
#include "web/request.h"

namespace larkspur::web {

// Writes the whole response of one request, decoded into the process-wide
// environment and form; `settings` is null when the INI file could not be
// used. Always returns 0.
int page_main(const config::Settings* settings, store::UserStore* users);

// The classic layout.
void write_classic_open(const Request& request);
void write_form_page(const Request& request);
void write_message_page(const Request& request, std::string_view message);
void write_plain_message_page(const Request& request, std::string_view message);
void write_classic_close(const Request& request);

// The modern layout. Failures get role="alert", success role="status";
// both link back to the form.
void write_modern_open(const Request& request);
void write_modern_form(const Request& request);
void write_modern_failure(const Request& request, std::string_view message);
void write_modern_success(const Request& request, std::string_view message);
void write_modern_close(const Request& request);

// The dots after "Server error" tell apart which failure stopped a change.
inline constexpr std::string_view kLockOpenFailed = "..";
inline constexpr std::string_view kLockWaitFailed = "...";
inline constexpr std::string_view kPasswordFileUnreadable = "....";

// Carries out one submitted change request against `users`, the store the
// settings name (none when they name none).
void change_password(const Request& request, store::UserStore* users);

}  // namespace larkspur::web
