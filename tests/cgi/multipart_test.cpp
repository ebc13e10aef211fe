// SPDX-License-Identifier: Apache-2.0
// Multipart bodies decoded into form entries, uploads to temporary files,
// and the failures that must leave nothing behind.
#include "cgi/multipart.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "cgi/form.h"
#include "cgi/request_env.h"
#include "cgi/streams.h"
#include "support/process.h"
#include "support/trickle_buf.h"

namespace larkspur::cgi {
namespace {

using test::TrickleBuf;

struct Entry {
  std::string name;
  std::string value;
  std::string file_name = "";
  std::string content_type = "";
  std::string upload = "";  // the content of the temporary file, for an upload
};

class MultipartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = std::getenv("TMPDIR");
    if (old) saved_tmpdir_ = old;
    had_tmpdir_ = old != nullptr;
    tmp_ = std::make_unique<test::TempDir>();
    setenv("TMPDIR", tmp_->path().c_str(), 1);
    form_free_all();
  }
  void TearDown() override {
    form_free_all();
    set_request_stream(nullptr);
    EXPECT_TRUE(temp_files().empty()) << "form_free_all left an upload behind";
    if (had_tmpdir_) {
      setenv("TMPDIR", saved_tmpdir_.c_str(), 1);
    } else {
      unsetenv("TMPDIR");
    }
    tmp_.reset();
  }

  // Decodes `body` with CONTENT_LENGTH its size unless given, delivered
  // `piece` bytes at a time.
  DecodeResult decode(const std::string& body, const std::string& boundary = "B",
                      std::optional<std::int64_t> length = {}, std::size_t piece = 4096) {
    source_ = std::make_unique<TrickleBuf>(body, piece);
    stream_ = std::make_unique<std::istream>(source_.get());
    set_request_stream(stream_.get());
    request_env().boundary = boundary;
    request_env().content_length = length.value_or(static_cast<std::int64_t>(body.size()));
    return form_decode_multipart();
  }

  std::vector<std::string> temp_files() const {
    std::vector<std::string> files;
    for (const auto& f : std::filesystem::directory_iterator(tmp_->path())) {
      files.push_back(f.path().string());
    }
    return files;
  }

