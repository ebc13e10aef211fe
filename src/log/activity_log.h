// The activity log: one dated line per outcome of a submitted request.
#pragma once

#include <ctime>
#include <string>
#include <string_view>

namespace larkspur::logging {

// Set once by the page driver from [path] log_file; empty means no logging.
std::string& log_file_path();

class ActivityLog {
 public:
  // -1 when `path` is empty; 0 otherwise, whether or not the line landed.
  int write(std::string_view message) const;
  std::string path;
};

// "[YYYY-MM-DD hh:mm:ss]". May throw std::bad_alloc.
std::string format_stamp(const std::tm& local);

// Appends "[stamp] [REMOTE_ADDR][REMOTE_USER] event\n" to the log.
void log_activity(std::string_view event);

}  // namespace larkspur::logging
