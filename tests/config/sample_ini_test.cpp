// SPDX-License-Identifier: Apache-2.0
// The INI file the Debian package installs, read by the program's own
// parser: a stray "=" or bracket in a comment would become a setting or a
// section, and its AuthUserFile must be the one Apache checks logins against.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>

#include "config/ini_file.h"
#include "config/settings.h"
#include "support/process.h"

namespace larkspur::config {
namespace {

const std::string kSource = LARKSPUR_SOURCE_DIR;

// "section_____***_______key" for each row of the settings table, and for
// each older name a row still reads.
std::set<std::string> table_keys() {
  std::set<std::string> keys;
  for (const SettingRow& row : setting_rows()) {
    keys.insert(std::string(row.section) + std::string(IniFile::kJoiner) + std::string(row.key));
    if (!row.alias.empty()) {
      keys.insert(std::string(row.section) + std::string(IniFile::kJoiner) +
                  std::string(row.alias));
    }
  }
  return keys;
}

TEST(SampleIni, EverySettingIsADocumentedKey) {
  IniFile ini;
  ASSERT_TRUE(ini.load(kSource + "/debian/larkspur.cgi.ini"));
  const std::set<std::string> keys = table_keys();
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
  EXPECT_EQ(ini.get("path", "log_file").rfind("/var/log/larkspur/", 0), 0u);
  const std::string conf = test::read_file(kSource + "/debian/apache2/larkspur.conf");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(conf, m, std::regex(R"(\n\s*AuthUserFile\s+(\S+)\n)")));
  EXPECT_EQ(m[1].str(), auth_file);
  // Debian's serve-cgi-bin.conf has one; a second makes Apache warn AH00671.
  EXPECT_FALSE(std::regex_search(conf, std::regex(R"(\n\s*ScriptAlias\s)")));
}

// Every row of the settings table is described under its section in the man
// page, so that a key added to one is not forgotten in the other.
TEST(ManPage, DescribesEveryRowOfTheSettingsTable) {
  const std::string man = test::read_file(kSource + "/docs/larkspur.cgi.8");
  for (const SettingRow& row : setting_rows()) {
    const std::string section(row.section), key(row.key);
    const auto at = man.find("\n.SS \"Section " + section + "\"\n");
    ASSERT_NE(at, std::string::npos) << section;
    const auto next = man.find("\n.S", at + 1);
    const auto entry = man.find("\n.B " + key + "\n", at);
    EXPECT_TRUE(entry != std::string::npos && entry < next) << section << " " << key;
  }
}

}  // namespace
}  // namespace larkspur::config
