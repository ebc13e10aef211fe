// SPDX-License-Identifier: Apache-2.0
// Throttling of password guessing: failed checks of the old password are
// counted per user name and per client address in "<AuthUserFile>.failures",
// and a name or address that reached its limit within the window is refused
// before the AuthUserFile is read or any hash computed.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix_io.h"
#include "store/user_store.h"

namespace larkspur::store {

// The failures of one window, oldest first. The file form is one line per
// failure: "<unix time> <n|a> <key in hex>", n for a user name, a for an
// address. It holds no password and no hash.
class FailureCounts {
 public:
  static constexpr std::size_t kMaxEntries = 10000;
  static constexpr std::size_t kMaxKey = 255;  // longer keys are cut
  enum class Kind : char { kName = 'n', kAddress = 'a' };

  // Damaged lines are skipped; nothing in the text can make it fail.
  static FailureCounts parse(std::string_view text);
  std::string serialize() const;

  // Failures of `key` within `window` seconds of `now`.
  int count(Kind kind, std::string_view key, std::time_t now, int window) const;
  void add(Kind kind, std::string_view key, std::time_t now);
  void forget(Kind kind, std::string_view key);
  // Takes back the latest failure of `key`.
  void withdraw(Kind kind, std::string_view key);
  // Drops what lies outside the window, then the oldest beyond kMaxEntries.
  void prune(std::time_t now, int window);
  std::size_t size() const { return entries_.size(); }

 private:
  struct Entry {
    std::int64_t time;
    Kind kind;
    std::string key;
  };
  std::vector<Entry> entries_;
};

// One request's view of the failures file. Use only while holding the
// update lock. A missing, damaged or unreadable file counts as empty; a
// file that cannot be written loses the counts, never the change.
class Throttle {
 public:
  Throttle(const std::string& auth_user_file, std::string_view name, std::string_view address,
           const ThrottleLimits& limits, std::time_t now);
  Throttle(const Throttle&) = delete;
  Throttle& operator=(const Throttle&) = delete;

  // The name or the address has reached its limit within the window.
  bool refuses() const;
  // A failed check of the old password (no such user, or a wrong one).
  void count_failure();
  // A successful check clears the name's count and takes back the failure
  // counted for this attempt from the address.
  void forget_name();

  static std::string file_path(std::string_view auth_user_file);

 private:
  bool open_file(bool create);
  void save();

  std::string path_;
  std::string name_;
  std::string address_;
  ThrottleLimits limits_;
  std::time_t now_;
  platform::UniqueFd fd_;
  FailureCounts counts_;
};

}  // namespace larkspur::store
