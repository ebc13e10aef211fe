// SPDX-License-Identifier: Apache-2.0
// Binary search over byte offsets: a probe at an offset reads a few hundred
// bytes there and takes the first line that starts at or after it. About
// 32 probes find a line in a list of 40 GB, touching some 20 distinct pages.
#include "rules/breached_corpus.h"

#include <apr_sha1.h>

#include <algorithm>
#include <memory>

#include "platform/file_range.h"
#include "platform/posix_io.h"
#include "platform/wipe.h"

namespace larkspur::rules {
namespace {

using platform::Error;
using platform::Step;

// Longer than any well-formed line: 40 + ':' + 20 digits + CRLF.
constexpr std::size_t kProbeBytes = 128;
// Below this span the rest is read at once and scanned.
constexpr std::uint64_t kScanSpan = 4096;

char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }
bool is_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

// The line without its CR; its key compared with `hash` (case folded), as
// the list's order has it.
int compare_key(std::string_view line, const Sha1Hex& hash) {
  const std::size_t n = std::min(line.size(), hash.size());
  for (std::size_t i = 0; i < n; ++i) {
    const char c = upper(line[i]);
    if (c != hash[i])
      return static_cast<unsigned char>(c) < static_cast<unsigned char>(hash[i]) ? -1 : 1;
  }
  return line.size() < hash.size() ? -1 : 0;
}

// The count of a line that is exactly HASH:COUNT (any case of hex), else
// nothing: -1.
long long well_formed_count(std::string_view line) {
  if (line.size() < 42 || line.size() > 61 || line[40] != ':') return -1;
  for (std::size_t i = 0; i < 40; ++i) {
    if (!is_hex(upper(line[i]))) return -1;
  }
  unsigned long long count = 0;
  for (std::size_t i = 41; i < line.size(); ++i) {
    if (line[i] < '0' || line[i] > '9') return -1;
    count = std::min(count * 10 + static_cast<unsigned>(line[i] - '0'), 1ULL << 62);
  }
  return static_cast<long long>(count);
}

std::string_view strip_cr(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

class Corpus {
 public:
  platform::Status open(const std::string& path) {
    platform::Result<platform::UniqueFd> opened = platform::open_for_reading(path);
    if (!opened) return opened.error();
    fd_ = std::move(opened).value();
    const platform::Result<platform::FileInfo> found = platform::file_info(fd_.get());
    if (!found) return found.error();
    const platform::FileInfo& info = found.value();
    if (!info.regular) return platform::fixed_error(Step::kOpen, path, "not a regular file");
    size_ = info.size;
    path_ = path;
    platform::advise_scattered_reads(fd_.get());
    return {};
  }
  std::uint64_t size() const { return size_; }

  // Reads [offset, offset + length) clipped to the file into `buffer`.
  platform::Result<std::string_view> read(std::uint64_t offset, std::size_t length, char* buffer) {
    if (offset >= size_) return std::string_view();
    length = static_cast<std::size_t>(std::min<std::uint64_t>(length, size_ - offset));
    if (const platform::Status read = platform::read_at(fd_.get(), offset, buffer, length); !read) {
      platform::Error error = read.error();
      error.subject = path_;
      return error;
    }
    return std::string_view(buffer, length);
  }

  // The first line that starts at or after `at` (>= size_ when none does
  // within a probe's reach): its start and its text without CR/LF, cut at
  // the probe's end.
  struct Line {
    std::uint64_t start;
    std::string_view text;
  };
  platform::Result<Line> line_from(std::uint64_t at) {
    const std::uint64_t from = at == 0 ? 0 : at - 1;
    platform::Result<std::string_view> got = read(from, sizeof probe_, probe_);
    if (!got) return got.error();
    std::string_view bytes = got.value();
    if (at != 0) {
      const std::size_t lf = bytes.find('\n');
      if (lf == std::string_view::npos) return Line{size_, {}};
      bytes.remove_prefix(lf + 1);
    }
    const std::uint64_t start = from + (got.value().size() - bytes.size());
    if (start >= size_) return Line{size_, {}};
    return Line{start, strip_cr(bytes.substr(0, bytes.find('\n')))};
  }

 private:
  platform::UniqueFd fd_;
  std::uint64_t size_ = 0;
  std::string path_;
  char probe_[2 * kProbeBytes];
};

}  // namespace

Sha1Hex sha1_hex(std::string_view password) noexcept {
  apr_sha1_ctx_t context;
  apr_sha1_init(&context);
  apr_sha1_update_binary(&context, reinterpret_cast<const unsigned char*>(password.data()),
                         static_cast<unsigned int>(password.size()));
  unsigned char digest[APR_SHA1_DIGESTSIZE];
  apr_sha1_final(digest, &context);
  platform::secure_wipe(&context, sizeof context);
  static constexpr char kDigits[] = "0123456789ABCDEF";
  Sha1Hex hex;
  for (std::size_t i = 0; i < APR_SHA1_DIGESTSIZE; ++i) {
    hex[2 * i] = kDigits[digest[i] >> 4];
    hex[2 * i + 1] = kDigits[digest[i] & 15];
  }
  platform::secure_wipe(digest, sizeof digest);
  return hex;
}

platform::Result<std::uint64_t> breached_count(const std::string& path, const Sha1Hex& hash) {
  Corpus corpus;
  if (platform::Status opened = corpus.open(path); !opened) return opened.error();
  const auto found = [](std::string_view line) -> std::uint64_t {
    const long long count = well_formed_count(line);
    return count < 0 ? 0 : static_cast<std::uint64_t>(count);
  };
  // If the hash is listed, its line starts within [lo, hi).
  std::uint64_t lo = 0;
  std::uint64_t hi = corpus.size();
  while (hi - lo > kScanSpan) {
    const std::uint64_t mid = lo + (hi - lo) / 2;
    platform::Result<Corpus::Line> line = corpus.line_from(mid);
    if (!line) return line.error();
    const auto [start, text] = line.value();
    if (start >= hi) {
      hi = mid;
      continue;
    }
    const int order = compare_key(text, hash);
    if (order == 0) return found(text);
    if (order < 0) {
      lo = start + 1;
    } else {
      hi = start;
    }
  }
  // The rest at once: every line that starts in [lo, hi), whole.
  const std::uint64_t from = lo == 0 ? 0 : lo - 1;
  const std::size_t length = static_cast<std::size_t>(hi - from) + kProbeBytes;
  const auto buffer = std::make_unique<char[]>(length);
  platform::Result<std::string_view> got = corpus.read(from, length, buffer.get());
  if (!got) return got.error();
  std::string_view rest = got.value();
  std::uint64_t at = from;
  if (lo != 0) {
    const std::size_t lf = rest.find('\n');
    if (lf == std::string_view::npos) return std::uint64_t{0};
    rest.remove_prefix(lf + 1);
    at += lf + 1;
  }
  while (!rest.empty() && at < hi) {
    const std::size_t lf = rest.find('\n');
    const std::string_view text = strip_cr(rest.substr(0, lf));
    const int order = compare_key(text, hash);
    if (order == 0) return found(text);
    if (order > 0 || lf == std::string_view::npos) break;
    rest.remove_prefix(lf + 1);
    at += lf + 1;
  }
  return std::uint64_t{0};
}

namespace {

constexpr int kSamples = 1024;

std::string line_fault(std::uint64_t number, std::string_view what) {
  return "line " + std::to_string(number) + " " + std::string(what);
}

// Every line, in order, in blocks.
platform::Result<CorpusSurvey> read_all(Corpus& corpus) {
  CorpusSurvey survey;
  constexpr std::size_t kBlock = 1 << 20;
  const auto block = std::make_unique<char[]>(kBlock + kProbeBytes);
  std::string previous;
  std::string partial;
  for (std::uint64_t offset = 0; offset < corpus.size() && survey.fault.empty();) {
    platform::Result<std::string_view> got = corpus.read(offset, kBlock, block.get());
    if (!got) return got.error();
    offset += got.value().size();
    std::string_view bytes = got.value();
    while (!bytes.empty() && survey.fault.empty()) {
      const std::size_t lf = bytes.find('\n');
      const bool last = lf == std::string_view::npos && offset >= corpus.size();
      if (lf == std::string_view::npos && !last) {
        // A line across blocks: kept, never longer than a probe.
        if (partial.size() < kProbeBytes) partial.append(bytes.substr(0, kProbeBytes));
        break;
      }
      std::string_view piece = bytes.substr(0, lf);
      std::string joined;
      if (!partial.empty()) {
        joined = partial + std::string(piece.substr(0, kProbeBytes));
        partial.clear();
        piece = joined;
      }
      const std::string_view text = strip_cr(piece);
      ++survey.lines;
      if (well_formed_count(text) < 0) {
        survey.fault =
            line_fault(survey.lines, last ? "(the last) is not HASH:COUNT; is the file cut short?"
                                          : "is not HASH:COUNT");
      } else {
        std::string key(text.substr(0, 40));
        std::transform(key.begin(), key.end(), key.begin(), upper);
        if (key < previous)
          survey.fault = line_fault(survey.lines, "is out of order: the file is not sorted");
        previous = std::move(key);
      }
      bytes.remove_prefix(lf == std::string_view::npos ? bytes.size() : lf + 1);
    }
  }
  if (survey.fault.empty() && survey.lines == 0) survey.fault = "holds no line";
  survey.counted = true;
  return survey;
}

// Two neighbouring lines at each of kSamples places, the sampled keys in
// order across the file, and the last line whole.
platform::Result<CorpusSurvey> sample(Corpus& corpus) {
  CorpusSurvey survey;
  std::string previous;
  const auto check = [&](std::string_view line, const std::string& where) {
    if (well_formed_count(line) < 0) {
      survey.fault = "a line " + where + " is not HASH:COUNT";
      return false;
    }
    std::string key(line.substr(0, 40));
    std::transform(key.begin(), key.end(), key.begin(), upper);
    if (key < previous) {
      survey.fault = "lines " + where + " are out of order: the file is not sorted";
      return false;
    }
    previous = std::move(key);
    return true;
  };
  std::uint64_t sampled_bytes = 0;
  std::uint64_t sampled_lines = 0;
  std::uint64_t covered = 0;  // samples never go back over lines already checked
  for (int i = 0; i < kSamples; ++i) {
    const std::uint64_t at =
        std::max(covered, corpus.size() / kSamples * static_cast<std::uint64_t>(i));
    const std::string where = "near byte " + std::to_string(at);
    platform::Result<Corpus::Line> first = corpus.line_from(at);
    if (!first) return first.error();
    if (first.value().start >= corpus.size()) break;
    const std::string text(first.value().text);
    if (!check(text, where)) return survey;
    platform::Result<Corpus::Line> second = corpus.line_from(first.value().start + text.size() + 1);
    if (!second) return second.error();
    if (second.value().start >= corpus.size()) break;
    if (!check(second.value().text, where)) return survey;
    covered = second.value().start + second.value().text.size() + 1;
    sampled_bytes += second.value().start - first.value().start;
    ++sampled_lines;
  }
  char tail[kProbeBytes];
  const std::uint64_t from = corpus.size() - std::min<std::uint64_t>(corpus.size(), kProbeBytes);
  platform::Result<std::string_view> got = corpus.read(from, kProbeBytes, tail);
  if (!got) return got.error();
  std::string_view last = got.value();
  if (last.ends_with('\n')) last.remove_suffix(1);
  last = strip_cr(last.substr(last.rfind('\n') + 1));
  if (well_formed_count(last) < 0) {
    survey.fault = "the last line is not HASH:COUNT; is the file cut short?";
  }
  if (sampled_lines > 0) survey.lines = corpus.size() * sampled_lines / sampled_bytes;
  return survey;
}

}  // namespace

platform::Result<CorpusSurvey> survey_corpus(const std::string& path,
                                             std::uint64_t full_read_limit) {
  Corpus corpus;
  if (platform::Status opened = corpus.open(path); !opened) return opened.error();
  if (corpus.size() <= full_read_limit) return read_all(corpus);
  return sample(corpus);
}

}  // namespace larkspur::rules
