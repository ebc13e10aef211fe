// SPDX-License-Identifier: Apache-2.0
#include "store/failure_counts.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <type_traits>

#include "platform/address_block.h"
#include "platform/ascii.h"
#include "platform/diagnose.h"
#include "platform/file_range.h"
#include "platform/posix_io.h"

namespace larkspur::store {
namespace {

// A file beyond this is not ours to read whole: it counts as damaged. The
// fullest table, every key at its longest with every slot at its widest,
// stays below it, so that no flood can make the counts unreadable.
constexpr std::uint64_t kMaxFileSize = 16 * 1024 * 1024;
constexpr std::uint64_t kLongestLine =
    2 + 2 * FailureCounts::kMaxKey + FailureCounts::kMaxTimes * (1 + 20 + 1 + 10) + 1;
static_assert(FailureCounts::kMaxKeys * kLongestLine < kMaxFileSize);

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool within(std::int64_t time, std::time_t now, int window) {
  const std::int64_t age = static_cast<std::int64_t>(now) - time;
  return age < window && -age < window;
}

std::string_view capped(std::string_view key) { return key.substr(0, FailureCounts::kMaxKey); }

}  // namespace

namespace {

std::string full_key(FailureCounts::Kind kind, std::string_view key) {
  std::string full(1, static_cast<char>(kind));
  full.append(capped(key));
  return full;
}

// "<hex>" into `out`; false on anything but pairs of lower-case hex digits.
bool unhex(std::string_view hex, std::string& out) {
  if (hex.size() % 2 != 0 || hex.size() / 2 > FailureCounts::kMaxKey) return false;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int high = hex_digit(hex[i]), low = hex_digit(hex[i + 1]);
    if (high < 0 || low < 0) return false;
    out += static_cast<char>(high * 16 + low);
  }
  return true;
}

template <typename Number>
bool take_number(std::string_view& text, Number& value) {
  const platform::ParsedInteger parsed =
      platform::parse_integer(text, std::is_signed_v<Number> ? platform::IntegerForm::kSigned
                                                             : platform::IntegerForm::kDigits);
  if (!parsed.digits || parsed.saturated || parsed.value < std::numeric_limits<Number>::min() ||
      parsed.value > static_cast<std::int64_t>(std::numeric_limits<Number>::max())) {
    return false;
  }
  value = static_cast<Number>(parsed.value);
  text.remove_prefix(parsed.end);
  return true;
}

std::uint32_t saturated_sum(std::uint32_t a, std::uint32_t b) {
  return a > UINT32_MAX - b ? UINT32_MAX : a + b;
}

// "<time> <n|a> <hex>": one failure.
bool parse_old_line(std::string_view line, std::string& key, std::int64_t& time) {
  if (!take_number(line, time)) return false;
  if (line.size() < 3 || line[0] != ' ' || line[2] != ' ' || (line[1] != 'n' && line[1] != 'a')) {
    return false;
  }
  key.assign(1, line[1]);
  return unhex(line.substr(3), key);
}

}  // namespace

FailureCounts FailureCounts::parse(std::string_view text) {
  FailureCounts counts;
  std::string key;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    key.clear();

    std::int64_t time = 0;
    if (parse_old_line(line, key, time)) {
      counts.add_at(key, time, 1);
      continue;
    }
    // "<n|a> <hex> <time>[*<count>]..."
    if (line.size() < 3 || (line[0] != 'n' && line[0] != 'a') || line[1] != ' ') continue;
    key.clear();
    key += line[0];
    line.remove_prefix(2);
    const std::size_t hex_end = line.find(' ');
    if (hex_end == std::string_view::npos || !unhex(line.substr(0, hex_end), key)) continue;
    line.remove_prefix(hex_end);
    std::vector<Slot> slots;
    bool good = true;
    while (good && !line.empty() && slots.size() < kMaxTimes) {
      Slot slot{0, 1};
      good = line[0] == ' ';
      line.remove_prefix(1);
      good = good && take_number(line, slot.time);
      if (good && !line.empty() && line[0] == '*') {
        line.remove_prefix(1);
        good = take_number(line, slot.count) && slot.count > 0;
      }
      slots.push_back(slot);
    }
    if (!good || !line.empty() || slots.empty()) continue;
    for (const Slot& slot : slots) counts.add_at(key, slot.time, slot.count);
  }
  return counts;
}

std::string FailureCounts::serialize() const {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (const auto& [key, slots] : keys_) {
    out += key[0];
    out += ' ';
    for (const char c : std::string_view(key).substr(1)) {
      const auto byte = static_cast<unsigned char>(c);
      out += kHex[byte >> 4];
      out += kHex[byte & 0xf];
    }
    for (const Slot& slot : slots) {
      out += ' ';
      out += std::to_string(slot.time);
      if (slot.count != 1) {
        out += '*';
        out += std::to_string(slot.count);
      }
    }
    out += '\n';
  }
  return out;
}

int FailureCounts::count(Kind kind, std::string_view key, std::time_t now, int window) const {
  const auto found = keys_.find(full_key(kind, key));
  if (found == keys_.end()) return 0;
  std::uint32_t sum = 0;
  for (const Slot& slot : found->second) {
    if (within(slot.time, now, window)) sum = saturated_sum(sum, slot.count);
  }
  return static_cast<int>(std::min<std::uint32_t>(sum, INT_MAX));
}

bool FailureCounts::add(Kind kind, std::string_view key, std::time_t now) {
  return add_at(full_key(kind, key), static_cast<std::int64_t>(now), 1);
}

