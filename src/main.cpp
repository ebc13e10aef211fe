// Wires the CGI gateway to the page driver.
#include "cgi/gateway.h"
#include "platform/platform.h"
#include "web/pages.h"

int main(int argc, char** argv) {
  larkspur::platform::forbid_core_dumps();
  larkspur::platform::use_binary_io();
  larkspur::platform::set_invocation_name(argc > 0 && argv[0] ? argv[0] : "");
  return larkspur::cgi::gateway_main(argc, argv, &larkspur::web::page_main);
}
