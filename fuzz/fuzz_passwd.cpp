// SPDX-License-Identifier: Apache-2.0
// The AuthUserFile reader: parse, look up, replace a hash, and the text it
// would write, which must read back to the same text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "passwd/password_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  larkspur::passwd::PasswordFile file;
  file.parse(text);

  // The first line's user, as the file itself would name it.
  const std::string_view first_line = std::string_view(text).substr(0, text.find('\n'));
  const std::string user(first_line.substr(0, first_line.find(':')));
  const bool had_hash = !file.find_hash(user).empty();
  (void)file.find_hash("");
  (void)file.find_hash("user");

  const std::string hash = "$apr1$salt1234$0123456789abcdefABCDEF";
  file.set_hash(user, hash);
  if (had_hash && file.find_hash(user) != hash) std::abort();

  std::string written;
  if (!file.text(written)) return 0;
  larkspur::passwd::PasswordFile again;
  again.parse(written);
  std::string rewritten;
  if (again.text(rewritten) && rewritten != written) std::abort();
  return 0;
}
