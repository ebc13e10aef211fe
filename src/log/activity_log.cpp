// SPDX-License-Identifier: Apache-2.0
#include "log/activity_log.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <string_view>

#include "cgi/request_env.h"
#include "platform/ascii.h"
#include "platform/diagnose.h"
#include "platform/no_memory.h"
#include "platform/posix_io.h"

namespace larkspur::logging {

std::string& log_file_path() {
  static std::string path;
  return path;
}

namespace {

struct KeptLog {
  std::string path;
  platform::UniqueFd fd;
  platform::Status opened;  // why it could not be opened
};

KeptLog& kept_log() {
  static KeptLog log;
  return log;
}

}  // namespace

bool request_carries_fields() {
  const char* method = std::getenv("REQUEST_METHOD");
  const char* query = std::getenv("QUERY_STRING");
  if (method == nullptr) return false;
  if (platform::ascii_iequals(method, "POST")) return true;
  return platform::ascii_iequals(method, "GET") && query != nullptr && *query != '\0';
}

void keep_log_open(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) return;
  // Only a request with fields can log: no other creates the file.
  platform::unless_no_memory([&] {
    std::error_code error;
    const auto status = std::filesystem::symlink_status(path, error);
    if (status.type() == std::filesystem::file_type::not_found && !request_carries_fields()) {
      return;
    }
    KeptLog& log = kept_log();
    log.path = path;
    platform::Result<platform::UniqueFd> opened = platform::open_for_appending(path);
    if (opened) {
      log.fd = std::move(opened).value();
    } else {
      log.opened = opened.error();
    }
  });
}

std::string format_stamp(const std::tm& local) {
  char buffer[128] = {};
  // Widened so that no field value, however odd, can overflow the sum.
  std::snprintf(buffer, sizeof buffer, "[%04lld-%02lld-%02d %02d:%02d:%02d]",
                static_cast<long long>(local.tm_year) + 1900,
                static_cast<long long>(local.tm_mon) + 1, local.tm_mday, local.tm_hour,
                local.tm_min, local.tm_sec);
  return buffer;
}

int ActivityLog::write(std::string_view message) const {
  if (path.empty()) return -1;
  // Logging is best effort; the request goes on without the line.
  platform::unless_no_memory([&] {
    // A path cut short at a NUL byte would name some other file.
    if (path.find('\0') != std::string::npos) return;
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    std::string line = format_stamp(local);
    line += ' ';
    line.append(message);
    line += '\n';
    // The whole line in one write(2) to an O_APPEND descriptor, so lines of
    // concurrent requests land whole and never interleave. Only a regular
    // file is opened, and never waited for: a FIFO or device at the path
    // would hang the request while it holds the update lock.
    const KeptLog& kept = kept_log();
    platform::Status written = kept.opened;
    if (kept.path != path) {
      const platform::Result<platform::UniqueFd> opened = platform::open_for_appending(path);
      written = opened ? platform::write_all(opened.value().get(), line)
                       : platform::Status(opened.error());
    } else if (written) {
      written = platform::write_all(kept.fd.get(), line);
    }
    // A log rotated into a file of another owner stops every line: say so.
    if (!written) {
      platform::diagnose("cannot write the log " + path + ": " + written.error().reason());
    }
  });
  return 0;
}

std::string escape_log_text(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xf];
    } else {
      out += c;
    }
  }
  return out;
}

void log_activity(std::string_view event) {
  const cgi::RequestEnv& env = cgi::request_env();
  ActivityLog log;
  platform::unless_no_memory([&] {
    std::string message = "[";
    message += escape_log_text(env.REMOTE_ADDR);
    message += "][";
    message += escape_log_text(env.REMOTE_USER);
    message += "] ";
    message.append(event);
    log.path = log_file_path();
    log.write(message);
  });
}

}  // namespace larkspur::logging
