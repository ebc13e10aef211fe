// SPDX-License-Identifier: Apache-2.0
// The INI file the Debian package installs, read by the program's own
// parser: a stray "=" or bracket in a comment would become a setting or a
// section, and its AuthUserFile must be the one Apache checks logins against.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>

#include "config/ini_file.h"
#include "support/process.h"

namespace larkspur::config {
namespace {

const std::string kSource = LARKSPUR_SOURCE_DIR;

struct Key {
  std::string section;
  std::string key;
  auto operator<=>(const Key&) const = default;
};

// Each row of the key table of the configuration reference.
std::set<Key> reference_keys() {
  const std::string reference = test::read_file(kSource + "/docs/configuration.md");
  const std::regex row(R"(\n\| ([a-z]+) \| ([a-z_0-9]+) \|)");
  std::set<Key> keys;
  for (auto it = std::sregex_iterator(reference.begin(), reference.end(), row);
       it != std::sregex_iterator(); ++it) {
    keys.insert({(*it)[1].str(), (*it)[2].str()});
  }
  return keys;
}

// "section_____***_______key" for each row of that key table.
std::set<std::string> documented_keys() {
  std::set<std::string> keys;
  for (const Key& k : reference_keys())
    keys.insert(k.section + std::string(IniFile::kJoiner) + k.key);
  return keys;
}

TEST(SampleIni, EverySettingIsADocumentedKey) {
  IniFile ini;
  ASSERT_TRUE(ini.load(kSource + "/debian/larkspur.cgi.ini"));
  const std::set<std::string> keys = documented_keys();
  ASSERT_GT(keys.size(), 15u);
  for (const auto& [key, value] : ini.entries) {
    EXPECT_TRUE(keys.contains(key)) << key << " = " << value;
  }
}

TEST(SampleIni, ApacheChecksLoginsAgainstTheFileItEdits) {
  IniFile ini;
  ASSERT_TRUE(ini.load(kSource + "/debian/larkspur.cgi.ini"));
  const std::string auth_file = ini.get("path", "auth_user_file");
  EXPECT_EQ(auth_file.rfind("/var/lib/larkspur/", 0), 0u) << auth_file;
  EXPECT_EQ(ini.get("path", "log_file").rfind("/var/lib/larkspur/", 0), 0u);
  const std::string conf = test::read_file(kSource + "/debian/apache2/larkspur.conf");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(conf, m, std::regex(R"(\n\s*AuthUserFile\s+(\S+)\n)")));
  EXPECT_EQ(m[1].str(), auth_file);
  // Debian's serve-cgi-bin.conf has one; a second makes Apache warn AH00671.
  EXPECT_FALSE(std::regex_search(conf, std::regex(R"(\n\s*ScriptAlias\s)")));
}

// Every key of the reference's table is described under its section in the man
// page, so that a key added to one is not forgotten in the other.
TEST(ManPage, DescribesEveryKeyOfTheReference) {
  const std::string man = test::read_file(kSource + "/docs/larkspur.cgi.8");
  const std::set<Key> keys = reference_keys();
  ASSERT_GT(keys.size(), 15u);
  for (const Key& k : keys) {
    const auto section = man.find("\n.SS \"Section " + k.section + "\"\n");
    ASSERT_NE(section, std::string::npos) << k.section;
    const auto next = man.find("\n.S", section + 1);
    const auto entry = man.find("\n.B " + k.key + "\n", section);
    EXPECT_TRUE(entry != std::string::npos && entry < next) << k.section << " " << k.key;
  }
}

}  // namespace
}  // namespace larkspur::config
