// SPDX-License-Identifier: Apache-2.0
#include "cgi/form.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "cgi_fixture.h"
#include "support/process.h"

namespace larkspur::cgi {
namespace {

using namespace std::string_literals;

class FormTest : public testing::CgiTest {
 protected:
  void add(const std::string& name, const std::string& value) {
    FormEntry& e = form_append_entry();
    e.name = name;
    e.value = value;
  }
};

TEST_F(FormTest, GetValueCopiesUpToNulWithoutLineBreaks) {
  const struct {
    std::string value;
    std::size_t size;
    FormResult result;
    std::string copied;
  } cases[] = {
      {"secret", 81, FORM_SUCCESS, "secret"},
      {std::string(80, 'a'), 81, FORM_SUCCESS, std::string(80, 'a')},
      {std::string(81, 'a'), 81, FORM_TRUNCATED, std::string(80, 'a')},
      {std::string(80, 'a') + "\r\n", 81, FORM_SUCCESS, std::string(80, 'a')},
      {std::string(80, 'a') + "\r\nb", 81, FORM_TRUNCATED, std::string(80, 'a')},
      {"x\r\ny", 81, FORM_SUCCESS, "xy"},
      {"\r\n", 81, FORM_EMPTY, ""},
      {"", 81, FORM_EMPTY, ""},
      {"\0abc"s, 81, FORM_EMPTY, ""},
      {"ab\0cd"s, 81, FORM_SUCCESS, "ab"},
      {"abc", 1, FORM_TRUNCATED, ""},
      {"abc", 3, FORM_TRUNCATED, "ab"},
      {"abc", 4, FORM_SUCCESS, "abc"},
  };
  for (const auto& c : cases) {
    form_free_all();
    add("f", c.value);
    std::array<char, 128> buffer;
    buffer.fill('#');
    EXPECT_EQ(form_get_value("f", std::span(buffer.data(), c.size)), c.result)
        << "value size " << c.value.size() << ", buffer " << c.size;
    EXPECT_EQ(std::string(buffer.data()), c.copied);
    // Nothing is written past the buffer given.
    EXPECT_EQ(buffer[c.size], '#');
  }
}

TEST_F(FormTest, ZeroSizeBufferIsNeverWritten) {
  add("f", "abc");
  add("g", "");
  char guard = '#';
  EXPECT_EQ(form_get_value("f", std::span(&guard, 0)), FORM_TRUNCATED);
  EXPECT_EQ(form_get_value("g", std::span(&guard, 0)), FORM_EMPTY);
  EXPECT_EQ(form_get_value("h", std::span(&guard, 0)), FORM_NOT_FOUND);
  EXPECT_EQ(guard, '#');
}

TEST_F(FormTest, LookupsAreCaseSensitiveAndSeeTheFirstOccurrence) {
  add("Name", "x");
  add("a", "1");
  add("a", "2");
  std::array<char, 81> buffer;
  buffer.fill('#');
  EXPECT_EQ(form_has_field("Name"), FORM_SUCCESS);
  EXPECT_EQ(form_has_field("name"), FORM_NOT_FOUND);
  EXPECT_EQ(form_get_value("name", buffer), FORM_NOT_FOUND);
  EXPECT_EQ(buffer[0], '\0');
  EXPECT_EQ(form_get_value("a", buffer), FORM_SUCCESS);
  EXPECT_STREQ(buffer.data(), "1");
  ASSERT_NE(form_find("a"), nullptr);
  EXPECT_EQ(form_find("a"), &form_entries()[1]);
  EXPECT_EQ(form_find("a\0"s), nullptr);
}

TEST_F(FormTest, AppendKeepsEntriesWhenTheListGrows) {
  for (int i = 0; i < 100; ++i) add("n" + std::to_string(i), std::string(i, 'v'));
  ASSERT_EQ(form_entries().size(), 100u);
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(form_entries()[i].name, "n" + std::to_string(i));
    EXPECT_EQ(form_entries()[i].value, std::string(i, 'v'));
  }
  form_remove_last_entry();
  EXPECT_EQ(form_entries().size(), 99u);
}

TEST_F(FormTest, AttributeEscapingTouchesOnlyDoubleQuotes) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"", ""},
      {"a\"b", "a&#34;b"},
      {"\"\"", "&#34;&#34;"},
      {"/cgi-bin/x.cgi", "/cgi-bin/x.cgi"},
      {"<>&'", "<>&'"},
      {"a\0\"b"s, "a\0&#34;b"s},
  };
  for (const auto& c : cases) {
    out_.str("");
    EXPECT_EQ(write_attr_escaped(c.in), FORM_SUCCESS);
    EXPECT_EQ(out_.str(), c.out);
  }
}

TEST_F(FormTest, AttributeEscapingReportsAFailedStream) {
  out_.setstate(std::ios::badbit);
  EXPECT_EQ(write_attr_escaped("a\"b"), FORM_WRITE_FAILED);
  EXPECT_EQ(write_attr_escaped("\""), FORM_WRITE_FAILED);
  EXPECT_EQ(out_.str(), "");
}

TEST_F(FormTest, FreeAllClosesUploadFilesAndEmptiesTheList) {
  form_free_all();  // an empty list is fine
  larkspur::test::TempDir dir;
  const std::string upload = dir.file("upload");
  const int fd = ::open(upload.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  ::unlink(upload.c_str());
  add("plain", "v");
  FormEntry& file = form_append_entry();
  file.name = "file";
  file.file_name = "a.txt";
  file.temp_fd.reset(fd);
  file.temp_file_name = "/proc/self/fd/" + std::to_string(fd);
  // The list grows around it.
  for (int i = 0; i < 20; ++i) add("more", "v");
  ASSERT_EQ(form_find("file")->temp_fd.get(), fd);
  EXPECT_EQ(::fcntl(fd, F_GETFD), FD_CLOEXEC);

  form_free_all();
  EXPECT_TRUE(form_entries().empty());
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1) << "the upload's descriptor is still open";
  EXPECT_EQ(form_find("plain"), nullptr);
}

TEST_F(FormTest, LimitsOfWhatTheListHolds) {
  struct Case {
    const char* what;
    std::size_t entries, value_size;
    bool within;
  };
  const Case cases[] = {
      {"1000 entries", kMaxFormEntries, 1, true},
      {"1001 entries", kMaxFormEntries + 1, 1, false},
      {"a value of 64 KiB", 1, kMaxValueInMemory, true},
      {"a value of 64 KiB and one byte", 1, kMaxValueInMemory + 1, false},
      {"16 values of 64 KiB: 1 MiB and 16 name bytes", 16, kMaxValueInMemory, false},
      {"15 values of 64 KiB", 15, kMaxValueInMemory, true},
  };
  for (const Case& c : cases) {
    form_free_all();
    for (std::size_t i = 0; i < c.entries; ++i) add("n", std::string(c.value_size, 'v'));
    EXPECT_EQ(form_within_limits(), c.within) << c.what;
  }
  form_free_all();
  // Uploads hold their bytes in files: only the name counts.
  FormEntry& upload = form_append_entry();
  upload.name = "f";
  upload.value_length = 1'000'000'000;
  EXPECT_TRUE(form_within_limits());
  EXPECT_EQ(form_bytes_held(), 1u);
}

}  // namespace
}  // namespace larkspur::cgi
