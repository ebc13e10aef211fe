// SPDX-License-Identifier: Apache-2.0
// Throttling of password guessing: failed checks of the old password are
// counted per user name and per client address (an IPv6 one by its /64) in
// "<AuthUserFile>.failures", and a name or address that reached its limit
// within the window is refused before the AuthUserFile is read or any hash
// computed.
#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix_io.h"
#include "store/user_store.h"

namespace larkspur::store {

// The failed checks of one window, aggregated per key so that the state
// stays bounded however many failures there are: each name or address keeps
// the times of its failures, one slot per second with a count, at most
// kMaxTimes slots (the two oldest are merged into the later one's time when
// more come, which can only keep failures counted longer, never shorter).
// At most kMaxKeys keys are held. A full table takes no new key: a key is
// never forgotten while it has a failure within the window, so failures of
// other names or addresses can never lower its count.
//
// The file form is one line per key, "<n|a> <key in hex> <time>[*<count>]...",
// n for a user name, a for an address, times in ascending order. It holds no
// password and no hash. Lines of the earlier form, one per failure
// ("<unix time> <n|a> <key in hex>"), are read as one failure each.
class FailureCounts {
 public:
  static constexpr std::size_t kMaxKeys = 10000;
  static constexpr std::size_t kMaxKey = 255;  // longer keys are cut
  static constexpr std::size_t kMaxTimes = 32;
  enum class Kind : char { kName = 'n', kAddress = 'a' };

  // Damaged lines are skipped; nothing in the text can make it fail.
  static FailureCounts parse(std::string_view text);
  std::string serialize() const;

  // Failures of `key` within `window` seconds of `now`.
  int count(Kind kind, std::string_view key, std::time_t now, int window) const;
  // Records one failure; false, recording nothing, when the key is new and
  // the table already holds kMaxKeys keys.
  bool add(Kind kind, std::string_view key, std::time_t now);
  // Whether `key` has failures held (a new one needs room).
  bool contains(Kind kind, std::string_view key) const;
  void forget(Kind kind, std::string_view key);
  // Takes back one failure recorded at `time` (a check counted before it
  // ran that turned out right).
  void take_back(Kind kind, std::string_view key, std::time_t time);
  // Drops the failures outside the window, and keys left with none.
  void prune(std::time_t now, int window);
  std::size_t size() const;  // failures held
  std::size_t keys() const { return keys_.size(); }

 private:
  struct Slot {
    std::int64_t time;
    std::uint32_t count;
  };
  bool add_at(std::string full_key, std::int64_t time, std::uint32_t count);
  std::map<std::string, std::vector<Slot>> keys_;  // kind letter, then the key
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

  // The name or the address has reached its limit within the window, or a
  // failure of either could not be counted because the table is full.
  bool refuses() const;
  // A failed check of the old password (no such user, or a wrong one).
  void count_failure();
  // A successful check clears the name's count and takes back the failure
  // counted for this attempt from the address.
  void forget_name();

  static std::string file_path(std::string_view auth_user_file);

 private:
  bool open_file(bool create);
  bool by_name() const;
  bool by_address() const;
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
