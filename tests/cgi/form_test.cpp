#include "cgi/form.h"

#include <gtest/gtest.h>

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

TEST_F(FormTest, FreeAllDeletesUploadFilesAndEmptiesTheList) {
  form_free_all();  // an empty list is fine
  larkspur::test::TempDir dir;
  const std::string upload = dir.file("upload");
  larkspur::test::write_file(upload, "content");
  add("plain", "v");
  FormEntry& file = form_append_entry();
  file.name = "file";
  file.file_name = "a.txt";
  file.temp_file_name = upload;
  // A file that is already gone is no reason to stop.
  FormEntry& gone = form_append_entry();
  gone.name = "gone";
  gone.temp_file_name = dir.file("missing");

  form_free_all();
  EXPECT_TRUE(form_entries().empty());
  EXPECT_FALSE(larkspur::test::file_exists(upload));
  EXPECT_EQ(form_find("plain"), nullptr);
}

}  // namespace
}  // namespace larkspur::cgi
