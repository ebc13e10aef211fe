// SPDX-License-Identifier: Apache-2.0
// Each new-password rule refusing and accepting at its edges, with the real
// libpwquality and cracklib dictionary, and the breached-password search on
// lists the test makes: a few million CRLF lines, and damaged ones.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "rules/breached_corpus.h"
#include "rules/new_password_rules.h"
#include "support/process.h"

namespace larkspur::rules {
namespace {

using test::TempDir;
using test::write_file;

std::string hex(const Sha1Hex& h) { return std::string(h.begin(), h.end()); }
Sha1Hex as_hash(std::string_view text) {
  Sha1Hex h;
  std::copy_n(text.begin(), h.size(), h.begin());
  return h;
}

// Sorted HASH:COUNT lines of `passwords`, the i-th seen counts[i] times.
std::string corpus_of(const std::vector<std::pair<std::string, int>>& passwords,
                      std::string_view end = "\r\n") {
  std::vector<std::string> lines;
  for (const auto& [password, count] : passwords) {
    lines.push_back(hex(sha1_hex(password)) + ":" + std::to_string(count));
  }
  std::sort(lines.begin(), lines.end());
  std::string text;
  for (const std::string& line : lines) text += line + std::string(end);
  return text;
}

TEST(Rules, Sha1IsThePublishedUpperCaseHex) {
  EXPECT_EQ(hex(sha1_hex("password1")), "E38AD214943DAAD1D64C102FAEC29DE4AFE9DA3D");
  EXPECT_EQ(hex(sha1_hex("")), "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709");
}

struct RuleCase {
  std::string label;
  std::string user, old_password, new_password;
  Rule rule;
  std::string reason;  // part of libpwquality's reason
};

TEST(Rules, EachRuleAtItsEdges) {
  TempDir dir;
  const std::string quality = dir.file("pwquality.conf");
  write_file(quality, "difok = 5\ndictcheck = 1\nusercheck = 1\n");
  const std::string corpus = dir.file("breached.txt");
  write_file(corpus, corpus_of({{"Zq7!breach-four", 4}, {"Zq7!breach-five", 5}, {"password1", 9}}));
  RuleSettings on{quality, corpus, 5, true};
  const std::vector<RuleCase> cases = {
      {"accepted", "alice", "Old#pass-77", "Xk4#pq9!vR2mzW7q", Rule::kNone, ""},
      {"equal to the old one", "alice", "Old#pass-77", "Old#pass-77", Rule::kSameAsOld, ""},
      {"the name in another case", "alice", "Old#pass-77", "9zALiCe#Qw", Rule::kHoldsUserName, ""},
      {"a name that is not within", "alice", "Old#pass-77", "9zALiC#eQw", Rule::kNone, ""},
      {"the name reversed", "alice", "Old#pass-77", "9zecila#Qw", Rule::kQuality, "user name"},
      {"a dictionary word", "alice", "Old#pass-77", "elephants", Rule::kQuality, "dictionary"},
      {"similar to the old one", "alice", "Tq8#mv2LpXw", "Tq8#mv2LpXz", Rule::kQuality, "similar"},
      {"breached below the threshold", "alice", "Old#pass-77", "Zq7!breach-four", Rule::kNone, ""},
      {"breached at the threshold", "alice", "Old#pass-77", "Zq7!breach-five", Rule::kBreached, ""},
  };
  for (const RuleCase& c : cases) {
    SCOPED_TRACE(c.label);
    const Verdict v = check_new_password(on, c.user, c.old_password, c.new_password);
    EXPECT_EQ(v.rule, c.rule) << v.reason;
    EXPECT_NE(v.reason.find(c.reason), std::string::npos) << v.reason;
    // With no key set, nothing beyond today's checks refuses.
    EXPECT_EQ(check_new_password({}, c.user, c.old_password, c.new_password).rule, Rule::kNone);
  }
  // A list or configuration that cannot be read fails the check, never passes it.
  for (RuleSettings missing : {RuleSettings{dir.file("none.conf"), "", 1, false},
                               RuleSettings{"", dir.file("none.txt"), 1, false}}) {
    const Verdict v = check_new_password(missing, "alice", "a", "Xk4#pq9!vR2mzW7q");
    EXPECT_EQ(v.rule, Rule::kUnchecked);
    ASSERT_TRUE(v.error.has_value());
  }
}

// Sorted, SHA-1-like keys spread evenly over the hash space, CRLF ends.
struct BigCorpus {
  static constexpr std::uint64_t kLines = 2'000'000;
  std::string path;

  static std::string key(std::uint64_t i) {
    char buffer[41];
    const std::uint64_t high = (i + 1) * (~0ULL / (kLines + 2));
    std::snprintf(buffer, sizeof buffer, "%016llX%024llX", static_cast<unsigned long long>(high),
                  static_cast<unsigned long long>(i * 2654435761ULL));
    return std::string(buffer, 40);
  }

