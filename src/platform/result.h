// SPDX-License-Identifier: Apache-2.0
// The error contract, one for the whole program.
//
// A function that can fail for a reason outside the program (a file, a lock,
// a database, the INI file) returns Result<T>: either its value, or an Error
// that says what failed and why. The reason is taken where the system gave
// it, in the module that made the call: errno (the Windows code maps its
// system errors to errno values there), or a fixed text where the system
// said nothing (a file that is not regular, a store without a record). No
// caller reads errno after calling into another module, and nobody looks at
// a file again afterwards to guess why it failed: the reason travels with
// the result.
//
// An Error never holds a password, a hash or a request body: its text goes
// to the web server's error log and to --check.
//
// Running out of memory is not an Error: std::bad_alloc propagates, and the
// page driver ends the response where it is.
#pragma once

#include <cassert>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace larkspur::platform {

// Which step failed, for callers that answer steps differently (a lock that
// cannot be opened and one that is busy give different pages).
enum class Step : unsigned char {
  kOther,
  kMissing,  // the store, its directory or the INI file is not there
  kOpen,     // opening or creating
  kRead,
  kWrite,    // writing, syncing or replacing
  kLock,     // the update lock could not be opened or created
  kWait,     // the update lock was not free in time
  kConnect,  // a database could not be reached
  kQuery,    // a statement failed or changed the wrong number of rows
};

struct Error {
  Step step = Step::kOther;
  // What the failure concerns, for the administrator: usually a path.
  std::string subject;
  // The system's error number, an errno value, or 0 when `fixed` says why.
  int code = 0;
  // A reason the system did not give, as a static text.
  std::string_view fixed;
  // A reason made at run time, such as a database driver's message; used
  // when `code` is 0 and `fixed` empty.
  std::string message;

  // The reason in words: the system's text for `code`, else `fixed`, else
  // `message`.
  std::string reason() const;
};

// errno now, in an Error; for the module that made the failing call.
Error system_error(Step step, std::string subject);
// A reason of our own.
Error fixed_error(Step step, std::string subject, std::string_view why);
// A reason made at run time.
Error message_error(Step step, std::string subject, std::string why);

template <typename T = void>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}      // NOLINT: implicit
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}  // NOLINT: implicit

  bool ok() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }
  T& value() & {
    assert(ok());
    return std::get<0>(state_);
  }
  const T& value() const& {
    assert(ok());
    return std::get<0>(state_);
  }
  T&& value() && {
    assert(ok());
    return std::get<0>(std::move(state_));
  }
  const Error& error() const& {
    assert(!ok());
    return std::get<1>(state_);
  }

 private:
  std::variant<T, Error> state_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::move(error)), failed_(true) {}  // NOLINT: implicit

  bool ok() const noexcept { return !failed_; }
  explicit operator bool() const noexcept { return ok(); }
  const Error& error() const& {
    assert(!ok());
    return error_;
  }

 private:
  Error error_;
  bool failed_ = false;
};

using Status = Result<void>;

}  // namespace larkspur::platform
