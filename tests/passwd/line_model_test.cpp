// SPDX-License-Identifier: Apache-2.0
// The store against a plain model of the line format, on random files and
// random changes: the searching and run-joining shortcuts must agree with
// splitting every line.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "passwd/password_file.h"

namespace larkspur::passwd {
namespace {

struct ModelLine {
  bool record;
  std::string user;
  std::string hash_or_text;
};

std::vector<ModelLine> model_of(const std::string& text) {
  std::vector<ModelLine> lines;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    std::size_t colon = line.find(':');
    if (colon == std::string::npos) {
      while (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back({false, "", line});
    } else {
      std::string hash = line.substr(colon + 1);
      lines.push_back({true, line.substr(0, colon), hash.substr(0, hash.find('\r'))});
    }
  }
  return lines;
}

std::string model_text(const std::vector<ModelLine>& lines) {
  std::string out;
  for (const ModelLine& l : lines) out += (l.record ? l.user + ":" : "") + l.hash_or_text + "\n";
  return out;
}

std::string random_text(std::mt19937& random, std::size_t max_size) {
  static constexpr char kBytes[] = {'a', 'b', ':', ':', '\r', '\n', '\n', '#', ' ', '\0'};
  std::uniform_int_distribution<std::size_t> size(0, max_size), byte(0, sizeof kBytes - 1);
  std::string text(size(random), ' ');
  for (char& c : text) c = kBytes[byte(random)];
  return text;
}

TEST(LineModelTest, RandomFilesAndChangesAgreeWithModel) {
  std::mt19937 random(20240601);
  for (int round = 0; round < 3000; ++round) {
    const std::string input = random_text(random, 60);
    std::vector<ModelLine> model = model_of(input);
    PasswordFile file;
    file.parse(input);
    for (int change = 0; change < 3; ++change) {
      const std::string user = random_text(random, 3);
      const std::string hash = "h" + std::to_string(change);
      std::string expected;
      for (const ModelLine& l : model) {
        if (l.record && l.user == user) {
          expected = l.hash_or_text;
          break;
        }
      }
      ASSERT_EQ(file.find_hash(user), expected) << testing::PrintToString(input);
      file.set_hash(user, hash);
      for (ModelLine& l : model) {
        if (l.record && l.user == user) l.hash_or_text = hash;
      }
    }
    std::string written;
    ASSERT_TRUE(file.text(written));
    ASSERT_EQ(written, model_text(model)) << testing::PrintToString(input);
    std::vector<ModelLine> records;
    file.for_each_record([&](const PasswordRecord& r) {
      records.push_back({true, std::string(r.user), std::string(r.hash)});
    });
    std::erase_if(model, [](const ModelLine& l) { return !l.record; });
    ASSERT_EQ(records.size(), model.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
      ASSERT_EQ(records[i].user, model[i].user);
      ASSERT_EQ(records[i].hash_or_text, model[i].hash_or_text);
    }
  }
}

}  // namespace
}  // namespace larkspur::passwd
