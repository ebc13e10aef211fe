// SPDX-License-Identifier: Apache-2.0
// A local list of breached passwords in the published downloadable form:
// one "SHA1HEX:COUNT" line per password, upper-case hex, sorted by hash,
// CRLF or LF line ends. It is searched in place, a few small reads at a
// time, however large it is: memory stays as it is.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/result.h"

namespace larkspur::rules {

using Sha1Hex = std::array<char, 40>;

// The SHA-1 of `password` in upper-case hex, as the list holds it.
Sha1Hex sha1_hex(std::string_view password) noexcept;

// How often the list at `path` says `hash` was seen; 0 when it is not
// there. A line counts only when it is exactly HASH:COUNT, so a damaged or
// unsorted list can miss a password but never refuse one it does not hold.
platform::Result<std::uint64_t> breached_count(const std::string& path, const Sha1Hex& hash);

// What --check says of the list.
struct CorpusSurvey {
  std::uint64_t lines = 0;  // counted, or estimated from the samples
  bool counted = false;     // every line was read (the list is small enough)
  std::string fault;        // the first damage seen; empty when none
};

// Reads the whole list when it is at most `full_read_limit` bytes, else
// checks the order and form of lines sampled across it.
platform::Result<CorpusSurvey> survey_corpus(const std::string& path,
                                             std::uint64_t full_read_limit = 1ULL << 30);

}  // namespace larkspur::rules
