#include "log/activity_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <new>
#include <string>
#include <string_view>

#include "cgi/request_env.h"

namespace larkspur::logging {

std::string& log_file_path() {
  static std::string path;
  return path;
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
  try {
    // A path cut short at a NUL byte would name some other file.
    if (path.find('\0') != std::string::npos) return 0;
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    std::string line = format_stamp(local);
    line += ' ';
    line.append(message);
    line += '\n';
    // The whole line in one write(2) to an O_APPEND descriptor, so lines of
    // concurrent requests land whole and never interleave.
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0640);
    if (fd < 0) return 0;
    while (::write(fd, line.data(), line.size()) < 0 && errno == EINTR) {
    }
    ::close(fd);
  } catch (const std::bad_alloc&) {
    // Logging is best effort; the request goes on without the line.
  }
  return 0;
}

void log_activity(std::string_view event) {
  try {
    const cgi::RequestEnv& env = cgi::request_env();
    std::string message = "[";
    message += env.REMOTE_ADDR;
    message += "][";
    message += env.REMOTE_USER;
    message += "] ";
    message.append(event);
    ActivityLog log;
    log.path = log_file_path();
    log.write(message);
  } catch (const std::bad_alloc&) {
  }
}

}  // namespace larkspur::logging
