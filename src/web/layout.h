// SPDX-License-Identifier: Apache-2.0
// The two page layouts, chosen by key `layout` of [html]: "classic", the
// pages that installations have always served, byte for byte; or "modern",
// an HTML5 page for phones and screen readers. Both take the same texts
// and escape the same things.
#pragma once

#include <string_view>

#include "config/settings.h"
#include "web/request.h"

namespace larkspur::web {

enum class Layout { classic, modern };

// "modern" in any case selects the modern layout; anything else, an absent
// key included, keeps the classic one.
Layout parse_layout(std::string_view value);

// Writers of one layout. `open` writes the response header and the page up
// to the body; it runs once the configuration is loaded.
struct PageSet {
  void (*open)(const Request& request);
  void (*form)(const Request& request);
  // with the link back to the form
  void (*failure)(const Request& request, std::string_view message);
  void (*success)(const Request& request, std::string_view message);
  void (*close)(const Request& request);
};

// The writers of the configured layout: the one place where it is chosen.
const PageSet& page_set(const config::Settings& settings);

}  // namespace larkspur::web
