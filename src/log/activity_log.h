// SPDX-License-Identifier: Apache-2.0
// The activity log: one dated line per outcome of a submitted request.
#pragma once

#include <ctime>
#include <string>
#include <string_view>

namespace larkspur::logging {

// Set once by the page driver from [path] log_file; empty means no logging.
std::string& log_file_path();

// Opens the log at `path` for appending, creating it when it does not exist,
// and keeps the descriptor for the rest of the process: every line to that
// path goes through it, so that the process can give up every right over
// the path itself. A missing log is created only for a request that carries
// fields (a POST, or a GET with a query), since no other writes a line. A
// log that cannot be opened is named when a line is due.
void keep_log_open(const std::string& path);

class ActivityLog {
 public:
  // -1 when `path` is empty; 0 otherwise, whether or not the line landed.
  int write(std::string_view message) const;
  std::string path;
};

// "[YYYY-MM-DD hh:mm:ss]". May throw std::bad_alloc.
std::string format_stamp(const std::tm& local);

// Bytes 0x00-0x1F and 0x7F as "\xHH" (lower-case hex), every other byte as
// it is: text from the request can then neither end a line nor carry
// terminal escapes into the log. For the user name, REMOTE_ADDR and REMOTE_USER.
std::string escape_log_text(std::string_view text);

// Appends "[stamp] [REMOTE_ADDR][REMOTE_USER] event\n" to the log, the two
// variables escaped. A user name inside `event` must be escaped by the caller.
void log_activity(std::string_view event);

}  // namespace larkspur::logging
