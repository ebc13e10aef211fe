// SPDX-License-Identifier: Apache-2.0
// Multipart submissions through the running program, shaped as browsers
// send them, and the failures that must end the request without output and
// without leaving an upload file behind.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "cgi_site.h"

namespace larkspur::test {
namespace {

const std::string kChromium = "----WebKitFormBoundaryq7XkR2mN0dLw9Zt4";
const std::string kFirefox = "---------------------------41184676334";

struct Part {
  std::string headers;  // every header line, each ended by CR LF
  std::string content;
};

Part field(const std::string& name, const std::string& value) {
  return {"Content-Disposition: form-data; name=\"" + name + "\"\r\n", value};
}

// A file input: empty when the visitor chose no file.
Part file_input(const std::string& name, const std::string& file_name, const std::string& type,
                const std::string& content) {
  return {"Content-Disposition: form-data; name=\"" + name + "\"; filename=\"" + file_name +
              "\"\r\nContent-Type: " + type + "\r\n",
          content};
}

std::string multipart(const std::string& boundary, const std::vector<Part>& parts) {
  std::string body;
  for (const Part& p : parts)
    body += "--" + boundary + "\r\n" + p.headers + "\r\n" + p.content + "\r\n";
  return body + "--" + boundary + "--\r\n";
}

std::vector<Part> change_form(const std::string& new_password, std::vector<Part> extra = {}) {
  std::vector<Part> parts = {field("name", "alice"), field("op", "old-secret"),
                             field("p1", new_password), field("p2", new_password)};
  parts.insert(parts.end(), extra.begin(), extra.end());
  parts.push_back(field("chgpasswd", "Change"));
  return parts;
}

class MultipartProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    write_file(site_.auth_file(), htpasswd_line("alice", "old-secret") + "\n");
    site_.write_ini("[path]\nauth_user_file=htpasswd\nlog_file=activity.log\n");
  }

  // Posts `body` with CONTENT_LENGTH `length` (its size when negative); only
  // the first `sent` bytes reach standard input (all when negative).
  ProcessResult post(const std::string& boundary, const std::string& body, long length = -1,
                     long sent = -1, std::vector<std::string> extra = {}) {
    extra.push_back("REQUEST_METHOD=POST");
    extra.push_back("CONTENT_TYPE=multipart/form-data; boundary=" + boundary);
    extra.push_back("CONTENT_LENGTH=" +
                    std::to_string(length < 0 ? static_cast<long>(body.size()) : length));
    const std::string input = sent < 0 ? body : body.substr(0, static_cast<std::size_t>(sent));
    return run_process(site_.command(site_.environment(extra), input));
  }

  // Whatever the process left in its TMPDIR.
  std::vector<std::string> leftovers() const {
    std::vector<std::string> files;
    for (const auto& f : std::filesystem::directory_iterator(site_.tmp_dir())) {
      files.push_back(f.path().filename().string());
    }
    return files;
  }

  Site site_;
};

struct BrowserCase {
  const char* label;
  std::string boundary;
  std::vector<Part> extra;  // parts between the passwords and the submit button
};

void PrintTo(const BrowserCase& c, std::ostream* os) { *os << c.label; }

class BrowserBody : public MultipartProcess, public ::testing::WithParamInterface<BrowserCase> {};