  explicit BigCorpus(const std::string& at) : path(at) {
    std::ofstream out(path, std::ios::binary);
    std::string block;
    for (std::uint64_t i = 0; i < kLines; ++i) {
      block += key(i) + ":" + std::to_string(i % 1000 + 1) + "\r\n";
      if (block.size() > (1 << 20)) {
        out << block;
        block.clear();
      }
    }
    out << block;
  }
};

TEST(Rules, BreachedSearchFindsEveryPlaceInALargeList) {
  TempDir dir;
  const BigCorpus corpus(dir.file("big.txt"));
  struct Probe {
    std::string label;
    std::string hash;
    std::uint64_t count;
  };
  const std::string between = BigCorpus::key(1234566).substr(0, 39) + "F";
  ASSERT_LT(between, BigCorpus::key(1234567));
  std::vector<Probe> probes = {
      {"first line", BigCorpus::key(0), 1},
      {"last line", BigCorpus::key(BigCorpus::kLines - 1), (BigCorpus::kLines - 1) % 1000 + 1},
      {"a line in the middle", BigCorpus::key(1234567), 1234567 % 1000 + 1},
      {"lower case asked", BigCorpus::key(77), 78},
      {"between two lines", between, 0},
      {"before the first", std::string(40, '0'), 0},
      {"after the last", std::string(40, 'F'), 0},
  };
  for (char& c : probes[3].hash) c = static_cast<char>(std::tolower(c));
  for (const Probe& p : probes) {
    SCOPED_TRACE(p.label);
    std::string upper = p.hash;
    for (char& c : upper) c = static_cast<char>(std::toupper(c));
    const platform::Result<std::uint64_t> count = breached_count(corpus.path, as_hash(upper));
    ASSERT_TRUE(count.ok()) << count.error().reason();
    EXPECT_EQ(count.value(), p.count);
  }
  const platform::Result<CorpusSurvey> all = survey_corpus(corpus.path);
  ASSERT_TRUE(all.ok());
  EXPECT_EQ(all.value().lines, BigCorpus::kLines);
  EXPECT_TRUE(all.value().counted);
  EXPECT_EQ(all.value().fault, "");
  const platform::Result<CorpusSurvey> sampled = survey_corpus(corpus.path, 0);
  ASSERT_TRUE(sampled.ok());
  EXPECT_FALSE(sampled.value().counted);
  EXPECT_EQ(sampled.value().fault, "");
  EXPECT_NEAR(static_cast<double>(sampled.value().lines), BigCorpus::kLines,
              BigCorpus::kLines / 50);
}

// Damaged lists: --check names the damage, whether it reads all or samples;
// a search never fails on one nor finds a hash the list does not hold.
TEST(Rules, DamagedListsAreReportedAndNeverRefuseWrongly) {
  TempDir dir;
  const std::string good =
      corpus_of({{"alpha-1", 3}, {"bravo-2", 3}, {"charlie-3", 3}, {"delta-4", 3}, {"echo-5", 3}});
  const std::string lf = corpus_of({{"alpha-1", 3}, {"bravo-2", 3}}, "\n");
  std::string unsorted = good;
  // Lines of 44 bytes: the first and the third change places.
  std::swap_ranges(unsorted.begin(), unsorted.begin() + 44, unsorted.begin() + 88);
  struct Damaged {
    std::string label, text, fault;
  };
  const std::vector<Damaged> lists = {
      {"LF line ends", lf, ""},
      {"no end after the last line", good.substr(0, good.size() - 2), ""},
      {"unsorted", unsorted, "out of order"},
      {"a truncated last line", good.substr(0, good.size() - 20), "not HASH:COUNT"},
      {"a line that is not HASH:COUNT", good.substr(0, 88) + "password1:7\r\n" + good.substr(88),
       "not HASH:COUNT"},
      {"a count that is no number", good.substr(0, 129) + "x\r\n" + good.substr(132),
       "not HASH:COUNT"},
      {"empty", "", "no line"},
      {"one endless line", std::string(300000, 'A'), "not HASH:COUNT"},
  };
  const std::string path = dir.file("list.txt");
  for (const Damaged& d : lists) {
    SCOPED_TRACE(d.label);
    write_file(path, d.text);
    for (const std::uint64_t limit : {std::uint64_t{1} << 30, std::uint64_t{0}}) {
      const platform::Result<CorpusSurvey> survey = survey_corpus(path, limit);
      ASSERT_TRUE(survey.ok());
      if (d.fault.empty()) {
        EXPECT_EQ(survey.value().fault, "");
      } else {
        EXPECT_NE(survey.value().fault.find(d.fault), std::string::npos) << survey.value().fault;
      }
    }
    for (const char* absent : {"password1", "foxtrot-6", "", "Xk4#pq9!vR2mzW7q"}) {
      const platform::Result<std::uint64_t> count = breached_count(path, sha1_hex(absent));
      ASSERT_TRUE(count.ok());
      EXPECT_EQ(count.value(), 0u) << absent;
    }
  }
}

}  // namespace
}  // namespace larkspur::rules
