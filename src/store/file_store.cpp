// SPDX-License-Identifier: Apache-2.0
#include "store/file_store.h"

namespace larkspur::store {

using platform::Step;

namespace {

// The reader's own reason, told as a failure of this store.
platform::Error as_store_error(platform::Error error, Step step, std::string subject) {
  error.step = step;
  error.subject = std::move(subject);
  return error;
}

}  // namespace

FileStore::FileStore(std::string auth_user_file) : path_(std::move(auth_user_file)), lock_(path_) {}

std::string FileStore::describe() const { return "the AuthUserFile " + path_; }

Status FileStore::lock(std::chrono::milliseconds timeout) {
  // The counts are read again under each lock: others may have changed them.
  throttle_.reset();
  const std::string lock_name = "the update lock " + platform::UpdateLock::lock_file_path(path_);
  if (const Status opened = lock_.open(); !opened) {
    if (opened.error().step == Step::kMissing) {
      return platform::fixed_error(Step::kMissing, describe(), "its directory does not exist");
    }
    platform::Error error = opened.error();
    error.subject = lock_name;
    return error;
  }
  if (const Status waited = lock_.wait(timeout); !waited) {
    return platform::fixed_error(Step::kWait, lock_name, "was not free within 5 seconds");
  }
  locked_ = true;
  return {};
}

Result<std::string> FileStore::look_up(std::string_view user) {
  if (!locked_) {
    // Read without the lock: the file is only ever replaced whole, so the
    // read sees one whole version. Windows will not replace a file that
    // another process holds open, so there the read takes the lock for its
    // moment (never for a hash computation) and closes the file at once.
    const bool hold = platform::kReplaceNeedsTargetClosed;
    if (hold) {
      if (const Status locked = lock(std::chrono::milliseconds(5000)); !locked)
        return locked.error();
    }
    Result<std::string> found = read_hash(user);
    if (hold) {
      file_ = passwd::PasswordFile{};
      unlock();
    }
    return found;
  }
  // The file read by the check may still be the file in place: then its
  // records stand, and a large file is not searched twice.
  if (user == records_user_ && still_in_place()) return records_.hash;
  return read_hash(user);
}

bool FileStore::still_in_place() const {
  const platform::FileInfo* loaded = file_.loaded_file();
  if (loaded == nullptr) return false;
  const Result<platform::UniqueFd> now = platform::open_for_reading(path_);
  if (!now) return false;
  const Result<platform::FileInfo> info = platform::file_info(now.value().get());
  return info && info.value().same_file(*loaded);
}

Result<std::string> FileStore::read_hash(std::string_view user) {
  if (const Status loaded = file_.load(path_); !loaded) {
    return as_store_error(loaded.error(), Step::kRead, describe());
  }
  // One pass over the file finds every record of the user for the change.
  records_ = file_.look_up(user);
  if (records_.scan == passwd::UserRecords::Scan::failed) {
    return as_store_error(records_.error, Step::kRead, describe());
  }
  records_user_ = user;
  return records_.hash;
}

Status FileStore::replace(std::string_view user, std::string_view hash) {
  if (user != records_user_) records_ = file_.look_up(user);
  file_.set_hash(records_, hash);
  if (const Status saved = file_.save(); !saved) {
    return as_store_error(saved.error(), Step::kWrite, describe());
  }
  return {};
}

void FileStore::unlock() noexcept {
  lock_.release();
  locked_ = false;
}

Throttle& FileStore::throttle(const Attempt& attempt, const ThrottleLimits& limits) {
  if (!throttle_) throttle_.emplace(path_, attempt.name, attempt.address, limits, attempt.now);
  return *throttle_;
}

bool FileStore::throttled(const Attempt& attempt, const ThrottleLimits& limits) {
  return throttle(attempt, limits).refuses();
}

void FileStore::count_failure(const Attempt& attempt, const ThrottleLimits& limits) {
  throttle(attempt, limits).count_failure();
}

void FileStore::forget_failures(const Attempt& attempt, const ThrottleLimits& limits) {
  throttle(attempt, limits).forget_name();
}

}  // namespace larkspur::store