TEST_P(BrowserBody, ChangesThePassword) {
  const BrowserCase& c = GetParam();
  const ProcessResult r = post(c.boundary, multipart(c.boundary, change_form("n3w-Pa55", c.extra)));
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, framed(plain_message("alice:changed password successfully")));
  EXPECT_TRUE(htpasswd_verifies(site_.auth_file(), "alice", "n3w-Pa55"));
  EXPECT_TRUE(leftovers().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Browsers, BrowserBody,
    ::testing::Values(
        BrowserCase{"chromium_with_empty_file_input",
                    kChromium,
                    {file_input("attachment", "", "application/octet-stream", "")}},
        BrowserCase{"firefox_with_empty_file_input",
                    kFirefox,
                    {file_input("attachment", "", "application/octet-stream", "")}},
        BrowserCase{"chromium_with_upload",
                    kChromium,
                    {file_input("attachment", "notes.txt", "text/plain",
                                "line\r\n--" + kChromium.substr(0, 20) + "\r\n" +
                                    std::string(200000, 'z'))}},
        BrowserCase{"firefox_with_upload",
                    kFirefox,
                    {file_input("attachment", "C:\\fakepath\\a:b.bin", "application/octet-stream",
                                std::string("\0\r\n-\xff", 5) + std::string(70000, '\r'))}}),
    [](const auto& info) { return std::string(info.param.label); });

struct Failure {
  const char* label;
  std::string body;
  long sent;  // bytes of the body that arrive; CONTENT_LENGTH is its whole size
};

void PrintTo(const Failure& c, std::ostream* os) { *os << c.label; }

class FailedBody : public MultipartProcess, public ::testing::WithParamInterface<Failure> {};

TEST_P(FailedBody, EndsWithoutOutputOrUploadFile) {
  const Failure& f = GetParam();
  const ProcessResult r = post(kChromium, f.body, -1, f.sent);
  EXPECT_EQ(r.exit_status, 255) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(leftovers().empty());
  EXPECT_TRUE(htpasswd_verifies(site_.auth_file(), "alice", "old-secret"));
}

const std::string kWithUpload = multipart(
    kChromium,
    change_form(
        "n3w-Pa55",
        {file_input("first", "one.bin", "application/octet-stream", std::string(100000, 'a')),
         file_input("second", "two.bin", "application/octet-stream", std::string(100000, 'b'))}));

INSTANTIATE_TEST_SUITE_P(
    Cases, FailedBody,
    ::testing::Values(Failure{"cut_inside_a_field", multipart(kChromium, change_form("n3w-Pa55")),
                              150},
                      // The first upload is complete, the second is cut off inside its content.
                      Failure{"cut_inside_the_second_upload", kWithUpload,
                              static_cast<long>(kWithUpload.find(std::string(100000, 'b')) + 5000)},
                      Failure{"cut_before_the_closing_delimiter", kWithUpload,
                              static_cast<long>(kWithUpload.size() - 10)}),
    [](const auto& info) { return std::string(info.param.label); });

// Uploads live in memory: the temporary directory plays no part.
TEST_F(MultipartProcess, UploadNeedsNoTemporaryDirectory) {
  const std::string body = multipart(
      kFirefox, change_form("n3w-Pa55", {file_input("f", "x.txt", "text/plain", "content")}));
  const ProcessResult r = post(kFirefox, body, -1, -1, {"TMPDIR=" + site_.tmp_dir() + "/missing"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_TRUE(htpasswd_verifies(site_.auth_file(), "alice", "n3w-Pa55"));
}

// The form has no file field: a body over 1 MiB is refused before a byte of
// it is read, a whole change inside it or not.
TEST_F(MultipartProcess, BodyOver1MiBIsRefusedUnread) {
  const std::string body = multipart(
      kChromium, change_form("n3w-Pa55", {file_input("f", "big.bin", "application/octet-stream",
                                                     std::string(2 << 20, 'u'))}));
  const ProcessResult r = post(kChromium, body);
  EXPECT_EQ(r.exit_status, 255) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(htpasswd_verifies(site_.auth_file(), "alice", "old-secret"));

  // Not one byte arrives: a process that waited for the body would sit out
  // the 60 s idle time.
  RunningProcess cgi(site_.command(site_.environment(
      {"REQUEST_METHOD=POST", "CONTENT_TYPE=multipart/form-data; boundary=" + kChromium,
       "CONTENT_LENGTH=" + std::to_string(body.size())})));
  const auto start = std::chrono::steady_clock::now();
  const int status = cgi.wait();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 255) << status;
}

}  // namespace
}  // namespace larkspur::test
