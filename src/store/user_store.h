// SPDX-License-Identifier: Apache-2.0
// Where the users' password hashes live, as the change transaction sees it:
// the AuthUserFile, a DBM file or a database. The transaction talks to this
// interface and to nothing else of the store.
//
// A change runs in two short holds of the lock and a hash check between them,
// which never holds the lock (a costly hash must not stall other changes):
//   lock -> throttled? -> count_failure -> unlock           (the guess counts)
//   look_up -> verify the old password                      (no lock)
//   lock -> look_up, still the verified hash? -> replace -> forget_failures
//        -> unlock
// The lock is whatever keeps two changes of the store apart: a lock file
// beside a file, or a database transaction whose reads are locked against a
// concurrent change. look_up without the lock sees one whole version of the
// store. replace() makes the new hash durable before it returns (file
// replaced and synced, or transaction committed); unlock() gives everything
// up, dropping (rolling back) what was not made durable. A store whose
// transaction spans lock to unlock allows one replace() per lock.
//
// The store also keeps the failed checks of old passwords, so that every
// front end sharing it shares one limit. count_failure and forget_failures
// are durable when they return, whatever unlock drops: a check killed while
// it runs has been counted already.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "platform/result.h"

namespace larkspur::store {

using platform::Result;
using platform::Status;

// How many failed checks refuse a name or an address, within how long.
struct ThrottleLimits {
  int max_failures = 10;              // per user name; 0 counts nothing
  int max_failures_per_address = 30;  // per client address; 0 counts nothing
  int window_seconds = 900;
};

// Who is trying: the submitted user name and the client's address.
struct Attempt {
  std::string_view name;
  std::string_view address;
  std::time_t now = 0;
};

class UserStore {
 public:
  virtual ~UserStore() = default;

  // What the store is, for the administrator: "the AuthUserFile /etc/x".
  virtual std::string describe() const = 0;

  // Takes the update lock, waiting at most `timeout`. Errors: Step::kMissing
  // when the store itself is not there, kLock when the lock cannot be
  // opened, kWait when it was not free in time, kConnect for a database.
  virtual Status lock(std::chrono::milliseconds timeout) = 0;

  // The user's current hash (the first record's), or the empty text when
  // there is no such user. Under the lock or not.
  virtual Result<std::string> look_up(std::string_view user) = 0;

  // Gives every record of `user` the new hash and makes it durable. On an
  // error the store holds what it held before.
  virtual Status replace(std::string_view user, std::string_view hash) = 0;

  // Gives the lock up; what was not made durable is dropped. Harmless when
  // not locked.
  virtual void unlock() noexcept = 0;

  // The failed checks, under the lock. A store whose counts cannot be read
  // or written loses counts, never a change: these do not fail.
  virtual bool throttled(const Attempt& attempt, const ThrottleLimits& limits) = 0;
  virtual void count_failure(const Attempt& attempt, const ThrottleLimits& limits) = 0;
  // A check succeeded: the name's count is cleared and the failure counted
  // for this attempt is taken back from the address.
  virtual void forget_failures(const Attempt& attempt, const ThrottleLimits& limits) = 0;
};

}  // namespace larkspur::store
