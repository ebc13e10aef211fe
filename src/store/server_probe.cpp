// SPDX-License-Identifier: Apache-2.0
#include "store/server_probe.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/posix_io.h"

namespace larkspur::store {
namespace {

using Clock = std::chrono::steady_clock;
using platform::fixed_error;
using platform::Status;
using platform::Step;

int milliseconds_left(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

// Waits for `events` on `fd` until the deadline: 1 ready, 0 timed out, -1 error.
int wait_for(int fd, short events, Clock::time_point deadline) {
  pollfd p{fd, events, 0};
  for (;;) {
    const int ready = ::poll(&p, 1, milliseconds_left(deadline));
    if (ready >= 0 || errno != EINTR) return ready > 0 ? 1 : ready;
  }
}

Status talk(int fd, const sockaddr* address, socklen_t length, const std::string& subject,
            Clock::time_point deadline) {
  if (::connect(fd, address, length) != 0) {
    if (errno != EINPROGRESS) return platform::system_error(Step::kConnect, subject);
    const int ready = wait_for(fd, POLLOUT, deadline);
    if (ready < 0) return platform::system_error(Step::kConnect, subject);
    if (ready == 0)
      return fixed_error(Step::kConnect, subject, "the server did not answer in time");
    int error = 0;
    socklen_t size = sizeof error;
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
    if (error != 0) return platform::Error{Step::kConnect, subject, error, {}, {}};
  }
  const int ready = wait_for(fd, POLLIN, deadline);
  if (ready < 0) return platform::system_error(Step::kConnect, subject);
  if (ready == 0) return fixed_error(Step::kConnect, subject, "the server did not answer in time");
  return {};
}

}  // namespace

Status wait_for_greeting(const ServerAddress& address, Clock::time_point deadline) {
  if (!address.socket_path.empty()) {
    const std::string subject = "the socket " + address.socket_path;
    sockaddr_un un{};
    un.sun_family = AF_UNIX;
    if (address.socket_path.size() >= sizeof un.sun_path) {
      return fixed_error(Step::kConnect, subject, "the path is too long for a socket");
    }
    std::memcpy(un.sun_path, address.socket_path.data(), address.socket_path.size());
    platform::UniqueFd fd{::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)};
    if (!fd) return platform::system_error(Step::kConnect, subject);
    return talk(fd.get(), reinterpret_cast<const sockaddr*>(&un), sizeof un, subject, deadline);
  }
  const std::string subject = "the server " + address.host + " port " + address.port;
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(address.host.c_str(), address.port.c_str(), &hints, &found) != 0 || !found) {
    return fixed_error(Step::kConnect, subject, "the name does not resolve");
  }
  Status last = fixed_error(Step::kConnect, subject, "no address to connect to");
  for (const addrinfo* a = found; a; a = a->ai_next) {
    platform::UniqueFd fd{
        ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol)};
    if (!fd) continue;
    last = talk(fd.get(), a->ai_addr, a->ai_addrlen, subject, deadline);
    if (last) break;
  }
  ::freeaddrinfo(found);
  return last;
}

}  // namespace larkspur::store
