// SPDX-License-Identifier: Apache-2.0
#include "store/failure_counts.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "platform/ascii.h"
#include "platform/file_range.h"
#include "platform/posix_io.h"

namespace larkspur::store {
namespace {

// A file beyond this is not ours to read whole: it counts as damaged.
constexpr std::uint64_t kMaxFileSize = 8 * 1024 * 1024;

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

FailureCounts FailureCounts::parse(std::string_view text) {
  FailureCounts counts;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find('\n'), text.size());
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));

    Entry entry{};
    const platform::ParsedInteger time =
        platform::parse_integer(line, platform::IntegerForm::kSigned);
    const std::size_t pos = time.end;
    if (!time.digits || time.saturated || line.size() < pos + 3 || line[pos] != ' ' ||
        line[pos + 2] != ' ') {
      continue;
    }
    entry.time = time.value;
    if (line[pos + 1] != 'n' && line[pos + 1] != 'a') continue;
    entry.kind = static_cast<Kind>(line[pos + 1]);
    const std::string_view hex = line.substr(pos + 3);
    if (hex.size() % 2 != 0 || hex.size() / 2 > kMaxKey) continue;
    bool good = true;
    for (std::size_t i = 0; i < hex.size() && good; i += 2) {
      const int high = hex_digit(hex[i]), low = hex_digit(hex[i + 1]);
      good = high >= 0 && low >= 0;
      entry.key += static_cast<char>(high * 16 + low);
    }
    if (good) counts.entries_.push_back(std::move(entry));
  }
  // Whatever the file held, no more than the bound is kept.
  if (counts.entries_.size() > kMaxEntries) {
    counts.entries_.erase(counts.entries_.begin(),
                          counts.entries_.end() - static_cast<std::ptrdiff_t>(kMaxEntries));
  }
  return counts;
}

std::string FailureCounts::serialize() const {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (const Entry& entry : entries_) {
    out += std::to_string(entry.time);
    out += ' ';
    out += static_cast<char>(entry.kind);
    out += ' ';
    for (const char c : entry.key) {
      const auto byte = static_cast<unsigned char>(c);
      out += kHex[byte >> 4];
      out += kHex[byte & 0xf];
    }
    out += '\n';
  }
  return out;
}

int FailureCounts::count(Kind kind, std::string_view key, std::time_t now, int window) const {
  key = capped(key);
  return static_cast<int>(std::count_if(entries_.begin(), entries_.end(), [&](const Entry& e) {
    return e.kind == kind && e.key == key && within(e.time, now, window);
  }));
}

void FailureCounts::add(Kind kind, std::string_view key, std::time_t now) {
  entries_.push_back({static_cast<std::int64_t>(now), kind, std::string(capped(key))});
}

void FailureCounts::forget(Kind kind, std::string_view key) {
  key = capped(key);
  std::erase_if(entries_, [&](const Entry& e) { return e.kind == kind && e.key == key; });
}

void FailureCounts::withdraw(Kind kind, std::string_view key) {
  key = capped(key);
  const auto last = std::find_if(entries_.rbegin(), entries_.rend(),
                                 [&](const Entry& e) { return e.kind == kind && e.key == key; });
  if (last != entries_.rend()) entries_.erase(std::next(last).base());
}

void FailureCounts::prune(std::time_t now, int window) {
  std::erase_if(entries_, [&](const Entry& e) { return !within(e.time, now, window); });
  if (entries_.size() > kMaxEntries) {
    entries_.erase(entries_.begin(), entries_.end() - static_cast<std::ptrdiff_t>(kMaxEntries));
  }
}

std::string Throttle::file_path(std::string_view auth_user_file) {
  std::string path(auth_user_file);
  path += ".failures";
  return path;
}

Throttle::Throttle(const std::string& auth_user_file, std::string_view name,
                   std::string_view address, const ThrottleLimits& limits, std::time_t now)
    : name_(name), address_(address), limits_(limits), now_(now) {
  if (limits_.max_failures <= 0 && limits_.max_failures_per_address <= 0) return;
  path_ = file_path(auth_user_file);
  if (!open_file(false)) return;
  const platform::Result<platform::FileInfo> info = platform::file_info(fd_.get());
  if (!info || info.value().size > kMaxFileSize) return;  // counts as empty
  std::string text;
  (void)platform::read_to_end(fd_.get(), text);  // what was read counts
  counts_ = FailureCounts::parse(text);
}

bool Throttle::open_file(bool create) {
  // Never through a link, never blocking on a FIFO planted under the name,
  // never anything but a regular file.
  platform::Result<platform::UniqueFd> opened = platform::open_private_file(path_, create);
  if (opened) fd_ = std::move(opened).value();
  return opened.ok();
}

bool Throttle::refuses() const {
  const int window = limits_.window_seconds;
  if (limits_.max_failures > 0 &&
      counts_.count(FailureCounts::Kind::kName, name_, now_, window) >= limits_.max_failures) {
    return true;
  }
  return limits_.max_failures_per_address > 0 && !address_.empty() &&
         counts_.count(FailureCounts::Kind::kAddress, address_, now_, window) >=
             limits_.max_failures_per_address;
}

void Throttle::count_failure() {
  if (limits_.max_failures > 0) counts_.add(FailureCounts::Kind::kName, name_, now_);
  if (limits_.max_failures_per_address > 0 && !address_.empty()) {
    counts_.add(FailureCounts::Kind::kAddress, address_, now_);
  }
  save();
}

void Throttle::forget_name() {
  const bool name_counted =
      counts_.count(FailureCounts::Kind::kName, name_, now_, limits_.window_seconds) > 0;
  const bool address_counted =
      !address_.empty() &&
      counts_.count(FailureCounts::Kind::kAddress, address_, now_, limits_.window_seconds) > 0;
  if (!name_counted && !address_counted) return;
  counts_.forget(FailureCounts::Kind::kName, name_);
  // The check was counted before it ran; a success takes that back.
  if (address_counted) counts_.withdraw(FailureCounts::Kind::kAddress, address_);
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