  void expect_entries(const std::vector<Entry>& expected) {
    const FormEntries& got = form_entries();
    ASSERT_EQ(got.size(), expected.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
      SCOPED_TRACE(i);
      const Entry& e = expected[i];
      EXPECT_EQ(got[i].name, e.name);
      EXPECT_EQ(got[i].file_name, e.file_name);
      EXPECT_EQ(got[i].content_type, e.content_type);
      if (e.file_name.empty()) {
        EXPECT_EQ(got[i].value, e.value);
        EXPECT_EQ(got[i].value_length, static_cast<std::int64_t>(e.value.size()));
        EXPECT_EQ(got[i].temp_file_name, "");
      } else {
        EXPECT_EQ(got[i].value, "");
        EXPECT_EQ(got[i].value_length, static_cast<std::int64_t>(e.upload.size()));
        // The file has no name: the entry holds its descriptor.
        EXPECT_EQ(got[i].temp_file_name, "/proc/self/fd/" + std::to_string(got[i].temp_fd.get()));
        EXPECT_TRUE(temp_files().empty());
        EXPECT_EQ(test::read_file(got[i].temp_file_name), e.upload);
        struct stat st;
        ASSERT_EQ(stat(got[i].temp_file_name.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
      }
    }
  }

  std::unique_ptr<test::TempDir> tmp_;
  std::string saved_tmpdir_;
  bool had_tmpdir_ = false;
  std::unique_ptr<TrickleBuf> source_;
  std::unique_ptr<std::istream> stream_;
};

std::string part(const std::string& disposition, const std::string& value,
                 const std::string& more_headers = "") {
  return "--B\r\nContent-Disposition: " + disposition + "\r\n" + more_headers + "\r\n" + value +
         "\r\n";
}

const std::string kEnd = "--B--\r\n";

struct BodyCase {
  const char* label;
  std::string body;
  std::vector<Entry> entries;
  std::string boundary = "B";
};

void PrintTo(const BodyCase& c, std::ostream* os) { *os << c.label; }

class DecodeBody : public MultipartTest, public ::testing::WithParamInterface<BodyCase> {};

TEST_P(DecodeBody, GivesTheseEntries) {
  const BodyCase& c = GetParam();
  // Chunks ending anywhere must not change the outcome.
  for (std::size_t piece : {1u, 7u, 100000u}) {
    SCOPED_TRACE(piece);
    form_free_all();
    ASSERT_EQ(decode(c.body, c.boundary, {}, piece), DECODE_SUCCESS);
    expect_entries(c.entries);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DecodeBody,
    ::testing::Values(
        BodyCase{"one_field", part("form-data; name=\"a\"", "x") + kEnd, {{"a", "x"}}},
        BodyCase{"preamble_ignored",
                 "preamble --X\r\n" + part("form-data; name=a", "1") + kEnd,
                 {{"a", "1"}}},
        BodyCase{"no_delimiter", "just text\r\n--X\r\n", {}}, BodyCase{"closing_only", "--B--", {}},
        BodyCase{
            "ends_after_delimiter_line", part("form-data; name=a", "1") + "--B\r\n", {{"a", "1"}}},
        BodyCase{"epilogue_never_read",
                 part("form-data; name=a", "1") + kEnd + "\x01garbage",
                 {{"a", "1"}}},
        BodyCase{"near_misses_in_value",
                 part("form-data; name=a", "p\r\n--X\r\n-\r\n--") + kEnd,
                 {{"a", "p\r\n--X\r\n-\r\n--"}}},
        BodyCase{"line_breaks_and_nul_kept",
                 part("form-data; name=a", std::string("x\r\ny\0z\n", 7)) + kEnd,
                 {{"a", std::string("x\r\ny\0z\n", 7)}}},
        BodyCase{"header_names_any_case",
                 "--B\r\ncontent-disposition: form-data; NAME=\"a\"\r\nCONTENT-TYPE: text/x\r\n\r\n"
                 "v\r\n" +
                     kEnd,
                 {{"a", "v", "", "text/x"}}},
        BodyCase{"unquoted_name_with_blank_and_empty_filename",
                 part("form-data; name=a b; filename=", "v") + kEnd,
                 {{"a b", "v"}}},
        BodyCase{
            "unwanted_attribute", part("form-data; name=\"a\"; size=3", "v") + kEnd, {{"a", "v"}}},
        BodyCase{"attachment_skipped",
                 part("attachment; name=\"s\"", "skip") + part("form-data; name=b", "2") + kEnd,
                 {{"b", "2"}}},
        BodyCase{"disposition_any_case", part("Form-Data; name=a", "1") + kEnd, {{"a", "1"}}},
        BodyCase{"disposition_with_trailing_blank", part("form-data ; name=a", "1") + kEnd, {}},
        BodyCase{"no_disposition", "--B\r\nContent-Type: text/plain\r\n\r\nv\r\n" + kEnd, {}},
        BodyCase{
            "content_type_main_value_only",
            part("form-data; name=a", "1", "Content-Type: text/plain; charset=utf-8\r\n") + kEnd,
            {{"a", "1", "", "text/plain"}}},
        BodyCase{"empty_header_ends_block",
                 part("form-data; name=a", "v", "X-Empty:\r\nContent-Type: text/x\r\n") + kEnd,
                 {{"a", "Content-Type: text/x\r\n\r\nv"}}},
        BodyCase{"later_disposition_replaces",
                 part("form-data; name=a; filename=f", "v",
                      "Content-Disposition: form-data; name=b\r\n") +
                     kEnd,
                 {{"b", "v"}}},
        BodyCase{"duplicates_in_order",
                 part("form-data; name=a", "1") + part("form-data; name=a", "2") + kEnd,
                 {{"a", "1"}, {"a", "2"}}},
        BodyCase{"empty_value", part("form-data; name=a", "") + kEnd, {{"a", ""}}},
        BodyCase{"boundary_start_repeats",
                 "--a--ab\r\nContent-Disposition: form-data; name=\"x\"\r\n\r\n1\r\n--ab--\r\n",
                 {{"x", "1"}},
                 "ab"},
        BodyCase{
            "value_overlaps_boundary",
            "--ab\r\nContent-Disposition: form-data; name=x\r\n\r\n\r\n--a\r\n--aab\r\n--ab\r\n"
            "Content-Disposition: form-data; name=y\r\n\r\n--ab-\r\n--ab--",
            {{"x", "\r\n--a\r\n--aab"}, {"y", "--ab-"}},
            "ab"},
        BodyCase{"upload_with_colon_in_name",
                 part("form-data; name=\"f\"; filename=\"a:b.txt\"", "file\r\nbody",
                      "Content-Type: text/plain\r\n") +
                     part("form-data; name=g", "after") + kEnd,
                 {{"f", "", "a:b.txt", "text/plain", "file\r\nbody"}, {"g", "after"}}},
        BodyCase{"empty_upload",
                 part("form-data; name=f; filename=e.bin", "") + kEnd,
                 {{"f", "", "e.bin", "", ""}}}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(MultipartTest, ContentLengthBoundsTheBody) {
  const std::string body = part("form-data; name=a", "12345") + kEnd;
  // Cut inside the value: the body ends inside a part.
  EXPECT_EQ(decode(body, "B", 50), DECODE_IO);
  EXPECT_LE(source_->taken(), 50u);
  form_free_all();
  // Negative or zero: nothing is read and nothing decoded.
  for (std::int64_t length : {0, -1}) {
    form_free_all();
    EXPECT_EQ(decode(body, "B", length), DECODE_SUCCESS);
    EXPECT_EQ(source_->taken(), 0u);
    EXPECT_TRUE(form_entries().empty());
  }
  // A longer CONTENT_LENGTH is harmless when the body closes properly.
  form_free_all();
  EXPECT_EQ(decode(body, "B", 1 << 20), DECODE_SUCCESS);
  EXPECT_EQ(form_entries().size(), 1u);
}

TEST_F(MultipartTest, DecodingStopsEarlyAtTheLimitsOfTheList) {
  const std::string field64k = part("form-data; name=v", std::string(kMaxValueInMemory, 'x'));
  std::string many, fifteen_and_more;
  for (std::size_t i = 0; i <= kMaxFormEntries; ++i) many += part("form-data; name=a", "");
  for (int i = 0; i < 17; ++i) fifteen_and_more += field64k;
  const std::string huge_tail(4 << 20, 'y');  // claimed, never needed
  const struct {
    const char* what;
    std::string body;
    DecodeResult result;
    std::size_t entries;
  } cases[] = {
      {"a field of 64 KiB", field64k + kEnd, DECODE_SUCCESS, 1},
      {"a field one byte longer, in a huge body",
       part("form-data; name=v", std::string(kMaxValueInMemory + 1, 'x')) + huge_tail,
       DECODE_NO_MEMORY, 0},
      {"1001 fields", many + kEnd, DECODE_NO_MEMORY, kMaxFormEntries},
      // A body over 1 MiB is refused before a byte of it is read.
      {"names and values past 1 MiB", fifteen_and_more + kEnd, DECODE_NO_MEMORY, 0},
      {"an upload of 4 MiB", part("form-data; name=f; filename=big", huge_tail) + kEnd,
       DECODE_NO_MEMORY, 0},
      {"an upload within the body's bound does not count",
       part("form-data; name=f; filename=big", std::string((1 << 20) - 70 * 1024, 'u')) + field64k +
           kEnd,
       DECODE_SUCCESS, 2},
  };
  for (const auto& c : cases) {
    form_free_all();
    EXPECT_EQ(decode(c.body, "B", {}, 65536), c.result) << c.what;
    EXPECT_EQ(form_entries().size(), c.entries) << c.what;
    EXPECT_TRUE(form_within_limits()) << c.what;
    // Refused as soon as the limit is passed, not at the end of the body.
    if (c.result != DECODE_SUCCESS && c.body.size() > huge_tail.size()) {
      EXPECT_LT(source_->taken(), std::size_t{1} << 20) << c.what;
    }
    if (c.body.size() > (std::size_t{1} << 20)) {
      EXPECT_EQ(source_->taken(), 0u) << c.what;
    }
  }
}

struct Truncation {
  const char* label;
  std::string body;
};

void PrintTo(const Truncation& c, std::ostream* os) { *os << c.label; }

class TruncatedBody : public MultipartTest, public ::testing::WithParamInterface<Truncation> {};

TEST_P(TruncatedBody, FailsAndLeavesNoTemporaryFile) {
  ASSERT_EQ(decode(GetParam().body), DECODE_IO);
  // Upload files never have a name, complete or not.
  EXPECT_TRUE(temp_files().empty());
}

const std::string kUpload = part("form-data; name=f; filename=x.bin", "complete upload");

INSTANTIATE_TEST_SUITE_P(
    Cases, TruncatedBody,
    ::testing::Values(
        Truncation{"inside_value", "--B\r\nContent-Disposition: form-data; name=a\r\n\r\nval"},
        Truncation{"inside_headers", "--B\r\nContent-Disposition: form-da"},
        Truncation{"inside_upload", kUpload + "--B\r\nContent-Disposition: form-data; name=g; "
                                              "filename=y.bin\r\n\r\npartial data\r\n--"},
        Truncation{"right_after_delimiter", kUpload + "--B"},
        Truncation{"one_byte_after_delimiter", kUpload + "--B\r"},
        Truncation{"right_after_first_delimiter", "--B"},
        Truncation{"skipped_part_unfinished", "--B\r\nContent-Disposition: attachment\r\n\r\nx"}),
    [](const auto& info) { return std::string(info.param.label); });

// Uploads live in memory: no directory is needed, nor any right over one.
TEST_F(MultipartTest, UploadsNeedNoTemporaryDirectory) {
  setenv("TMPDIR", (tmp_->path() + "/missing").c_str(), 1);
  EXPECT_EQ(decode(part("form-data; name=a", "1") + kUpload + kEnd), DECODE_SUCCESS);
  ASSERT_EQ(form_entries().size(), 2u);
  EXPECT_EQ(test::read_file(form_entries()[1].temp_file_name), "complete upload");
}

TEST_F(MultipartTest, FailedWriteOfUploadFailsAndDeletesIt) {
  // A file size limit turns the write into an error (EFBIG) instead of a signal.
  struct rlimit old_limit;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  const auto old_handler = signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old_limit;
  small.rlim_cur = 1000;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const DecodeResult r =
      decode(part("form-data; name=f; filename=big", std::string(300000, 'u')) + kEnd);
  setrlimit(RLIMIT_FSIZE, &old_limit);
  signal(SIGXFSZ, old_handler);
  EXPECT_EQ(r, DECODE_IO);
  EXPECT_TRUE(form_entries().empty());
  EXPECT_TRUE(temp_files().empty());
}

TEST_F(MultipartTest, LargeBinaryUploadArrivesByteForByte) {
  std::mt19937 rng(7);
  std::string data(700000, '\0');
  // Dense in CR, LF and dashes so that partial delimiters are everywhere.
  const std::string alphabet = std::string("\r\n-B\0x", 6);
  for (char& c : data) c = alphabet[rng() % alphabet.size()];
  for (std::size_t at; (at = data.find("\r\n--B")) != std::string::npos;) data[at] = 'x';
  const std::string body = part("form-data; name=f; filename=\"blob\"", data) + kEnd;
  for (std::size_t piece : {3000u, 65536u}) {
    form_free_all();
    ASSERT_EQ(decode(body, "B", {}, piece), DECODE_SUCCESS);
    expect_entries({{"f", "", "blob", "", data}});
  }
}

TEST_F(MultipartTest, HeaderTextsAreCutTo1023Bytes) {
  const std::string long_name(1100, 'n');
  // The header value is cut first: 'form-data; name="' leaves 1006 bytes of the name.
  const std::string cut_value = part("form-data; name=\"" + long_name + "\"", "1");
  // The attribute alone is cut to 1023 when the line leaves room for more.
  const std::string type(1500, 't');
  const std::string long_type = part("form-data; name=a", "2", "Content-Type: " + type + "\r\n");
  // A header name past 1023 bytes no longer matches anything.
  const std::string long_header =
      "--B\r\n" + std::string(1100, 'X') + "Content-Disposition: form-data; name=c\r\n\r\n3\r\n";
  ASSERT_EQ(decode(cut_value + long_type + long_header + kEnd), DECODE_SUCCESS);
  expect_entries({{long_name.substr(0, 1006), "1"}, {"a", "2", "", type.substr(0, 1023)}});
}

}  // namespace
}  // namespace larkspur::cgi