bool FailureCounts::add_at(std::string key, std::int64_t time, std::uint32_t count) {
  auto found = keys_.find(key);
  if (found == keys_.end()) {
    if (keys_.size() >= kMaxKeys) return false;
    found = keys_.emplace(std::move(key), std::vector<Slot>{}).first;
  }
  std::vector<Slot>& slots = found->second;
  const auto at = std::lower_bound(slots.begin(), slots.end(), time,
                                   [](const Slot& slot, std::int64_t t) { return slot.time < t; });
  if (at != slots.end() && at->time == time) {
    at->count = saturated_sum(at->count, count);
    return true;
  }
  slots.insert(at, Slot{time, count});
  if (slots.size() > kMaxTimes) {
    // The oldest failures are merged into the later time: counted longer.
    slots[1].count = saturated_sum(slots[1].count, slots[0].count);
    slots.erase(slots.begin());
  }
  return true;
}

bool FailureCounts::contains(Kind kind, std::string_view key) const {
  return keys_.contains(full_key(kind, key));
}

void FailureCounts::forget(Kind kind, std::string_view key) { keys_.erase(full_key(kind, key)); }

void FailureCounts::take_back(Kind kind, std::string_view key, std::time_t time) {
  const auto found = keys_.find(full_key(kind, key));
  if (found == keys_.end()) return;
  std::vector<Slot>& slots = found->second;
  // The slot that took it: its own, or a later one it was merged into.
  const auto at = std::lower_bound(slots.begin(), slots.end(), static_cast<std::int64_t>(time),
                                   [](const Slot& slot, std::int64_t t) { return slot.time < t; });
  if (at == slots.end()) return;
  if (--at->count == 0) slots.erase(at);
  if (slots.empty()) keys_.erase(found);
}

void FailureCounts::prune(std::time_t now, int window) {
  for (auto it = keys_.begin(); it != keys_.end();) {
    std::erase_if(it->second, [&](const Slot& slot) { return !within(slot.time, now, window); });
    it = it->second.empty() ? keys_.erase(it) : std::next(it);
  }
}

std::size_t FailureCounts::size() const {
  std::size_t total = 0;
  for (const auto& [key, slots] : keys_) {
    for (const Slot& slot : slots) total += slot.count;
  }
  return total;
}

std::string Throttle::file_path(std::string_view auth_user_file) {
  std::string path(auth_user_file);
  path += ".failures";
  return path;
}

Throttle::Throttle(const std::string& auth_user_file, std::string_view name,
                   std::string_view address, const ThrottleLimits& limits, std::time_t now)
    : name_(name), address_(platform::address_block(address)), limits_(limits), now_(now) {
  if (limits_.max_failures <= 0 && limits_.max_failures_per_address <= 0) return;
  path_ = file_path(auth_user_file);
  if (!open_file(false)) return;
  const platform::Result<platform::FileInfo> info = platform::file_info(fd_.get());
  if (!info || info.value().size > kMaxFileSize) return;  // counts as empty
  std::string text;
  (void)platform::read_to_end(fd_.get(), text);  // what was read counts
  counts_ = FailureCounts::parse(text);
  // What has expired makes room before anything is refused for want of it.
  counts_.prune(now_, limits_.window_seconds);
}

bool Throttle::open_file(bool create) {
  // Never through a link, never blocking on a FIFO planted under the name,
  // never anything but a regular file.
  platform::Result<platform::UniqueFd> opened = platform::open_private_file(path_, create);
  if (opened) fd_ = std::move(opened).value();
  return opened.ok();
}

bool Throttle::by_name() const { return limits_.max_failures > 0; }

bool Throttle::by_address() const {
  return limits_.max_failures_per_address > 0 && !address_.empty();
}

bool Throttle::refuses() const {
  using Kind = FailureCounts::Kind;
  const int window = limits_.window_seconds;
  if (by_name() && counts_.count(Kind::kName, name_, now_, window) >= limits_.max_failures) {
    return true;
  }
  if (by_address() &&
      counts_.count(Kind::kAddress, address_, now_, window) >= limits_.max_failures_per_address) {
    return true;
  }
  // A failure that could not be counted would be a free guess.
  const std::size_t new_keys =
      (by_name() && !counts_.contains(Kind::kName, name_) ? 1 : 0) +
      (by_address() && !counts_.contains(Kind::kAddress, address_) ? 1 : 0);
  if (counts_.keys() + new_keys > FailureCounts::kMaxKeys) {
    platform::diagnose("the failure counts " + path_ +
                       " are full: names and addresses not counted yet are refused until some "
                       "expire");
    return true;
  }
  return false;
}

void Throttle::count_failure() {
  if (by_name()) counts_.add(FailureCounts::Kind::kName, name_, now_);
  if (by_address()) counts_.add(FailureCounts::Kind::kAddress, address_, now_);
  save();
}

void Throttle::forget_name() {
  const bool name_counted =
      counts_.count(FailureCounts::Kind::kName, name_, now_, limits_.window_seconds) > 0;
  // Only a failure this attempt counted is taken back.
  const bool address_counted =
      by_address() &&
      counts_.count(FailureCounts::Kind::kAddress, address_, now_, limits_.window_seconds) > 0;
  if (!name_counted && !address_counted) return;
  counts_.forget(FailureCounts::Kind::kName, name_);
  // The check was counted before it ran; a success takes that back.
  if (address_counted) counts_.take_back(FailureCounts::Kind::kAddress, address_, now_);
  save();
}

void Throttle::save() {
  // Created only once there is something to count.
  if (path_.empty() || (!fd_ && !open_file(true))) return;
  counts_.prune(now_, limits_.window_seconds);
  // In place: written over the old text, then cut to length. A crash midway
  // leaves a mix of whole and damaged lines, which only loses counts.
  const std::string text = counts_.serialize();
  (void)platform::overwrite_file(fd_.get(), text);
}

}  // namespace larkspur::store
